// Windows plug-ins under Wine, driven through the host as the preview
// drives them: the project's own Windows test plug-ins (32-bit ".spi",
// 64-bit ".sph", cross-built with mingw-w64) decode pictures whose every
// pixel the tests know, from files with Japanese names and from memory,
// report progress and stop when asked; a crashing one fails its picture
// only. Without mingw-w64, Wine, or (for 32 bits) a kernel that runs 32-bit
// programs, the tests are skipped, and "--status" prints the one line that
// says which were not run and why.
#include "graphics/exceptions.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"
#include "spi/helper/spi_launcher.h"
#include "spi/helper/wine.h"
#include "spi/spi_library.h"
#include "tests/spi/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace zumo {
namespace {

using spitest::TempDir;
using wine::WindowsLibrary;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string winspi(const std::string& name, int bits)
{
    return std::string(ZUMO_TEST_WINSPI_DIR) + "/" + name + (bits == 32 ? ".spi" : ".sph");
}

// Why the tests of one architecture cannot run here; "" when they can.
std::string skip_reason(int bits)
{
    const WindowsLibrary kind = bits == 32 ? WindowsLibrary::X86 : WindowsLibrary::X64;
    if (!std::filesystem::exists(winspi("wzrgb", bits)) ||
        FindHelperProgram(wine::HelperName(kind)).empty())
        return "mingw-w64 is not installed (scripts/install-deps --wine)";
    if (!wine::CanRun(kind))
        return bits == 32 ? "Wine cannot start 32-bit programs here (wine32:i386 is missing, or "
                            "the kernel runs no 32-bit programs)"
                          : "Wine does not run here (scripts/install-deps --wine)";
    return {};
}

// A picture of each test format, with the BGRA pixels it must decode to.
struct TestPicture
{
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> bgra;
    int width = 0;
    int height = 0;
};

void put16(std::vector<std::uint8_t>& out, int value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// "ZRGB": colours from the position.
TestPicture rgb_picture(int width, int height)
{
    TestPicture p{{'Z', 'R', 'G', 'B'}, {}, width, height};
    put16(p.file, width);
    put16(p.file, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t r = static_cast<std::uint8_t>(x * 37 + y),
                         g = static_cast<std::uint8_t>(y * 53),
                         b = static_cast<std::uint8_t>(x ^ y * 7);
            p.file.insert(p.file.end(), {r, g, b});
            p.bgra.insert(p.bgra.end(), {b, g, r, 255});
        }
    return p;
}

// "ZPAL": all colours of the bit count used, in a pattern that puts every
// index in every position of a packed byte.
TestPicture palette_picture(int width, int height, int bits)
{
    const int colours = 1 << bits;
    TestPicture p{{'Z', 'P', 'A', 'L'}, {}, width, height};
    put16(p.file, width);
    put16(p.file, height);
    p.file.push_back(static_cast<std::uint8_t>(bits));
    put16(p.file, colours);
    auto colour = [](int i) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(i * 16 + 5),
                                           static_cast<std::uint8_t>(255 - i),
                                           static_cast<std::uint8_t>(i * 97)};
    };
    for (int i = 0; i < colours; ++i) {
        auto c = colour(i);
        p.file.insert(p.file.end(), c.begin(), c.end());
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int index = (x + 3 * y) % colours;
            p.file.push_back(static_cast<std::uint8_t>(index));
            auto c = colour(index);
            p.bgra.insert(p.bgra.end(), {c[2], c[1], c[0], 255});
        }
    return p;
}

void expect_pixels(const TPixelImage& image, const TestPicture& picture)
{
    ASSERT_EQ(image.width, picture.width);
    ASSERT_EQ(image.height, picture.height);
    ASSERT_EQ(image.bgra.size(), picture.bgra.size());
    for (std::size_t i = 0; i < image.bgra.size(); i += 4)
        ASSERT_EQ(std::memcmp(&image.bgra[i], &picture.bgra[i], 3), 0)
            << "pixel " << i / 4 % picture.width << "," << i / 4 / picture.width;
}

