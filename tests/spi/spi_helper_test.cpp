// Plug-ins served by helper processes: a plug-in that crashes, hangs or
// whose helper answers garbage fails like a plug-in error, the program
// goes on; the plug-in information cache spares helpers at start-up.
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zumo {
namespace {

using spitest::plugin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class Helpers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hosting = CurrentSPIHosting();
        // A crash in a sanitized helper ends it by the signal, as in a
        // release build, not after a slow report.
        const char* asan = std::getenv("ASAN_OPTIONS");
        m_asan_options = asan ? asan : "";
        ::setenv("ASAN_OPTIONS", (m_asan_options + ":handle_segv=0").c_str(), 1);
        SetSPIHosting(SPIHosting::Helper);
        SetSPIInfoCacheFile("");
        // Generous: a sanitized helper starting on a busy machine takes a
        // while; the hangs wait for all of it.
        SetHelperTimeout(3s);
        m_spis = std::make_unique<TSPIs>();
        m_spis->MacBinary = false; // one attempt per plug-in and load
    }
    void TearDown() override
    {
        m_spis.reset();
        SetSPIHosting(m_hosting);
        SetHelperTimeout(10s);
        SetHelperStopCheck(nullptr);
        SetSPIInfoCacheFile("");
        ::unsetenv("ZUMO_SPI_HOST_DIR");
        ::setenv("ASAN_OPTIONS", m_asan_options.c_str(), 1);
    }
    std::string picture()
    {
        std::string path = m_dir / "p.ztst";
        spitest::write_file(path, spitest::ztst(3, 2, 24));
        return path;
    }

    SPIHosting m_hosting{};
    std::string m_asan_options;
    std::unique_ptr<TSPIs> m_spis;
    spitest::TempDir m_dir;
};

TEST_F(Helpers, FailingPluginFailsTheLoadAndTheNextCandidateDecodes)
{
    struct Case
    {
        const char* plugin;
        const char* says; // on standard error
    };
    const Case cases[] = {
        {"crash_picture", "the plug-in crashed (signal 11"},
        {"hang", "the plug-in did not answer within 3.0 s; its helper was stopped"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        m_spis->Clear();
        m_spis->Add(OpenSPI(plugin(c.plugin)));
        TSPIGraphic graphic;
        for (int attempt = 0; attempt < 2; ++attempt) {
            // Each attempt finds the helper gone and starts a new one.
            int started = HelpersStarted();
            ::testing::internal::CaptureStderr();
            auto begin = Clock::now();
            try {
                graphic.LoadFromFile(picture());
                ADD_FAILURE() << "decoded";
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.what(), "Susie Plugins could not decode");
            }
            EXPECT_LT(Clock::now() - begin, 8s);
            std::string said = ::testing::internal::GetCapturedStderr();
            EXPECT_NE(said.find(std::string(c.plugin) + ".spi: "), std::string::npos) << said;
            EXPECT_NE(said.find(c.says), std::string::npos) << said;
            EXPECT_EQ(HelpersStarted(), started + 1);
        }
        // Loaded last, it is asked first; the working plug-in still decodes.
        m_spis->Insert(0, OpenSPI(plugin("in")));
        ::testing::internal::CaptureStderr();
        graphic.LoadFromFile(picture());
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(graphic.Width(), 3);
    }
}

TEST_F(Helpers, PluginAskedNoMoreAfterRepeatedFailures)
{
    m_spis->Add(OpenSPI(plugin("crash_picture")));
    ::testing::internal::CaptureStderr();
    for (int attempt = 0; attempt < k_max_helper_failures + 2; ++attempt) {
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
    }
    int started = HelpersStarted();
    TSPIGraphic graphic;
    EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
    EXPECT_EQ(HelpersStarted(), started);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not used again"), std::string::npos) << said;
}

