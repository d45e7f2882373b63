#include "platform/beep.h"

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platform {

namespace {

std::function<void()>& beep_handler()
{
    static std::function<void()> handler;
    return handler;
}

void default_beep()
{
#ifdef _WIN32
    ::MessageBeep(0);
#else
    if (::isatty(STDERR_FILENO) == 1) {
        const char bell = '\a';
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, &bell, 1);
    }
#endif
}

} // namespace

void MessageBeep()
{
    if (const auto& handler = beep_handler())
        handler();
    else
        default_beep();
}

std::function<void()> set_beep_handler(std::function<void()> handler)
{
    return std::exchange(beep_handler(), std::move(handler));
}

} // namespace platform
