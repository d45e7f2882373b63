// What a plug-in hands back is untrusted: the raw test plug-in returns any
// header, colour table and pixel block in exactly sized blocks, so a read
// past either block is a sanitizer fault and every check of the host can be
// driven on its own.
#include "graphics/picture.h"
#include "imagelib/picture_limits.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <dlfcn.h>

namespace zumo {
namespace {

using spitest::plugin;

void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t value)
{
    std::memcpy(&v[at], &value, 4);
}

// The raw plug-in's source: progress pair, info block, bits block.
std::vector<std::uint8_t> zraw(const std::vector<std::uint8_t>& info,
                               const std::vector<std::uint8_t>& bits, std::int32_t done = 0,
                               std::int32_t total = 1)
{
    std::vector<std::uint8_t> out{'Z', 'R', 'A', 'W'};
    out.resize(16);
    put32(out, 4, static_cast<std::uint32_t>(done));
    put32(out, 8, static_cast<std::uint32_t>(total));
    put32(out, 12, static_cast<std::uint32_t>(info.size()));
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), bits.begin(), bits.end());
    return out;
}

struct HostileCase
{
    const char* name;
    std::uint32_t header_size; // biSize as the plug-in states it
    std::size_t info_bytes;    // size of the block handed over
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bit_count;
    std::uint32_t compression;
    std::uint32_t clr_used;
    bool accepted;
    std::size_t bits_short = 0; // bytes missing from the pixel block
};

void PrintTo(const HostileCase& c, std::ostream* out)
{
    *out << c.name;
}

std::int64_t stride_of(const HostileCase& c)
{
    return ((static_cast<std::int64_t>(c.width) * c.bit_count + 31) / 32) * 4;
}

// The info block: header fields, BI_BITFIELDS masks at offset 40 where the
// block has room, the rest zero. Bits: exactly what the header needs (a few
// bytes for headers that claim absurd sizes), every pixel 0x00123456 at 32
// bits.
std::vector<std::uint8_t> hostile_source(const HostileCase& c)
{
    std::vector<std::uint8_t> info(c.info_bytes, 0);
    put32(info, 0, c.header_size);
    put32(info, 4, static_cast<std::uint32_t>(c.width));
    put32(info, 8, static_cast<std::uint32_t>(c.height));
    info[12] = 1;
    info[14] = static_cast<std::uint8_t>(c.bit_count);
    put32(info, 16, c.compression);
    put32(info, 32, c.clr_used);
    if (c.compression == 3 && info.size() >= 52) {
        put32(info, 40, 0xFF0000);
        put32(info, 44, 0xFF00);
        put32(info, 48, 0xFF);
    }
    const std::int64_t rows = std::llabs(static_cast<std::int64_t>(c.height));
    const bool absurd = c.width <= 0 || c.width > 1'000'000 || rows > 1'000'000;
    std::vector<std::uint8_t> bits(
        absurd ? 16 : static_cast<std::size_t>(stride_of(c) * rows) - c.bits_short, 0);
    if (c.bit_count == 32)
        for (std::size_t i = 0; i + 4 <= bits.size(); i += 4)
            put32(bits, i, 0x00123456);
    return zraw(info, bits);
}

class HostileResults : public ::testing::TestWithParam<HostileCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.path().size() > 0);
        m_spis = std::make_unique<TSPIs>();
        m_spis->Add(OpenSPI(plugin("raw")));
    }
    std::string picture(const std::vector<std::uint8_t>& bytes)
    {
        std::string path = m_dir / "p.zraw";
        spitest::write_file(path, bytes);
        return path;
    }

    std::unique_ptr<TSPIs> m_spis;
    spitest::TempDir m_dir;
};