class WindowsPlugins : public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override
    {
        if (std::string why = skip_reason(GetParam()); !why.empty())
            GTEST_SKIP() << why;
        m_spis = std::make_unique<TSPIs>();
    }
    void TearDown() override
    {
        m_spis.reset();
        SetSPIInfoCacheFile("");
    }

    // The collection with the named test plug-ins, copied into a folder.
    void load(std::initializer_list<const char*> names)
    {
        for (const char* name : names)
            std::filesystem::copy_file(
                winspi(name, GetParam()),
                m_plugins / std::filesystem::path(winspi(name, GetParam())).filename().string());
        m_spis->SearchSPI(m_plugins.path() + "/*");
        ASSERT_EQ(m_spis->Count(), static_cast<int>(names.size()));
    }
    std::string picture_file(const std::string& name, const TestPicture& picture)
    {
        std::string path = m_pictures / name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        spitest::write_file(path, picture.file);
        return path;
    }

    TempDir m_plugins;
    TempDir m_pictures;
    std::unique_ptr<TSPIs> m_spis;
};

TEST_P(WindowsPlugins, InformationReachesTheProgramInUtf8)
{
    load({"wzpal"});
    TSPI* spi = m_spis->Items(0);
    EXPECT_NE(dynamic_cast<TInSPI*>(spi), nullptr);
    EXPECT_EQ(spi->APIVersion(), "00IN");
    EXPECT_EQ(spi->PluginTitle(), "zumo Windows palette test plug-in");
    EXPECT_EQ(spi->Filters(), std::vector<std::string>{"*.zpal"});
    EXPECT_EQ(spi->FilterDescriptions(), std::vector<std::string>{"zumo パレット画像"});
    EXPECT_EQ(spi->FileName(),
              m_plugins / ("wzpal" + std::string(GetParam() == 32 ? ".spi" : ".sph")));
}

// File names in Japanese reach the plug-in in CP932 (表 ends in the byte
// 0x5C, "\"), names with characters CP932 lacks by their short form, names
// that are not UTF-8 each as its own file.
TEST_P(WindowsPlugins, PicturesDecodeToTheirPixelsExactly)
{
    load({"wzrgb", "wzpal"});
    struct Case
    {
        std::string name;
        TestPicture picture;
    };
    const Case cases[] = {
        {"テスト表.zrgb", rgb_picture(37, 23)},
        {"8bit 画像.zpal", palette_picture(41, 19, 8)},
        {"4bit.zpal", palette_picture(13, 7, 4)},
        {"1bit.zpal", palette_picture(33, 5, 1)},
        {"한국어 그림.zrgb", rgb_picture(3, 2)},
        // Not UTF-8, which Wine reads alike (Latin-1, "テスト" in Shift-JIS).
        {"caf\xE9.zrgb", rgb_picture(5, 3)},
        {"caf\xE8.zrgb", rgb_picture(3, 5)},
        {"\x83\x65\x83\x58\x83\x67.zpal", palette_picture(7, 4, 8)},
        {"\xFF/画像.zrgb", rgb_picture(2, 6)},
        // Names Windows has no such file for.
        {"12:30 a?*.zrgb", rgb_picture(2, 3)},
        {"back\\slash<>|\".zrgb", rgb_picture(3, 3)},
        {"x.zrgb ", rgb_picture(1, 3)},
        {"dot.zrgb.", rgb_picture(1, 4)},
        {"a:b./c.zrgb", rgb_picture(4, 1)},
    };
    for (const Case& c : cases)
        picture_file(c.name, c.picture);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSPIBitmap bitmap;
        bitmap.LoadFromFile(m_pictures / c.name);
        expect_pixels(bitmap.ToPixels(), c.picture);
    }
    // From memory, without a name.
    TestPicture picture = palette_picture(17, 9, 8);
    TMemoryStream stream;
    stream.Write(picture.file.data(), picture.file.size());
    stream.Seek(0, TSeekOrigin::soBeginning);
    TSPIGraphic graphic;
    graphic.LoadFromStream(stream);
    expect_pixels(graphic.ToPixels(), picture);
}

TEST_P(WindowsPlugins, ProgressCrossesAndAbortStopsThePlugin)
{
    load({"wzpal"});
    const std::string file = picture_file("progress.zpal", palette_picture(8, 40, 8));
    for (int abort_after : {0, 5}) {
        SCOPED_TRACE(abort_after);
        std::vector<int> percents;
        TSPIGraphic graphic;
        graphic.OnProgress = [&](TGraphic*, TProgressStage stage, std::uint8_t percent, bool,
                                 const TRect&, const std::string&) {
            if (stage != TProgressStage::psRunning || percent < 2)
                return;
            percents.push_back(percent);
            if (abort_after && static_cast<int>(percents.size()) == abort_after)
                throw EAbort();
        };
        if (abort_after) {
            EXPECT_THROW(graphic.LoadFromFile(file), EInvalidGraphic);
            // The plug-in stopped at the report that was answered "stop".
            EXPECT_EQ(static_cast<int>(percents.size()), abort_after);
        } else {
            graphic.LoadFromFile(file);
            // One report a row: 1/40 ... 40/40 of the way, mapped to 2 ... 99.
            ASSERT_EQ(percents.size(), 40u);
            EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
            EXPECT_EQ(percents.back(), 99);
        }
    }
}

