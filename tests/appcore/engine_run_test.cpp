// The command-line and drop runs over the real conversion and rename
// engines, through EngineFileProcessor and the headless host: what an
// unattended run leaves on the disk and on standard error.
#include "app/core/CommandLine.h"
#include "app/core/DropRun.h"
#include "app/core/EngineFiles.h"
#include "app/core/HeadlessHost.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace zumo;

// A 2 x 2 picture as an uncompressed 24-bit BMP.
void write_bmp(const fs::path& path)
{
    std::string bytes;
    auto u16 = [&](std::uint16_t v) { bytes.append({char(v & 0xFF), char(v >> 8)}); };
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(char((v >> (8 * i)) & 0xFF));
    };
    const std::uint32_t stride = 8; // 2 pixels * 3 bytes, padded to 4
    bytes += "BM";
    u32(14 + 40 + stride * 2);
    u32(0);
    u32(14 + 40);
    u32(40);
    u32(2);
    u32(2);
    u16(1);
    u16(24);
    u32(0);
    u32(stride * 2);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    for (int row = 0; row < 2; ++row)
        bytes += std::string("\x10\x20\x30\x40\x50\x60\0\0", 8);
    std::ofstream(path, std::ios::binary) << bytes;
}

class EngineRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-engine-run-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string at(const char* name) const { return (dir / name).string(); }

    fs::path dir;
    test::Log log;
    test::FakeOptions options;
    std::ostringstream err;
    HeadlessUserHost host{err, [] { return false; }};
    ConversionEngine engine{options, host};
    EngineFileProcessor files{engine, options};
    test::FakeApp app{log};
    RunContext ctx{options, host, files, {}, &host};
};

TEST_F(EngineRun, HeadlessConversionReportsTheFileThatFailed)
{
    write_bmp(dir / "a.bmp");
    std::ofstream(dir / "notes.txt") << "not a picture";
    write_bmp(dir / "c.bmp");
    const RunSummary summary = FormShowRun({at("a.bmp"), at("notes.txt"), at("c.bmp")}, ctx, app,
                                           {CaseRule::Keep, Session::Headless});
    EXPECT_EQ(summary.done, 2);
    EXPECT_EQ(summary.unprocessed, 1);
    EXPECT_EQ(exit_status(summary), k_exit_some_failed);
    EXPECT_TRUE(fs::exists(dir / "resize" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "resize" / "c.bmp"));
    EXPECT_EQ(err.str(), "zumo: " + at("notes.txt") +
                             ": 画像を処理できません: 画像ファイルではないか, "
                             "対応していない形式です\n");
    EXPECT_NE(std::find(log.begin(), log.end(), "terminate 1"), log.end());
}

TEST_F(EngineRun, HeadlessRenameAndGifModeStop)
{
    std::ofstream(dir / "x.dat") << "data";
    options.snapshot.RadioGroup10 = 2; // rename: copy as "new0001.dat"
    RunSummary summary = FormShowRun({at("x.dat")}, ctx, app, {CaseRule::Keep, Session::Headless});
    EXPECT_EQ(exit_status(summary), k_exit_ok);
    EXPECT_TRUE(fs::exists(dir / "new0001.dat"));
    EXPECT_TRUE(fs::exists(dir / "x.dat"));

    options.snapshot.RadioGroup10 = 1; // GIF mode meets a file that is not a GIF
    summary = FormShowRun({at("x.dat")}, ctx, app, {CaseRule::Keep, Session::Headless});
    EXPECT_EQ(exit_status(summary), k_exit_stopped);
    EXPECT_NE(err.str().find("not a GIF file"), std::string::npos);
}

TEST_F(EngineRun, DroppedTextFileIsSkippedWithoutAMessage)
{
    std::ofstream(dir / "notes.txt") << "not a picture";
    write_bmp(dir / "a.bmp");
    const RunSummary summary = WMDropFiles({at("notes.txt"), at("a.bmp")}, ctx);
    EXPECT_EQ(summary.done, 1);
    EXPECT_TRUE(err.str().empty());
    EXPECT_TRUE(fs::exists(dir / "resize" / "a.bmp"));
}

} // namespace