// A window keeps painting while a hung plug-in is awaited: its hook runs
// through the wait, and a load it starts meanwhile finds the hung library
// busy at once instead of writing into the conversation under way.
TEST_F(Helpers, WaitHookRunsThroughAHangAndCannotCutIntoIt)
{
    m_spis->Add(OpenSPI(plugin("hang")));
    std::vector<HelperWait> calls;
    std::chrono::nanoseconds inner_took{};
    bool inner_failed = false;
    SetHelperWaitHook([&](HelperWait wait) {
        calls.push_back(wait);
        if (wait != HelperWait::Began)
            return;
        auto begin = Clock::now();
        try {
            TSPIGraphic inner;
            inner.LoadFromFile(picture());
        } catch (const std::exception&) {
            inner_failed = true;
        }
        inner_took = Clock::now() - begin;
    });
    ::testing::internal::CaptureStderr();
    TSPIGraphic graphic;
    EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
    SetHelperWaitHook(nullptr);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("did not answer within 3.0 s"), std::string::npos) << said;
    EXPECT_TRUE(inner_failed);
    EXPECT_LT(inner_took, 1s);
    ASSERT_GE(calls.size(), 10u) << "3 s in slices of about 50 ms";
    EXPECT_EQ(calls.front(), HelperWait::Began);
    EXPECT_EQ(calls.back(), HelperWait::Ended);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), HelperWait::Began), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), HelperWait::Ended), 1);
}

TEST_F(Helpers, CrashWhileTheInformationIsReadSkipsThePlugin)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(OpenSPI(plugin("crash_info")), nullptr);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("crash_info.spi: the plug-in crashed"), std::string::npos) << said;
    // The search goes on past it.
    fs::copy_file(plugin("crash_info"), m_dir / "a.spi");
    fs::copy_file(plugin("in"), m_dir / "b.spi");
    ::testing::internal::CaptureStderr();
    m_spis->SearchSPI(m_dir.path() + "/*");
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(m_spis->Count(), 1);
    EXPECT_EQ(m_spis->Items(0)->Filters(), std::vector<std::string>{"*.ztst"});
}

int lines_naming(const std::string& said, const std::string& name)
{
    int lines = 0;
    for (std::size_t at = said.find(name); at != std::string::npos; at = said.find(name, at + 1))
        ++lines;
    return lines;
}

// Plug-ins that never get anywhere cost one bounded attempt per picture
// and one line: progress reports do not keep a request alive past its
// total limit (and the window's hook still gets its turns meanwhile), and
// a plug-in that failed at offset 0 is not asked again at offset 128.
TEST_F(Helpers, StubbornPluginCostsOneBoundedAttemptPerPicture)
{
    struct Case
    {
        const char* plugin;
        const char* says;
    };
    const Case cases[] = {
        {"progress_forever", "did not finish within 3.0 s"},
        {"hang_supported", "did not answer within 2.0 s"},
        {"crash_supported", "the plug-in crashed (signal 11"},
    };
    SetHelperTimeout(2s);
    ::setenv("ZUMO_SPI_TOTAL_TIMEOUT_MS", "3000", 1);
    m_spis->MacBinary = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        m_spis->Clear();
        m_spis->Add(OpenSPI(plugin(c.plugin)));
        int hook_calls = 0;
        SetHelperWaitHook([&](HelperWait) { ++hook_calls; });
        int started = HelpersStarted();
        ::testing::internal::CaptureStderr();
        auto begin = Clock::now();
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
        auto took = Clock::now() - begin;
        SetHelperWaitHook(nullptr);
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(HelpersStarted() - started, 1);
        EXPECT_EQ(lines_naming(said, std::string(c.plugin) + ".spi: "), 1) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_LT(took, 6s);
        if (std::string(c.plugin) == "progress_forever") {
            EXPECT_GE(hook_calls, 20) << "3 s of progress in turns of about 50 ms";
        }
    }
    ::unsetenv("ZUMO_SPI_TOTAL_TIMEOUT_MS");
}