TEST_P(HostileResults, HostTakesExactlyTheBlocksThatHoldWhatTheyClaim)
{
    const HostileCase& c = GetParam();
    const std::string path = picture(hostile_source(c));
    TSPIGraphic graphic;
    if (!c.accepted) {
        EXPECT_THROW(graphic.LoadFromFile(path), EInvalidGraphic);
        EXPECT_TRUE(graphic.Empty());
        return;
    }
    ASSERT_NO_THROW(graphic.LoadFromFile(path));
    EXPECT_EQ(graphic.Width(), c.width);
    EXPECT_EQ(graphic.Height(), c.height);
    if (static_cast<std::int64_t>(c.width) * std::abs(c.height) > 1'000'000)
        return; // the bitmap's conversion of such sizes is the BMP reader's own test
    // The whole way to the preview's bitmap: written as BMP, read back.
    TSPIBitmap bitmap;
    ASSERT_NO_THROW(bitmap.LoadFromFile(path));
    EXPECT_EQ(bitmap.Width(), c.width);
    EXPECT_EQ(bitmap.Height(), std::abs(c.height));
    if (c.bit_count == 32) {
        TPixelImage pixels = bitmap.ToPixels();
        EXPECT_EQ(spitest::rgb_at(pixels.bgra, pixels.width, c.width - 1, 0), 0x123456u);
    }
}

constexpr std::uint32_t k_rgb = 0;
constexpr std::uint32_t k_bitfields = 3;

