// The BMP reader against hand-made files of every depth and layout.
#include "imagelib/bmp_reader.h"

#include "support.h"

namespace {

using imgctl::read_bmp;
using imgtest::Bytes;
using imgtest::make_bmp;

constexpr std::uint32_t k_rgb = 0, k_rle8 = 1, k_rle4 = 2, k_bitfields = 3, k_alpha_bitfields = 6;

std::vector<std::uint8_t> palette(std::initializer_list<std::uint32_t> rgb)
{
    Bytes b;
    for (const std::uint32_t c : rgb)
        b.u32(c); // stored as B, G, R, 0
    return b.data;
}

std::vector<std::uint8_t> masks(std::initializer_list<std::uint32_t> values)
{
    Bytes b;
    for (const std::uint32_t v : values)
        b.u32(v);
    return b.data;
}

struct ReadCase
{
    const char* name;
    std::vector<std::uint8_t> file;
    int width;
    int height;
    int bit_count;
    bool has_alpha;
    std::vector<std::uint32_t> expected; // 0xAARRGGBB, rows top-down
};

std::vector<std::uint32_t> argb_of(const imgctl::DecodedBmp& bmp)
{
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < bmp.bgra.size(); i += 4) {
        out.push_back((std::uint32_t{bmp.bgra[i + 3]} << 24) | (bmp.bgra[i + 2] << 16) |
                      (bmp.bgra[i + 1] << 8) | bmp.bgra[i]);
    }
    return out;
}

constexpr std::uint32_t W = 0xFFFFFFFF, K = 0xFF000000;
constexpr std::uint32_t P0 = 0x1E140A, P1 = 0x3C3228, P2 = 0x5A5046; // palette colours

std::vector<std::uint8_t> v5_header_bmp()
{
    // 1 x 2, BITMAPV5HEADER with an alpha mask: half-transparent red on top.
    Bytes b;
    b.text("BM").u32(14 + 124 + 8).u32(0).u32(14 + 124);
    b.u32(124).u32(1).u32(2).u16(1).u16(32).u32(k_bitfields).u32(8).u32(0).u32(0).u32(0).u32(0);
    b.u32(0x00FF0000).u32(0x0000FF00).u32(0x000000FF).u32(0xFF000000);
    while (b.data.size() < 14 + 124)
        b.u8(0);
    b.u32(0xFF00FF00); // bottom: opaque green
    b.u32(0x80FF0000); // top: half-transparent red
    return b.data;
}

std::vector<std::uint8_t> os2_core_bmp()
{
    // 3 x 1, 1 bit, core header with 3-byte palette entries.
    Bytes b;
    b.text("BM").u32(14 + 12 + 6 + 4).u32(0).u32(14 + 12 + 6);
    b.u32(12).u16(3).u16(1).u16(1).u16(1);
    b.u8(0x00).u8(0x00).u8(0xFF); // red
    b.u8(0xFF).u8(0x00).u8(0x00); // blue
    b.u8(0b01000000).u8(0).u8(0).u8(0);
    return b.data;
}