// A stop gives a request up at once, and a plug-in given up on that way
// is not held to have failed: its information is read again next time.
TEST_F(Helpers, StopGivesUpTheRequestAtOnce)
{
    SetSPIInfoCacheFile(m_dir / "spi-info.cache");
    m_spis->Add(OpenSPI(plugin("progress_forever")));
    Clock::time_point stop_at;
    SetHelperStopCheck([&] { return Clock::now() > stop_at; });
    stop_at = Clock::now() + 300ms;
    ::testing::internal::CaptureStderr();
    auto begin = Clock::now();
    TSPIGraphic graphic;
    EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
    EXPECT_LT(Clock::now() - begin, 1500ms);

    stop_at = Clock::now() + 300ms;
    EXPECT_EQ(OpenSPI(plugin("hang_info")), nullptr);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines_naming(said, "zumo is stopping"), 2) << said;
    SetHelperStopCheck(nullptr);

    SetSPIInfoCacheFile(m_dir / "spi-info.cache");
    int started = HelpersStarted();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(OpenSPI(plugin("hang_info")), nullptr);
    said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(HelpersStarted() - started, 1);
    EXPECT_NE(said.find("did not answer"), std::string::npos) << said;
}

// A plug-in that crashes or hangs while it is loaded or describes itself
// costs one start: later starts skip it with one line saying when it
// failed, until the file changes.
TEST_F(Helpers, FailureWhileLoadingOrReadingTheInformationIsRemembered)
{
    SetHelperTimeout(1s);
    const std::string cache = m_dir / "spi-info.cache";
    struct Case
    {
        const char* name;
        const char* skipped_because;
    };
    const Case cases[] = {{"crash_info", "failed while its information was read"},
                          {"hang_info", "failed while its information was read"},
                          {"crash_load", "failed while its library was loaded"},
                          {"hang_load", "failed while its library was loaded"}};
    for (const Case& c : cases) {
        const std::string name = c.name;
        SCOPED_TRACE(name);
        const std::string library = m_dir / (name + ".spi");
        fs::copy_file(plugin(name), library);
        auto start = [&](int expected_helpers, int expected_skip_lines) {
            SetSPIInfoCacheFile(cache); // a new run reads the file again
            int started = HelpersStarted();
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(OpenSPI(library), nullptr);
            std::string said = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(HelpersStarted() - started, expected_helpers) << said;
            EXPECT_EQ(lines_naming(said, "skipped"), expected_skip_lines) << said;
            EXPECT_EQ(lines_naming(said, c.skipped_because), expected_skip_lines) << said;
            EXPECT_EQ(lines_naming(said, name), expected_helpers + expected_skip_lines) << said;
        };
        start(1, 0);
        start(0, 1);
        // Once per run: the same run opening it again says nothing more.
        EXPECT_EQ(OpenSPI(library), nullptr);
        fs::last_write_time(library, fs::last_write_time(library) + 1s);
        start(1, 0);
    }
}

