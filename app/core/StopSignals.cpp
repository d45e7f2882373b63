#include "app/core/StopSignals.h"

#include <atomic>
#include <csignal>

namespace zumo {

namespace {

std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

extern "C" void on_stop_signal(int signal_number)
{
    if (g_stop_requested.exchange(true)) {
        // Asked twice: the run is stuck in a file; leave the hard way.
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
    }
}

} // namespace

void InstallStopSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested()
{
    return g_stop_requested.load();
}

void RequestStop()
{
    g_stop_requested.store(true);
}

void ClearStopRequest()
{
    g_stop_requested.store(false);
}

} // namespace zumo
