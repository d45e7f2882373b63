// What a hostile plug-in served by a helper may cost the program at most:
// the processes it starts end with its helper however that ends, and a
// huge block for a small picture is neither copied nor held.
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zumo {
namespace {

using spitest::plugin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HelperBounds : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hosting = CurrentSPIHosting();
        SetSPIHosting(SPIHosting::Helper);
        SetSPIInfoCacheFile("");
        SetHelperTimeout(3s);
        m_spis = std::make_unique<TSPIs>();
        m_spis->MacBinary = false;
    }
    void TearDown() override
    {
        m_spis.reset();
        SetSPIHosting(m_hosting);
        SetHelperTimeout(10s);
    }
    // A picture of the hostile plug-ins; mode 'H' makes them hang.
    std::string picture(char mode)
    {
        std::string path = m_dir / "p.zhst";
        spitest::write_file(path, {'Z', 'H', 'S', 'T', static_cast<std::uint8_t>(mode)});
        return path;
    }

    SPIHosting m_hosting{};
    std::unique_ptr<TSPIs> m_spis;
    spitest::TempDir m_dir;
};

std::vector<pid_t> pids_in(const std::string& path)
{
    std::vector<pid_t> pids;
    std::ifstream in(path);
    for (pid_t pid; in >> pid;)
        pids.push_back(pid);
    return pids;
}

// Gone, or ended and only waiting for init to reap it.
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 4, ") Z ") == 0;
}

// The pids that still run after a few seconds' grace.
std::vector<pid_t> still_running(const std::vector<pid_t>& pids)
{
    std::vector<pid_t> running = pids;
    const auto give_up = Clock::now() + 5s;
    while (!running.empty() && Clock::now() < give_up) {
        std::erase_if(running, ended);
        std::this_thread::sleep_for(10ms);
    }
    return running;
}

void kill_all(const std::vector<pid_t>& pids)
{
    for (pid_t pid : pids)
        ::kill(pid, SIGKILL);
}

// A forked child, a child in a session of its own and a double-forked
// daemon of the plug-in end with its helper: when the helper ends on its
// own, when the program stops it for hanging, and when the program dies.
TEST_F(HelperBounds, ProcessesThePluginStartsEndWithItsHelper)
{
    enum class End { Shutdown, StoppedForHanging, ProgramDied };
    for (End end : {End::Shutdown, End::StoppedForHanging, End::ProgramDied}) {
        SCOPED_TRACE(static_cast<int>(end));
        const std::string path = picture(end == End::Shutdown ? 'N' : 'H');
        const std::string pid_file = path + ".pids";
        std::remove(pid_file.c_str());
        m_spis->Clear();
        TSPIGraphic graphic;
        if (end == End::ProgramDied) {
            // The program is a copy of this process that starts the helper
            // itself and is killed while the plug-in hangs, long before the
            // helper's timeout.
            const pid_t program = ::fork();
            if (program == 0) {
                SetHelperTimeout(60s);
                try {
                    m_spis->Add(OpenSPI(plugin("hostile_spawn")));
                    graphic.LoadFromFile(path);
                } catch (...) {
                }
                std::_Exit(0);
            }
            for (auto give_up = Clock::now() + 10s;
                 pids_in(pid_file).size() < 3 && Clock::now() < give_up;)
                std::this_thread::sleep_for(10ms);
            ::kill(program, SIGKILL);
            ::waitpid(program, nullptr, 0);
        } else {
            m_spis->Add(OpenSPI(plugin("hostile_spawn")));
            ::testing::internal::CaptureStderr();
            if (end == End::Shutdown)
                EXPECT_NO_THROW(graphic.LoadFromFile(path));
            else
                EXPECT_THROW(graphic.LoadFromFile(path), EInvalidGraphic);
            ::testing::internal::GetCapturedStderr();
        }
        m_spis->Clear();
        const std::vector<pid_t> pids = pids_in(pid_file);
        ASSERT_EQ(pids.size(), 3u);
        const std::vector<pid_t> running = still_running(pids);
        EXPECT_TRUE(running.empty()) << running.size() << " still run";
        kill_all(running);
    }
}

// A 512 MiB pixel block for a 4x4 picture: the helper hands over the 48
// bytes of rows, so the load takes no time and the program no memory.
TEST_F(HelperBounds, HugeBlockForASmallPictureIsNeitherCopiedNorHeld)
{
    m_spis->Add(OpenSPI(plugin("hostile_oversize")));
    const std::string path = picture('N');
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto begin = Clock::now();
    TSPIGraphic graphic;
    ASSERT_NO_THROW(graphic.LoadFromFile(path));
    const auto took = Clock::now() - begin;
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(graphic.Width(), 4);
    EXPECT_EQ(graphic.Height(), 4);
    EXPECT_LT(took, 1s);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB of peak growth";
}

} // namespace
} // namespace zumo