// A Windows plug-in known from the cache is not listed once Wine is gone,
// and one opened before Wine went says so once, not at every picture.
// Wine here is a stand-in loader that runs the native helper.
TEST_F(Helpers, CachedWindowsPluginWithoutWine)
{
    const std::string cache_home = m_dir / "cache";
    const std::string fake = m_dir / "fake";
    fs::create_directories(cache_home + "/zumo/locale/ja_JP.UTF-8");
    fs::create_directories(cache_home + "/zumo/wine32");
    spitest::write_file(cache_home + "/zumo/locale/ja_JP.UTF-8/LC_CTYPE", {});
    spitest::write_file(cache_home + "/zumo/wine32/zumo-wineboot-done", {});
    fs::create_directory(fake);
    {
        std::ofstream loader(fake + "/wine");
        loader << "#!/bin/sh\n[ \"$1\" = --version ] && exit 0\nexec '" << ProgramFolder()
               << "zumo-spi-host' '" << plugin("in") << "'\n";
        std::ofstream(fake + "/zumo-spi-host32.exe") << "#!/bin/sh\n";
    }
    fs::permissions(fake + "/wine", fs::perms::owner_all);
    fs::permissions(fake + "/zumo-spi-host32.exe", fs::perms::owner_all);
    // A 32-bit Windows DLL as far as its headers tell.
    std::vector<std::uint8_t> dll(512, 0);
    dll[0] = 'M';
    dll[1] = 'Z';
    dll[0x3C] = 0x80;
    const std::uint8_t pe[] = {'P', 'E', 0, 0, 0x4C, 0x01};
    std::copy(std::begin(pe), std::end(pe), dll.begin() + 0x80);
    dll[0x80 + 23] = 0x20; // a library
    dll[0x80 + 24] = 0x0B;
    dll[0x80 + 25] = 0x01;
    const std::string library = m_dir / "win.spi";
    spitest::write_file(library, dll);

    const char* old_cache_home = std::getenv("XDG_CACHE_HOME");
    const std::string saved_cache_home = old_cache_home ? old_cache_home : "";
    ::setenv("XDG_CACHE_HOME", cache_home.c_str(), 1);
    ::setenv("ZUMO_SPI_HOST_DIR", fake.c_str(), 1);
    ::setenv("WINELOADER", (fake + "/wine").c_str(), 1);
    SetSPIInfoCacheFile(m_dir / "spi-info.cache");
    m_spis->Add(OpenSPI(library));
    ASSERT_EQ(m_spis->Items(0)->Filters(), std::vector<std::string>{"*.ztst"});

    ::setenv("WINELOADER", "/nonexistent/wine", 1);
    ::testing::internal::CaptureStderr();
    for (int preview = 0; preview < 3; ++preview) {
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
    }
    SetSPIInfoCacheFile(m_dir / "spi-info.cache");
    EXPECT_EQ(OpenSPI(library), nullptr);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines_naming(said, "install Wine"), 1) << said;

    ::unsetenv("WINELOADER");
    old_cache_home ? ::setenv("XDG_CACHE_HOME", saved_cache_home.c_str(), 1)
                   : ::unsetenv("XDG_CACHE_HOME");
}