std::vector<ReadCase> read_cases()
{
    std::vector<ReadCase> cases;
    cases.push_back(
        {"Bits1",
         make_bmp(3, 2, 1, k_rgb, palette({0x000000, 0xFFFFFF}), {0x60, 0, 0, 0, 0xA0, 0, 0, 0}),
         3,
         2,
         1,
         false,
         {W, K, W, K, W, W}});
    cases.push_back(
        {"Bits4ShortPalette",
         make_bmp(3, 2, 4, k_rgb, palette({P0, P1, P2}), {0x00, 0x20, 0, 0, 0x21, 0x00, 0, 0}, 3),
         3,
         2,
         4,
         false,
         {K | P2, K | P1, K | P0, K | P0, K | P0, K | P2}});
    cases.push_back({"Bits8",
                     make_bmp(3, 2, 8, k_rgb, palette({P0, P1, P2}), {2, 2, 1, 0, 0, 1, 2, 0}, 3),
                     3,
                     2,
                     8,
                     false,
                     {K | P0, K | P1, K | P2, K | P2, K | P2, K | P1}});
    cases.push_back({"Bits8IndexPastPalette",
                     make_bmp(2, 1, 8, k_rgb, palette({P1}), {0, 200, 0, 0}, 1),
                     2,
                     1,
                     8,
                     false,
                     {K | P1, K}});
    cases.push_back({"Bits16Rgb555",
                     make_bmp(3, 2, 16, k_rgb, {},
                              Bytes()
                                  .u16(0x7FFF)
                                  .u16(0)
                                  .u16(0x4104)
                                  .u16(0)
                                  .u16(0x7C00)
                                  .u16(0x03E0)
                                  .u16(0x001F)
                                  .u16(0)
                                  .data),
                     3,
                     2,
                     16,
                     false,
                     {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, W, K, 0xFF844221}});
    cases.push_back({"Bits16BitFields565",
                     make_bmp(2, 1, 16, k_bitfields, masks({0xF800, 0x07E0, 0x001F}),
                              Bytes().u16(0xF800).u16(0x0400).data),
                     2,
                     1,
                     16,
                     false,
                     {0xFFFF0000, 0xFF008200}});
    cases.push_back(
        {"Bits24",
         make_bmp(2, 2, 24, k_rgb, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}),
         2,
         2,
         24,
         false,
         {0xFF090807, 0xFF0C0B0A, 0xFF030201, 0xFF060504}});
    cases.push_back(
        {"Bits24TopDown",
         make_bmp(2, -2, 24, k_rgb, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}),
         2,
         2,
         24,
         false,
         {0xFF030201, 0xFF060504, 0xFF090807, 0xFF0C0B0A}});
    cases.push_back({"Bits32AlphaUnused",
                     make_bmp(2, 1, 32, k_rgb, {}, Bytes().u32(0x00102030).u32(0x00405060).data),
                     2,
                     1,
                     32,
                     false,
                     {0xFF102030, 0xFF405060}});
    cases.push_back({"Bits32AlphaUsed",
                     make_bmp(2, 1, 32, k_rgb, {}, Bytes().u32(0x80102030).u32(0xFF405060).data),
                     2,
                     1,
                     32,
                     true,
                     {0x80102030, 0xFF405060}});
    cases.push_back(
        {"Bits32AlphaBitFields",
         make_bmp(1, 1, 32, k_alpha_bitfields, masks({0xFF, 0xFF00, 0xFF0000, 0xFF000000}),
                  Bytes().u32(0x40112233).data),
         1,
         1,
         32,
         true,
         {0x40332211}});
    cases.push_back({"Bits32V5Header", v5_header_bmp(), 1, 2, 32, true, {0x80FF0000, 0xFF00FF00}});
    cases.push_back(
        {"Os2CoreHeader", os2_core_bmp(), 3, 1, 1, false, {0xFFFF0000, 0xFF0000FF, 0xFFFF0000}});
    // Bottom row: run of 4 x index 1. Middle: absolute 2,3,1 then one 0.
    // Top: delta skips 2 pixels, run of 2 x index 3, end of bitmap.
    cases.push_back(
        {"Rle8",
         make_bmp(4, 3, 8, k_rle8, palette({P0, P1, P2, 0xABCDEF}),
                  {4, 1, 0, 0, 0, 3, 2, 3, 1, 0, 1, 0, 0, 0, 0, 2, 2, 0, 2, 3, 0, 1}, 4),
         4,
         3,
         8,
         false,
         {K | P0, K | P0, 0xFFABCDEF, 0xFFABCDEF, K | P2, 0xFFABCDEF, K | P1, K | P0, K | P1,
          K | P1, K | P1, K | P1}});
    cases.push_back(
        {"Rle4",
         make_bmp(4, 2, 4, k_rle4, palette({P0, P1, P2, 0x010203, 0x040506, 0x070809, 0x0A0B0C}),
                  {4, 0x12, 0, 0, 0, 4, 0x34, 0x56, 0, 1}, 7),
         4,
         2,
         4,
         false,
         {0xFF010203, 0xFF040506, 0xFF070809, 0xFF0A0B0C, K | P1, K | P2, K | P1, K | P2}});
    return cases;
}

class BmpRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(BmpRead, DecodesPixels)
{
    const ReadCase& c = GetParam();
    const imgctl::DecodedBmp bmp = read_bmp(c.file);
    EXPECT_EQ(bmp.width, c.width);
    EXPECT_EQ(bmp.height, c.height);
    EXPECT_EQ(bmp.bit_count, c.bit_count);
    EXPECT_EQ(bmp.has_alpha, c.has_alpha);
    EXPECT_EQ(argb_of(bmp), c.expected);
    // Palette pictures also hand over their indices, which show the same.
    if (c.bit_count <= 8) {
        ASSERT_EQ(bmp.indices.size(), c.expected.size());
        for (std::size_t i = 0; i < bmp.indices.size(); ++i)
            EXPECT_EQ(0xFF000000u | bmp.palette.at(bmp.indices[i]), c.expected[i]) << i;
    } else {
        EXPECT_TRUE(bmp.indices.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, BmpRead, testing::ValuesIn(read_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BmpReadDib, SplitInfoAndBitsAsPluginsHandThemOver)
{
    const std::vector<std::uint8_t> file =
        make_bmp(3, 2, 8, k_rgb, palette({P0, P1, P2}), {2, 2, 1, 0, 0, 1, 2, 0}, 3);
    const std::span<const std::uint8_t> all(file);
    const imgctl::DecodedBmp bmp =
        imgctl::read_dib(all.subspan(14, 40 + 12), all.subspan(14 + 40 + 12));
    EXPECT_EQ(argb_of(bmp),
              (std::vector<std::uint32_t>{K | P0, K | P1, K | P2, K | P2, K | P2, K | P1}));
    EXPECT_EQ(bmp.palette.at(1), P1);
}

TEST(BmpReadDib, BitFieldMasksAfterTheInfoHeader)
{
    const std::vector<std::uint8_t> info = Bytes()
                                               .u32(40)
                                               .u32(1)
                                               .u32(1)
                                               .u16(1)
                                               .u16(16)
                                               .u32(k_bitfields)
                                               .u32(0)
                                               .u32(0)
                                               .u32(0)
                                               .u32(0)
                                               .u32(0)
                                               .u32(0xF800)
                                               .u32(0x07E0)
                                               .u32(0x001F)
                                               .data;
    const std::vector<std::uint8_t> bits = Bytes().u16(0x001F).u16(0).data;
    const imgctl::DecodedBmp bmp = imgctl::read_dib(info, bits);
    EXPECT_EQ(argb_of(bmp), std::vector<std::uint32_t>{0xFF0000FF});
}

} // namespace