// Wine alone reads names that are not UTF-8 as U+FFFD: "caf\xE9" and
// "caf\xE8" would be one name to it, and it would load whichever it met
// first. Plug-ins in such folders and of such names load, and are known
// again from the information cache, by their own paths.
TEST_P(WindowsPlugins, PluginPathsThatAreNotUtf8StayApart)
{
    const std::string suffix = GetParam() == 32 ? ".spi" : ".sph";
    struct PluginCase
    {
        std::string folder, name;
        const char* plugin;
        const char* filter;
    };
    const PluginCase plugins[] = {
        {"caf\xE9", "x" + suffix, "wzrgb", "*.zrgb"},
        {"caf\xE8", "x" + suffix, "wzpal", "*.zpal"},
        {"", "\xE9t\xE9" + suffix, "wzpal", "*.zpal"},
    };
    const std::string cache = m_plugins / "spi-info.cache";
    SetSPIInfoCacheFile(cache);
    for (const PluginCase& p : plugins) {
        std::filesystem::create_directories(m_plugins / p.folder);
        std::filesystem::copy_file(winspi(p.plugin, GetParam()),
                                   m_plugins / p.folder + "/" + p.name);
    }
    for (bool cached : {false, true}) {
        if (cached)
            SetSPIInfoCacheFile(cache); // read back from the file
        m_spis->Clear();
        for (const PluginCase& p : plugins) {
            SCOPED_TRACE(p.folder + "/" + p.name + (cached ? " cached" : ""));
            const std::string path = m_plugins / p.folder + "/" + p.name;
            const int started = HelpersStarted();
            std::unique_ptr<TSPI> spi = OpenSPI(path);
            ASSERT_TRUE(spi);
            EXPECT_EQ(HelpersStarted() - started, cached ? 0 : 1);
            EXPECT_EQ(spi->FileName(), path);
            EXPECT_EQ(spi->Filters(), std::vector<std::string>{p.filter});
            m_spis->Add(std::move(spi));
        }
    }
}

// The processes whose command line holds token (a test's own folder name):
// "pid command line" each.
std::vector<std::string> processes_naming(const std::string& token)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(command.begin(), command.end(), '\0', ' ');
        if (command.find(token) != std::string::npos)
            found.push_back(pid + " " + command);
    }
    return found;
}