// A stand-in helper: sends the frames of answers<run>.bin after the
// program's requests, whatever they are, then stays silent.
std::vector<std::uint8_t> frame_bytes(spihost::MessageType type,
                                      const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> out = spihost::encode_header(type, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void write_fake_helper(const std::string& dir, const std::vector<std::uint8_t>& first_run,
                       const std::vector<std::uint8_t>& second_run)
{
    std::vector<std::uint8_t> ready =
        frame_bytes(spihost::MessageType::Ready,
                    spihost::encode(spihost::ReadyMessage{
                        true, dir + "/fake.spi",
                        spihost::EntryGetPluginInfo | spihost::EntryIsSupported |
                            spihost::EntryGetPictureInfo | spihost::EntryGetPicture}));
    auto with_ready = [&](std::vector<std::uint8_t> answers) {
        answers.insert(answers.begin(), ready.begin(), ready.end());
        return answers;
    };
    spitest::write_file(dir + "/answers0.bin", with_ready(first_run));
    spitest::write_file(dir + "/answers1.bin", with_ready(second_run));
    std::ofstream(dir + "/run") << 0;
    std::ofstream script(dir + "/zumo-spi-host");
    script << "#!/bin/sh\n"
              "d=$(dirname \"$0\"); n=$(cat \"$d/run\"); echo $((n + 1)) > \"$d/run\"\n"
              "cat \"$d/answers$n.bin\"\n"
              "exec sleep 5\n";
    script.close();
    fs::permissions(dir + "/zumo-spi-host", fs::perms::owner_all);
}

TEST_F(Helpers, MalformedAnswersFailTheRequest)
{
    using spihost::MessageType;
    // What an "in"-like plug-in answers while its information is read.
    std::vector<std::uint8_t> info;
    for (const spihost::InfoReply& reply :
         {spihost::InfoReply{4, "00IN"}, spihost::InfoReply{4, "fake"},
          spihost::InfoReply{6, "*.ztst"}, spihost::InfoReply{4, "fake"},
          spihost::InfoReply{0, ""}}) {
        std::vector<std::uint8_t> f = frame_bytes(MessageType::InfoReply, spihost::encode(reply));
        info.insert(info.end(), f.begin(), f.end());
    }
    std::vector<std::uint8_t> oversized = spihost::encode_header(MessageType::SupportReply, 0);
    oversized[8] = oversized[9] = oversized[10] = oversized[11] = 0xFF;
    std::vector<std::uint8_t> bad_magic = frame_bytes(MessageType::SupportReply, {1, 0, 0, 0});
    bad_magic[0] = 'X';
    std::vector<std::uint8_t> truncated = frame_bytes(MessageType::SupportReply, {1, 0, 0, 0});
    truncated.resize(14);
    // The picture's answer malformed after sound ones to IsSupported and
    // GetPictureInfo: result, flag, then each block as a length and bytes.
    auto picture_answer = [&](std::vector<std::uint8_t> reply) {
        std::vector<std::uint8_t> out =
            frame_bytes(MessageType::SupportReply, spihost::encode_i32(1));
        std::vector<std::uint8_t> info_reply = frame_bytes(
            MessageType::PictureInfoReply, spihost::encode(spihost::PictureInfoReply{}));
        std::vector<std::uint8_t> picture = frame_bytes(MessageType::PictureReply, reply);
        out.insert(out.end(), info_reply.begin(), info_reply.end());
        out.insert(out.end(), picture.begin(), picture.end());
        return out;
    };
    struct Case
    {
        const char* what;
        std::vector<std::uint8_t> answers;
        const char* says; // the reason on standard error
    };
    const Case cases[] = {
        {"picture block beyond its answer",
         picture_answer({0, 0, 0, 0, 1, 40, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0}),
         "picture block larger than its answer"},
        {"picture blocks with a failed result",
         picture_answer({3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}), "blocks with a failed result"},
        {"bytes after the picture", picture_answer({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}),
         "bytes left over"},
        {"shared memory announced, none handed over",
         picture_answer({0, 0, 0, 0, 2, 40, 0, 0, 0, 8, 0, 0, 0}), "not handed over"},
        {"shared blocks larger than any picture",
         picture_answer({0, 0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 8, 0, 0, 0}), "message too large"},
        {"shared blocks with bytes after their sizes",
         picture_answer({0, 0, 0, 0, 2, 40, 0, 0, 0, 8, 0, 0, 0, 0}), "of the wrong length"},
        {"wrong magic", bad_magic, "not a message of the plug-in helper"},
        {"answer of another kind",
         frame_bytes(MessageType::InfoReply, spihost::encode(spihost::InfoReply{1, "x"})),
         "an answer of the wrong kind"},
        {"oversized length", oversized, "message too large"},
        {"short payload", frame_bytes(MessageType::SupportReply, {1, 0}),
         "message shorter than its fields"},
        // A truncated frame is a silent helper: it runs into the timeout.
        {"truncated frame", truncated, "did not answer within 3.0 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spitest::TempDir fake;
        write_fake_helper(fake.path(), info, c.answers);
        ::setenv("ZUMO_SPI_HOST_DIR", fake.path().c_str(), 1);
        std::string plugin_copy = fake / "fake.spi";
        fs::copy_file(plugin("in"), plugin_copy);
        m_spis->Clear();
        m_spis->Add(OpenSPI(plugin_copy));
        ASSERT_EQ(m_spis->Items(0)->Filters(), std::vector<std::string>{"*.ztst"});
        ::testing::internal::CaptureStderr();
        TSPIGraphic graphic;
        auto begin = Clock::now();
        EXPECT_THROW(graphic.LoadFromFile(picture()), EInvalidGraphic);
        EXPECT_LT(Clock::now() - begin, 8s);
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("fake.spi: "), std::string::npos) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

// memfd_create fails with ENOSYS from now on in this process and what it
// starts, as under an old kernel or a sandbox's seccomp filter.
bool deny_memfd_create()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_memfd_create, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A picture comes back from the helper as from the plug-in in the program,
// whether its blocks cross in shared memory or, when the helper was started
// without the socket for it or cannot make shared memory, in the pipe.
TEST_F(Helpers, PicturesEqualInProcessOnesWhicheverWayTheyCross)
{
    enum class Way { SharedMemory, NoSocket, NoMemfd };
    spitest::TempDir wrapper; // runs the helper without its socket option
    {
        std::ofstream script(wrapper / "zumo-spi-host");
        script << "#!/bin/sh\nfor last; do :; done\nexec '" << ProgramFolder()
               << "zumo-spi-host' \"$last\"\n";
    }
    fs::permissions(wrapper / "zumo-spi-host", fs::perms::owner_all);
    auto load = [&](const std::string& path) {
        m_spis->Clear();
        m_spis->Add(OpenSPI(plugin("in")));
        TSPIGraphic graphic;
        graphic.LoadFromFile(path);
        return graphic.ToPixels();
    };
    // A colour table in the info block, and rows with padding.
    for (int bits : {8, 24}) {
        SCOPED_TRACE(bits);
        const std::string path = m_dir / "wide.ztst";
        spitest::write_file(path, spitest::ztst(301, 5, bits));
        SetSPIHosting(SPIHosting::InProcess);
        const TPixelImage expected = load(path);
        SetSPIHosting(SPIHosting::Helper);
        for (Way way : {Way::SharedMemory, Way::NoSocket, Way::NoMemfd}) {
            SCOPED_TRACE(static_cast<int>(way));
            if (way == Way::NoSocket)
                ::setenv("ZUMO_SPI_HOST_DIR", wrapper.path().c_str(), 1);
            else
                ::unsetenv("ZUMO_SPI_HOST_DIR");
            const int shared = PicturesInSharedMemory();
            if (way != Way::NoMemfd) {
                const TPixelImage got = load(path);
                EXPECT_EQ(got.width, expected.width);
                EXPECT_TRUE(got.bgra == expected.bgra);
                EXPECT_EQ(PicturesInSharedMemory() - shared, way == Way::SharedMemory ? 1 : 0);
                continue;
            }
            // The filter stays with a process: a copy of this one takes it,
            // then starts the helper and loads.
            m_spis->Clear();
            const pid_t child = ::fork();
            if (child == 0) {
                if (!deny_memfd_create())
                    std::_Exit(10);
                try {
                    const TPixelImage got = load(path);
                    std::_Exit(got.bgra != expected.bgra            ? 11
                               : PicturesInSharedMemory() != shared ? 12
                                                                    : 0);
                } catch (...) {
                    std::_Exit(13);
                }
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no filter, 11 other pixels, 12 shared, "
                                                 "13 failed";
        }
    }
}

TEST_F(Helpers, InformationCacheSparesHelpersUntilTheFileChanges)
{
    std::string cache = m_dir / "cache/spi-info.cache";
    // In a folder whose name is not UTF-8: the helper, the cache and the
    // name reported keep its bytes.
    fs::create_directory(m_dir / "caf\xE9");
    std::string library = m_dir / "caf\xE9/lib.spi";
    fs::copy_file(plugin("three"), library);
    SetSPIInfoCacheFile(cache);

    auto open = [&](int expected_helpers) {
        int started = HelpersStarted();
        std::unique_ptr<TSPI> spi = OpenSPI(library);
        ASSERT_TRUE(spi);
        EXPECT_EQ(HelpersStarted() - started, expected_helpers);
        EXPECT_EQ(spi->Filters(), std::vector<std::string>{"*.aaa;*.bbb;*.ccc"});
        EXPECT_EQ(spi->FilterDescriptions(), std::vector<std::string>{"Three letters"});
        EXPECT_EQ(spi->FileName(), library);
        EXPECT_TRUE(dynamic_cast<TInSPI*>(spi.get()));
    };
    open(1);
    SetSPIInfoCacheFile(cache); // read back from the file
    open(0);
    // Another library under the same name.
    fs::last_write_time(library, fs::last_write_time(library) + 1s);
    open(1);
    // A damaged cache file is as good as none.
    spitest::write_file(cache, {'Z', 'S', 'P', 'C', 1, 0, 0, 0, 9, 9});
    SetSPIInfoCacheFile(cache);
    open(1);
}

} // namespace
} // namespace zumo