INSTANTIATE_TEST_SUITE_P(
    Blocks, HostileResults,
    ::testing::Values(
        // Headers between 40 and 52 bytes end inside the masks that follow
        // a 40-byte header: the block must reach past the masks.
        HostileCase{"header41_masks_missing", 41, 41, 4, 3, 32, k_bitfields, 0, false},
        HostileCase{"header48_masks_cut", 48, 48, 4, 3, 32, k_bitfields, 0, false},
        HostileCase{"header51_masks_cut", 51, 51, 4, 3, 32, k_bitfields, 0, false},
        HostileCase{"header44_masks_held", 44, 52, 4, 3, 32, k_bitfields, 0, true},
        HostileCase{"header40_masks_missing", 40, 40, 4, 3, 32, k_bitfields, 0, false},
        HostileCase{"header40_masks_held", 40, 52, 4, 3, 32, k_bitfields, 0, true},
        HostileCase{"v5_masks_in_header", 124, 124, 4, 3, 32, k_bitfields, 0, true},
        // The colour table must fit the block, after the whole header.
        HostileCase{"table_cut_short", 40, 40 + 4 * 100, 5, 2, 8, k_rgb, 0, false},
        HostileCase{"table_after_v5_cut", 124, 124 + 4 * 15, 5, 2, 4, k_rgb, 0, false},
        HostileCase{"table_after_v5_held", 124, 124 + 4 * 16, 5, 2, 4, k_rgb, 0, true},
        HostileCase{"header44_table_held", 44, 44 + 4 * 16, 5, 2, 4, k_rgb, 0, true},
        // The pixel block holds every padded row, to the last byte.
        HostileCase{"bits_one_byte_short", 40, 40, 5, 2, 24, k_rgb, 0, false, 1},
        // Never more than 256 colours, whatever the block holds.
        HostileCase{"clr_used_256", 40, 40 + 4 * 256, 5, 2, 8, k_rgb, 256, true},
        HostileCase{"clr_used_257", 40, 40 + 4 * 257, 5, 2, 8, k_rgb, 257, false},
        HostileCase{"clr_used_huge", 40, 40, 5, 2, 8, k_rgb, 0x40000000, false},
        HostileCase{"header_size_huge", 0xFFFFFFF0, 64, 5, 2, 24, k_rgb, 0, false},
        HostileCase{"header_size_short", 39, 64, 5, 2, 24, k_rgb, 0, false},
        // Sizes whose products overflow 32 bits, and the shared limits:
        // every side up to 65535, up to 178 million pixels.
        HostileCase{"width_int_max", 40, 40, INT_MAX, 2, 32, k_rgb, 0, false},
        HostileCase{"height_int_min", 40, 40, 3, INT_MIN, 24, k_rgb, 0, false},
        HostileCase{"both_int_max", 40, 40, INT_MAX, INT_MAX, 32, k_rgb, 0, false},
        HostileCase{"width_negative", 40, 40, -5, 2, 24, k_rgb, 0, false},
        HostileCase{"side_65535", 40, 40, 65535, 2, 32, k_rgb, 0, true},
        HostileCase{"side_65536", 40, 40, 65536, 2, 24, k_rgb, 0, false},
        HostileCase{"wide_70000x2", 40, 40, 70000, 2, 24, k_rgb, 0, false},
        HostileCase{"tall_top_down_70000", 40, 40, 2, -70000, 24, k_rgb, 0, false},
        HostileCase{"top_down_side_65535", 40, 40, 3, -65535, 32, k_rgb, 0, true},
        HostileCase{"over_67_million_pixels", 40, 48, 8200, 8200, 1, k_rgb, 0, true},
        HostileCase{"over_178_million_pixels", 40, 48, 65535, 2717, 1, k_rgb, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressCallbackExtremes, PercentStaysInRangeForAnyReport)
{
    TSPIGraphic owner;
    TInSPIAbleFromFile data(&owner, "x");
    std::vector<int> percents;
    data.OnProgress = [&](TGraphic*, TProgressStage, std::uint8_t percent, bool, const TRect&,
                          const std::string&) { percents.push_back(percent); };
    const std::vector<std::pair<int, int>> reports{{INT_MAX, 97}, {INT_MAX - 2, 97}, {INT_MIN, 97},
                                                   {INT_MAX, 1},  {INT_MIN, -1},     {-5, 10}};
    for (auto [done, total] : reports)
        EXPECT_EQ(SPIProgressCallback(done, total, reinterpret_cast<susie_intptr>(&data)), 0);
    // Beyond the end holds at 100, below the start at 0; a quotient that does
    // not fit 32 bits is MulDiv's -1, giving 1.
    EXPECT_EQ(percents, (std::vector<int>{100, 100, 0, 1, 1, 0}));
}

TEST(ProgressCallbackExtremes, ExtremeReportsFromAPluginStillLoad)
{
    spitest::TempDir dir;
    TSPIs spis;
    spis.Add(OpenSPI(plugin("raw")));
    std::vector<std::uint8_t> info(40, 0);
    put32(info, 0, 40);
    put32(info, 4, 1);
    put32(info, 8, 1);
    info[12] = 1;
    info[14] = 24;
    spitest::write_file(dir / "p.zraw", zraw(info, std::vector<std::uint8_t>(4, 9), INT_MAX, 97));
    TSPIGraphic graphic;
    std::vector<int> running;
    graphic.OnProgress = [&](TGraphic*, TProgressStage stage, std::uint8_t percent, bool,
                             const TRect&, const std::string& msg) {
        if (stage == TProgressStage::psRunning && msg.empty())
            running.push_back(percent);
    };
    graphic.LoadFromFile(dir / "p.zraw");
    EXPECT_EQ(graphic.Width(), 1);
    EXPECT_EQ(running, std::vector<int>{100});
}

// Memory shorter than a MacBinary header: the offset-128 attempt has no
// data, so no plug-in is asked with a length below zero or an address past
// the end of the data.
class ShortMemory : public ::testing::TestWithParam<std::size_t>
{
};

TEST_P(ShortMemory, MacBinaryAttemptNeverHandsANegativeLength)
{
    TSPIs spis;
    spis.MacBinary = true;
    spis.Add(OpenSPI(plugin("any")));
    // A helper process keeps the plug-in's counters out of reach.
    void* library = ::dlopen(plugin("any").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_TRUE(library || CurrentSPIHosting() == SPIHosting::Helper);
    if (library)
        reinterpret_cast<void (*)()>(::dlsym(library, "TestReset"))();
    // Not a picture, so the offset-0 attempt fails and offset 128 is next.
    std::vector<std::uint8_t> junk(GetParam(), 0x5A);
    TMemoryStream stream;
    stream.WriteBuffer(junk.data(), junk.size());
    TSPIGraphic graphic;
    EXPECT_THROW(graphic.LoadFromStreamWithName(stream, "short.ztst"), EInvalidGraphic);
    if (!library)
        return;
    auto last_length = reinterpret_cast<long long (*)()>(::dlsym(library, "TestLastLength"));
    EXPECT_EQ(last_length(), static_cast<long long>(GetParam()));
    ::dlclose(library);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShortMemory, ::testing::Values(1, 9, 127));

} // namespace
} // namespace zumo