// A plug-in that crashes or hangs in GetPicture fails that picture as a
// plug-in error does, in about the timeout for a hang, and leaves no process
// behind: under Wine the Windows process must end, also when a wrapper
// script started the loader without replacing itself. The next plug-in
// still decodes.
TEST_P(WindowsPlugins, FailingPluginFailsThePictureOnly)
{
    struct Case
    {
        const char* plugin;
        bool wrapped_loader; // WINELOADER a script that stays while Wine runs
        const char* says;    // the program's line on standard error
    };
    const Case cases[] = {
        {"wcrash", false, "the plug-in's helper ended with exit status 3"},
        {"whang", false, "the plug-in did not answer within 3.0 s; its helper was stopped"},
        {"whang", true, "the plug-in did not answer within 3.0 s; its helper was stopped"},
    };
    const std::string token = std::filesystem::path(m_plugins.path()).filename();
    m_spis->MacBinary = false; // one attempt per plug-in and load
    // Where Debian keeps the loader the program takes.
    const std::string debian_loader =
        std::string("/usr/lib/wine/wine") + (GetParam() == 64 ? "64" : "");
    TempDir wrapper;
    std::ofstream(wrapper / "wine") << "#!/bin/sh\n" << debian_loader << " \"$@\"\nexit $?\n";
    std::filesystem::permissions(wrapper / "wine", std::filesystem::perms::owner_all);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.plugin) + (c.wrapped_loader ? " wrapped" : ""));
        if (c.wrapped_loader && !std::filesystem::exists(debian_loader))
            continue;
        std::optional<spitest::EnvGuard> loader;
        if (c.wrapped_loader)
            loader.emplace("WINELOADER", wrapper / "wine");
        m_spis->Clear();
        const std::string suffix = GetParam() == 32 ? ".spi" : ".sph";
        const std::string name = std::string(c.plugin) + suffix;
        std::filesystem::copy_file(winspi(c.plugin, GetParam()), m_plugins / name,
                                   std::filesystem::copy_options::overwrite_existing);
        m_spis->Add(OpenSPI(m_plugins / name));
        SetHelperTimeout(3s);
        TestPicture picture = rgb_picture(4, 4);
        const std::string file = picture_file("failing.zrgb", picture);
        ::testing::internal::CaptureStderr();
        auto begin = Clock::now();
        try {
            TSPIBitmap bitmap;
            bitmap.LoadFromFile(file);
            ADD_FAILURE() << "decoded";
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), "Susie Plugins could not decode");
        }
        auto took = Clock::now() - begin;
        SetHelperTimeout(10s);
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("zumo: " + name + ": " + c.says + "\n"), std::string::npos) << said;
        if (std::string(c.plugin) == "whang") {
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            EXPECT_GE(took, 3s);
        }
        EXPECT_LT(took, 8s);
        // Nothing of the plug-in's helpers is left (one asked to end after
        // the information was read may take a moment).
        auto give_up = Clock::now() + 3s;
        while (!processes_naming(token).empty() && Clock::now() < give_up)
            std::this_thread::sleep_for(50ms);
        const std::vector<std::string> left = processes_naming(token);
        EXPECT_EQ(left, std::vector<std::string>{});
        // Ended here, so that a failure does not keep the test's output open.
        for (const std::string& process : left)
            ::kill(std::stoi(process), SIGKILL);
        // Loaded last, it is asked first; the working plug-in still decodes.
        std::filesystem::copy_file(winspi("wzrgb", GetParam()), m_plugins / ("wzrgb" + suffix),
                                   std::filesystem::copy_options::overwrite_existing);
        m_spis->Insert(0, OpenSPI(m_plugins / ("wzrgb" + suffix)));
        ::testing::internal::CaptureStderr();
        TSPIBitmap bitmap;
        bitmap.LoadFromFile(file);
        ::testing::internal::GetCapturedStderr();
        expect_pixels(bitmap.ToPixels(), picture);
    }
}

INSTANTIATE_TEST_SUITE_P(Bits, WindowsPlugins, ::testing::Values(32, 64),
                         [](const auto& info) { return std::to_string(info.param) + "bit"; });

// Without Wine a Windows plug-in is skipped with one line naming it and
// saying what to install.
TEST(WindowsPluginsWithoutWine, SkippedWithOneLine)
{
    if (!std::filesystem::exists(winspi("wzrgb", 64)))
        GTEST_SKIP() << skip_reason(64);
    TempDir plugins;
    std::filesystem::copy_file(winspi("wzrgb", 64), plugins / "wzrgb.sph");
    const char* saved = std::getenv("WINELOADER");
    std::string old = saved ? saved : "";
    ::setenv("WINELOADER", "/nonexistent/wine", 1);
    TSPIs spis;
    ::testing::internal::CaptureStderr();
    spis.SearchSPI(plugins.path() + "/*");
    std::string err = ::testing::internal::GetCapturedStderr();
    saved ? ::setenv("WINELOADER", old.c_str(), 1) : ::unsetenv("WINELOADER");
    EXPECT_EQ(spis.Count(), 0);
    EXPECT_EQ(err, "zumo: " + (plugins / "wzrgb.sph") +
                       " is a 64-bit Windows plug-in; install Wine to use it (apt-get install wine "
                       "wine64)\n");
}

} // namespace
} // namespace zumo

int main(int argc, char** argv)
{
    // One Wine prefix for every test of this build, made on first use.
    ::setenv("XDG_CACHE_HOME", ZUMO_TEST_WINE_CACHE, 1);
    if (argc == 2 && std::strcmp(argv[1], "--status") == 0) {
        std::string why64 = zumo::skip_reason(64), why32 = zumo::skip_reason(32);
        if (!why64.empty())
            std::printf("Windows plug-in tests not run: %s\n", why64.c_str());
        else if (!why32.empty())
            std::printf("32-bit Windows plug-in tests not run: %s\n", why32.c_str());
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
