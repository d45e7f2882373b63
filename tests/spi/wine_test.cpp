// Telling Windows plug-in libraries from other files by their DOS and PE
// headers: built headers, one row per case, and the Windows test plug-ins
// the build cross-compiles, when it does.
#include "spi/helper/wine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zumo::wine {
namespace {

struct PeCase
{
    const char* name;
    std::uint32_t pe_offset;
    std::uint16_t machine;
    std::uint16_t characteristics;
    std::uint16_t magic;
    std::size_t size; // bytes kept of the file
    WindowsLibrary expected;
};

std::vector<std::uint8_t> pe_file(const PeCase& c)
{
    std::vector<std::uint8_t> bytes(512, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    auto put = [&](std::size_t at, std::uint32_t value, int count) {
        for (int i = 0; i < count && at + i < bytes.size(); ++i)
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0x3C, c.pe_offset, 4);
    if (c.pe_offset < bytes.size() - 26) {
        put(c.pe_offset, 0x00004550, 4); // "PE\0\0"
        put(c.pe_offset + 4, c.machine, 2);
        put(c.pe_offset + 22, c.characteristics, 2);
        put(c.pe_offset + 24, c.magic, 2);
    }
    bytes.resize(c.size);
    return bytes;
}

class ClassifyTest : public ::testing::TestWithParam<PeCase>
{
};

TEST_P(ClassifyTest, Headers)
{
    EXPECT_EQ(Classify(pe_file(GetParam())), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyTest,
    ::testing::Values(
        PeCase{"Dll32", 0x80, 0x014C, 0x2102, 0x10B, 512, WindowsLibrary::X86},
        PeCase{"Dll64", 0x80, 0x8664, 0x2022, 0x20B, 512, WindowsLibrary::X64},
        PeCase{"Program", 0x80, 0x8664, 0x0022, 0x20B, 512, WindowsLibrary::None},
        PeCase{"Arm64", 0x80, 0xAA64, 0x2022, 0x20B, 512, WindowsLibrary::Other},
        PeCase{"MachineMagicDisagree", 0x80, 0x014C, 0x2102, 0x20B, 512, WindowsLibrary::Other},
        PeCase{"HeaderCut", 0x80, 0x014C, 0x2102, 0x10B, 0x80 + 25, WindowsLibrary::None},
        PeCase{"HeaderJustFits", 0x80, 0x014C, 0x2102, 0x10B, 0x80 + 26, WindowsLibrary::X86},
        PeCase{"OffsetPastEnd", 0x1000, 0x014C, 0x2102, 0x10B, 512, WindowsLibrary::None},
        PeCase{"OffsetWraps", 0xFFFFFFF0, 0x014C, 0x2102, 0x10B, 512, WindowsLibrary::None},
        PeCase{"DosStubOnly", 0, 0, 0, 0, 0x3C, WindowsLibrary::None}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Classify, OtherFiles)
{
    const std::vector<std::uint8_t> elf = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
    EXPECT_EQ(Classify(elf), WindowsLibrary::None);
    EXPECT_EQ(Classify({}), WindowsLibrary::None);
    std::vector<std::uint8_t> no_signature = pe_file({"", 0x80, 0x014C, 0x2102, 0x10B, 512, {}});
    no_signature[0x81] = 'X';
    EXPECT_EQ(Classify(no_signature), WindowsLibrary::None);
    EXPECT_EQ(ClassifyFile("/nonexistent/zumo.spi"), WindowsLibrary::None);
}

// The real thing: what mingw-w64 links.
TEST(Classify, CrossBuiltPlugins)
{
    const std::filesystem::path dir = ZUMO_TEST_WINSPI_DIR;
    if (!std::filesystem::exists(dir / "wzrgb.sph"))
        GTEST_SKIP() << "no Windows test plug-ins were built (mingw-w64 missing)";
    EXPECT_EQ(ClassifyFile(dir / "wzrgb.spi"), WindowsLibrary::X86);
    EXPECT_EQ(ClassifyFile(dir / "wzrgb.sph"), WindowsLibrary::X64);
}

} // namespace
} // namespace zumo::wine
