// WebP and TIFF through ToDIB: every stored layout comes back as the pixels
// written (16-bit samples rounded once, alpha straight, CMYK and palettes
// converted), the orientation is applied once, metadata is handed on, and
// damaged files fail with the format and the fault named, quickly.
#include "imagelib/imgctl.h"

#include "imagelib/decoded_picture.h"
#include "imagelib/decoders/decoders.h"
#include "support.h"

#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <chrono>
#include <cmath>
#include <cstring>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr int k_w = 37, k_h = 21; // three by two tiles of 16, the last ones partial

// ---- TIFF files written with libtiff --------------------------------------------

struct TiffCase
{
    const char* name;
    std::uint16_t photometric;
    std::uint16_t samples;
    std::uint16_t bits;
    std::uint16_t extra = 0; // EXTRASAMPLE_* of the last sample, 0 for none
    bool separate = false;
    bool tiled = false;
    std::uint16_t compression = COMPRESSION_NONE;
    int tolerance = 0; // per 8-bit channel
};

unsigned top_of(int bits)
{
    return (1u << bits) - 1;
}

// The straight sample c of pixel (x, y): all over the range, and for 16
// bits mostly values that are no multiple of 257, so that rounding shows.
unsigned straight(const TiffCase& t, int x, int y, int c)
{
    if (t.extra != 0 && c == t.samples - 1)
        return t.bits == 16 ? 1000u + x * 1700u : 60u + x * 5u; // alpha, never 0
    if (t.photometric == PHOTOMETRIC_PALETTE)
        return static_cast<unsigned>(x + y * 3) % (1u << t.bits);
    if (t.bits == 16)
        return (x * 4099u + y * 7919u + c * 13007u + 129u) % 65536u;
    return (x * 37u + y * 23u + c * 80u + (x > y ? 60u : 0u)) & top_of(t.bits);
}

std::uint16_t palette_entry(int channel, unsigned index)
{
    const unsigned values[] = {index * 4000u, 65535u - index * 3000u, index * 257u + 100u};
    return static_cast<std::uint16_t>(values[channel] % 65536u);
}

unsigned to_8(unsigned value, int bits)
{
    return static_cast<unsigned>(std::lround(value * 255.0 / top_of(bits)));
}

// What ToDIB must give for pixel (x, y), B G R A, worked out from the
// format's definition of each layout.
cv::Vec4b expected_pixel(const TiffCase& t, int x, int y)
{
    const unsigned top = top_of(t.bits);
    const unsigned alpha = t.extra ? straight(t, x, y, t.samples - 1) : top;
    const auto at = [&](int c) { return straight(t, x, y, c); };
    double r = 0, g = 0, b = 0;
    switch (t.photometric) {
    case PHOTOMETRIC_MINISBLACK:
        r = g = b = at(0);
        break;
    case PHOTOMETRIC_MINISWHITE:
        r = g = b = top - at(0);
        break;
    case PHOTOMETRIC_RGB:
        r = at(0), g = at(1), b = at(2);
        break;
    case PHOTOMETRIC_SEPARATED: {
        const double white = (top - at(3)) / double(top);
        r = (top - at(0)) * white, g = (top - at(1)) * white, b = (top - at(2)) * white;
        break;
    }
    case PHOTOMETRIC_PALETTE:
        return {static_cast<std::uint8_t>(to_8(palette_entry(2, at(0)), 16)),
                static_cast<std::uint8_t>(to_8(palette_entry(1, at(0)), 16)),
                static_cast<std::uint8_t>(to_8(palette_entry(0, at(0)), 16)), 255};
    }
    const auto eight = [&](double v) {
        return static_cast<std::uint8_t>(std::lround(v * 255.0 / top));
    };
    return {eight(b), eight(g), eight(r), eight(alpha)};
}

// The sample as stored: associated alpha multiplies the colour in.
unsigned stored(const TiffCase& t, int x, int y, int c)
{
    const unsigned value = straight(t, x, y, c);
    if (t.extra != EXTRASAMPLE_ASSOCALPHA || c == t.samples - 1)
        return value;
    const unsigned top = top_of(t.bits);
    return static_cast<unsigned>(
        std::lround(double(value) * straight(t, x, y, t.samples - 1) / top));
}

// One stored row (or row of a tile) of `count` pixels from column x0, the
// samples of one plane or all, packed most significant bit first.
Bytes pack_row(const TiffCase& t, int x0, int count, int y, int plane)
{
    const int per_pixel = t.separate ? 1 : t.samples;
    Bytes row((static_cast<std::size_t>(count) * per_pixel * t.bits + 7) / 8, 0);
    for (int i = 0; i < count; ++i) {
        for (int s = 0; s < per_pixel; ++s) {
            const int x = std::min(x0 + i, k_w - 1), yy = std::min(y, k_h - 1);
            const unsigned value = stored(t, x, yy, t.separate ? plane : s);
            const std::size_t k = static_cast<std::size_t>(i) * per_pixel + s;
            if (t.bits == 16) {
                const std::uint16_t v = static_cast<std::uint16_t>(value);
                std::memcpy(&row[2 * k], &v, 2);
            } else if (t.bits == 8) {
                row[k] = static_cast<std::uint8_t>(value);
            } else {
                const std::size_t bit = k * t.bits;
                row[bit / 8] |= static_cast<std::uint8_t>(value << (8 - t.bits - bit % 8));
            }
        }
    }
    return row;
}

void write_tiff(const std::string& path, const TiffCase& t, int orientation = 1)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, k_w);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, k_h);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, t.samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, t.bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, t.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, t.compression);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, orientation);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
                 t.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (t.extra) {
        const std::uint16_t extra = t.extra;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (t.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<std::uint16_t> map[3];
        for (int c = 0; c < 3; ++c)
            for (unsigned i = 0; i < (1u << t.bits); ++i)
                map[c].push_back(palette_entry(c, i));
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    }
    const int planes = t.separate ? t.samples : 1;
    if (t.tiled) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
        for (int plane = 0; plane < planes; ++plane)
            for (int ty = 0; ty < k_h; ty += 16)
                for (int tx = 0; tx < k_w; tx += 16) {
                    Bytes tile;
                    for (int r = 0; r < 16; ++r) {
                        const Bytes row = pack_row(t, tx, 16, ty + r, plane);
                        tile.insert(tile.end(), row.begin(), row.end());
                    }
                    ASSERT_GT(TIFFWriteTile(tiff, tile.data(), tx, ty, 0,
                                            static_cast<std::uint16_t>(plane)),
                              0);
                }
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 4); // the last strip partial
        for (int plane = 0; plane < planes; ++plane)
            for (int y = 0; y < k_h; ++y) {
                Bytes row = pack_row(t, 0, k_w, y, plane);
                ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y),
                                            static_cast<std::uint16_t>(plane)),
                          1);
            }
    }
    TIFFClose(tiff);
}

class TiffLayouts : public ::testing::TestWithParam<TiffCase>
{
};

TEST_P(TiffLayouts, LoadAsThePixelsWritten)
{
    const TiffCase& t = GetParam();
    TempDir dir;
    const std::string file = dir.path("t.tif");
    write_tiff(file, t);
    Handle dib(ToDIB(file.c_str()));
    ASSERT_NE(dib.get(), 0u) << LastLoadFailure()->what();
    const cv::Mat got = imgtest::pixels_of(dib);
    ASSERT_EQ(got.cols, k_w);
    ASSERT_EQ(got.rows, k_h);
    EXPECT_EQ(GetDIBInfo(dib).has_alpha, t.extra != 0);
    for (int y = 0; y < k_h; ++y)
        for (int x = 0; x < k_w; ++x) {
            const cv::Vec4b want = expected_pixel(t, x, y), have = got.at<cv::Vec4b>(y, x);
            for (int c = 0; c < 4; ++c)
                ASSERT_NEAR(have[c], want[c], c == 3 ? 0 : t.tolerance)
                    << "pixel " << x << "," << y << " channel " << c;
        }
}

const TiffCase k_tiff_cases[] = {
    {"grey8", PHOTOMETRIC_MINISBLACK, 1, 8},
    {"grey16", PHOTOMETRIC_MINISBLACK, 1, 16},
    {"grey8_alpha", PHOTOMETRIC_MINISBLACK, 2, 8, EXTRASAMPLE_UNASSALPHA},
    {"grey4_min_is_white", PHOTOMETRIC_MINISWHITE, 1, 4},
    {"bilevel_min_is_white", PHOTOMETRIC_MINISWHITE, 1, 1, 0, false, false, COMPRESSION_CCITTFAX4},
    {"rgb8", PHOTOMETRIC_RGB, 3, 8},
    {"rgb16", PHOTOMETRIC_RGB, 3, 16},
    {"rgb8_lzw_tiled", PHOTOMETRIC_RGB, 3, 8, 0, false, true, COMPRESSION_LZW},
    {"rgb16_deflate_separate", PHOTOMETRIC_RGB, 3, 16, 0, true, false, COMPRESSION_ADOBE_DEFLATE},
    {"rgb8_packbits_separate_tiled", PHOTOMETRIC_RGB, 3, 8, 0, true, true, COMPRESSION_PACKBITS},
    {"rgba8_straight", PHOTOMETRIC_RGB, 4, 8, EXTRASAMPLE_UNASSALPHA},
    {"rgba16_straight", PHOTOMETRIC_RGB, 4, 16, EXTRASAMPLE_UNASSALPHA},
    // Premultiplied colour loses precision under low alpha.
    {"rgba8_associated", PHOTOMETRIC_RGB, 4, 8, EXTRASAMPLE_ASSOCALPHA, false, false,
     COMPRESSION_NONE, 3},
    {"rgba16_associated", PHOTOMETRIC_RGB, 4, 16, EXTRASAMPLE_ASSOCALPHA, false, false,
     COMPRESSION_LZW, 1},
    // Rounded once in 16 bits and once to 8.
    {"cmyk8", PHOTOMETRIC_SEPARATED, 4, 8, 0, false, false, COMPRESSION_NONE, 0},
    {"cmyk16", PHOTOMETRIC_SEPARATED, 4, 16, 0, false, false, COMPRESSION_NONE, 1},
    {"palette8", PHOTOMETRIC_PALETTE, 1, 8},
    {"palette4_deflate", PHOTOMETRIC_PALETTE, 1, 4, 0, false, false, COMPRESSION_ADOBE_DEFLATE},
};

INSTANTIATE_TEST_SUITE_P(Variants, TiffLayouts, ::testing::ValuesIn(k_tiff_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// 16-bit samples leave the decoder as stored; only the picture library's
// one step takes them to 8 bits.
TEST(TiffDecoder, KeepsSixteenBitSamples)
{
    const TiffCase t{"rgb16", PHOTOMETRIC_RGB, 3, 16};
    TempDir dir;
    write_tiff(dir.path("t.tif"), t);
    const decoders::Decoded d = decoders::decode(imgtest::read_bytes(dir.path("t.tif")));
    ASSERT_EQ(d.bits, 16);
    ASSERT_EQ(d.channels, 3);
    ASSERT_EQ(d.pixels16.size(), std::size_t{k_w} * k_h * 3);
    for (int y = 0; y < k_h; ++y)
        for (int x = 0; x < k_w; ++x)
            for (int c = 0; c < 3; ++c) // B G R
                ASSERT_EQ(d.pixels16[(static_cast<std::size_t>(y) * k_w + x) * 3 + c],
                          straight(t, x, y, 2 - c));
}

// A caller that only rounds 16-bit samples may have them rounded as they are
// read: the pixels are the very ones the 16-bit decode gives once rounded,
// for every layout, whether or not the decoder took that way.
TEST(TiffDecoder, RoundsOnReadingAsTheCallerWould)
{
    TempDir dir;
    for (const TiffCase& t : k_tiff_cases) {
        write_tiff(dir.path("t.tif"), t);
        const Bytes file = imgtest::read_bytes(dir.path("t.tif"));
        decoders::Decoded wide = decoders::decode(file);
        decoders::Decoded narrow = decoders::decode(file, decoders::Depth::Eight);
        const bool rounded_first =
            t.bits == 16 &&
            (t.photometric == PHOTOMETRIC_RGB || t.photometric == PHOTOMETRIC_MINISBLACK) &&
            t.extra != EXTRASAMPLE_ASSOCALPHA;
        EXPECT_EQ(narrow.bits, rounded_first ? 8 : wide.bits) << t.name;
        to_8bit(wide);
        to_8bit(narrow);
        EXPECT_EQ(narrow.channels, wide.channels) << t.name;
        EXPECT_TRUE(narrow.pixels8 == wide.pixels8) << t.name;
    }
    // A grey profile is converted from the 16 bits, so they stay.
    write_tiff(dir.path("g.tif"), {"grey16", PHOTOMETRIC_MINISBLACK, 1, 16});
    TIFF* tiff = TIFFOpen(dir.path("g.tif").c_str(), "r+");
    ASSERT_NE(tiff, nullptr);
    Bytes profile(132, 0);
    std::memcpy(&profile[16], "GRAY", 4);
    TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(profile.size()),
                 profile.data());
    TIFFRewriteDirectory(tiff);
    TIFFClose(tiff);
    const Bytes grey = imgtest::read_bytes(dir.path("g.tif"));
    EXPECT_EQ(decoders::decode(grey, decoders::Depth::Eight).bits, 16);
}

TEST(ToEightBits, RoundsToTheNearestValue)
{
    const std::pair<std::uint16_t, std::uint8_t> cases[] = {
        {0, 0},       {128, 0},     {129, 1},     {257, 1},     {385, 1},     {386, 2},
        {32767, 127}, {32896, 128}, {65406, 254}, {65407, 255}, {65535, 255},
    };
    decoders::Decoded d;
    d.width = static_cast<int>(std::size(cases));
    d.height = 1;
    d.channels = 1;
    d.bits = 16;
    for (const auto& [wide, narrow] : cases)
        d.pixels16.push_back(wide);
    to_8bit(d);
    ASSERT_EQ(d.bits, 8);
    ASSERT_EQ(d.pixels8.size(), std::size(cases));
    EXPECT_TRUE(d.pixels16.empty());
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(d.pixels8[i], cases[i].second) << cases[i].first;
}

// ---- WebP files written with libwebp --------------------------------------------

Bytes bgra_pattern(int width, int height, bool alpha, int shift = 0)
{
    Bytes bgra;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bgra.insert(bgra.end(), {static_cast<std::uint8_t>(x * 7 + shift),
                                     static_cast<std::uint8_t>(y * 11),
                                     static_cast<std::uint8_t>((x + y) * 5 + shift),
                                     static_cast<std::uint8_t>(alpha ? 40 + x * 5 : 255)});
    return bgra;
}

Bytes webp_still(const Bytes& bgra, int width, int height, bool lossless)
{
    std::uint8_t* out = nullptr;
    const std::size_t size =
        lossless ? WebPEncodeLosslessBGRA(bgra.data(), width, height, width * 4, &out)
                 : WebPEncodeBGRA(bgra.data(), width, height, width * 4, 90, &out);
    Bytes file(out, out + size);
    WebPFree(out);
    return file;
}

// Two frames; the first is the one shown.
Bytes webp_animation(const Bytes& first, int width, int height)
{
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(width, height, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int frame = 0; frame < 2; ++frame) {
        const Bytes bgra = frame == 0 ? first : bgra_pattern(width, height, false, 99);
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.use_argb = 1;
        picture.width = width;
        picture.height = height;
        WebPPictureImportBGRA(&picture, bgra.data(), width * 4);
        WebPAnimEncoderAdd(encoder, &picture, frame * 100, &config);
        WebPPictureFree(&picture);
    }
    WebPAnimEncoderAdd(encoder, nullptr, 200, nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(encoder, &data);
    WebPAnimEncoderDelete(encoder);
    Bytes file(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    return file;
}

// An EXIF block with IFD0 holding only Orientation.
Bytes orientation_exif(unsigned value)
{
    imgtest::Bytes b;
    b.text("II").u16(42).u32(8).u16(1);
    b.u16(0x0112).u16(3).u32(1).u16(value).u16(0).u32(0);
    return b.data;
}

// The file with EXIF (behind the "Exif\0\0" name some writers put first),
// XMP and ICC chunks added.
Bytes with_chunks(const Bytes& webp, const Bytes& exif, const std::string& xmp, const Bytes& icc)
{
    WebPMux* mux = WebPMuxNew();
    const WebPData image{webp.data(), webp.size()};
    WebPMuxSetImage(mux, &image, 1);
    Bytes named_exif{'E', 'x', 'i', 'f', 0, 0};
    named_exif.insert(named_exif.end(), exif.begin(), exif.end());
    const WebPData e{named_exif.data(), named_exif.size()};
    const WebPData x{reinterpret_cast<const std::uint8_t*>(xmp.data()), xmp.size()};
    const WebPData i{icc.data(), icc.size()};
    if (!exif.empty())
        WebPMuxSetChunk(mux, "EXIF", &e, 1);
    if (!xmp.empty())
        WebPMuxSetChunk(mux, "XMP ", &x, 1);
    if (!icc.empty())
        WebPMuxSetChunk(mux, "ICCP", &i, 1);
    WebPData out;
    WebPDataInit(&out);
    const WebPMuxError assembled = WebPMuxAssemble(mux, &out);
    WebPMuxDelete(mux);
    EXPECT_EQ(assembled, WEBP_MUX_OK);
    Bytes file(out.bytes, out.bytes + out.size);
    WebPDataClear(&out);
    return file;
}

struct WebpCase
{
    const char* name;
    bool lossless;
    bool alpha;
    bool animated;
    double max_mean_difference;
};

class WebpVariants : public ::testing::TestWithParam<WebpCase>
{
};

TEST_P(WebpVariants, LoadAsThePixelsWritten)
{
    const WebpCase& w = GetParam();
    const Bytes bgra = bgra_pattern(k_w, k_h, w.alpha);
    TempDir dir;
    const std::string file = dir.path("w.webp");
    imgtest::write_bytes(file, w.animated ? webp_animation(bgra, k_w, k_h)
                                          : webp_still(bgra, k_w, k_h, w.lossless));
    Handle dib(ToDIB(file.c_str()));
    ASSERT_NE(dib.get(), 0u) << LastLoadFailure()->what();
    const cv::Mat got = imgtest::pixels_of(dib);
    ASSERT_EQ(got.cols, k_w);
    ASSERT_EQ(got.rows, k_h);
    EXPECT_EQ(GetDIBInfo(dib).has_alpha, w.alpha);
    const cv::Mat want(k_h, k_w, CV_8UC4, const_cast<std::uint8_t*>(bgra.data()));
    EXPECT_LE(imgtest::mean_abs_diff(got, want), w.max_mean_difference);
    if (w.max_mean_difference == 0) {
        cv::Mat alpha_got, alpha_want;
        cv::extractChannel(got, alpha_got, 3);
        cv::extractChannel(want, alpha_want, 3);
        EXPECT_EQ(cv::countNonZero(alpha_got != alpha_want), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, WebpVariants,
                         ::testing::Values(WebpCase{"lossless", true, false, false, 0},
                                           WebpCase{"lossless_alpha", true, true, false, 0},
                                           WebpCase{"lossy", false, false, false, 4},
                                           WebpCase{"lossy_alpha", false, true, false, 4},
                                           WebpCase{"animation_opaque", true, false, true, 0},
                                           WebpCase{"animation_translucent", true, true, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WebpMetadata, ChunksGoToThePicturesMetadata)
{
    const Bytes icc(300, 0x5A);
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    const Bytes exif = orientation_exif(1);
    const Bytes file =
        with_chunks(webp_still(bgra_pattern(8, 4, false), 8, 4, true), exif, xmp, icc);
    Metadata metadata;
    const Picture picture = decode_further_format(file, Orientation::Apply, metadata);
    EXPECT_EQ(metadata.exif, exif); // without the name in front
    EXPECT_EQ(metadata.xmp, xmp);
    EXPECT_EQ(metadata.icc, icc);
    EXPECT_EQ(picture.colour.cols, 8);
}

TEST(TiffMetadata, TagsGoToThePicturesMetadata)
{
    const TiffCase t{"rgb8", PHOTOMETRIC_RGB, 3, 8};
    TempDir dir;
    write_tiff(dir.path("t.tif"), t);
    const Bytes icc(200, 0x33);
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    TIFF* tiff = TIFFOpen(dir.path("t.tif").c_str(), "r+");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
    TIFFSetField(tiff, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(xmp.size()), xmp.data());
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 100.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 50.0f);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
    TIFFRewriteDirectory(tiff);
    TIFFClose(tiff);
    Metadata metadata;
    decode_further_format(imgtest::read_bytes(dir.path("t.tif")), Orientation::Apply, metadata);
    EXPECT_EQ(metadata.icc, icc);
    EXPECT_EQ(metadata.xmp, xmp);
    EXPECT_NEAR(metadata.dpi_x, 254.0, 1e-3);
    EXPECT_NEAR(metadata.dpi_y, 127.0, 1e-3);
}

// ---- orientation: TIFF's tag and WebP's EXIF chunk, applied once ------------------

enum Corner { TopLeft, TopRight, BottomLeft, BottomRight };

struct OrientationCase
{
    unsigned orientation;
    // Which stored corner shows at the visual top-left, top-right,
    // bottom-left and bottom-right, from the tag's definition.
    Corner top_left, top_right, bottom_left, bottom_right;
};

const OrientationCase k_orientations[] = {
    {1, TopLeft, TopRight, BottomLeft, BottomRight},
    {2, TopRight, TopLeft, BottomRight, BottomLeft},
    {3, BottomRight, BottomLeft, TopRight, TopLeft},
    {4, BottomLeft, BottomRight, TopLeft, TopRight},
    {5, TopLeft, BottomLeft, TopRight, BottomRight},
    {6, BottomLeft, TopLeft, BottomRight, TopRight},
    {7, BottomRight, TopRight, BottomLeft, TopLeft},
    {8, TopRight, BottomRight, TopLeft, BottomLeft},
};

enum class Kind { Tiff, Webp };
const TiffCase k_rgb8{"rgb8", PHOTOMETRIC_RGB, 3, 8};

// The stored k_w x k_h picture's pixel at a corner, B G R A.
cv::Vec4b stored_corner(Kind kind, Corner corner)
{
    const int x = corner == TopRight || corner == BottomRight ? k_w - 1 : 0;
    const int y = corner == BottomLeft || corner == BottomRight ? k_h - 1 : 0;
    if (kind == Kind::Tiff)
        return expected_pixel(k_rgb8, x, y);
    const Bytes bgra = bgra_pattern(k_w, k_h, false);
    const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * k_w + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}

class OrientedFiles : public ::testing::TestWithParam<std::tuple<Kind, OrientationCase>>
{
};

TEST_P(OrientedFiles, StandUprightOnceAndAsStoredOnRequest)
{
    const auto& [kind, o] = GetParam();
    TempDir dir;
    const std::string file = dir.path("oriented");
    if (kind == Kind::Tiff)
        write_tiff(file, k_rgb8, static_cast<int>(o.orientation));
    else
        imgtest::write_bytes(file,
                             with_chunks(webp_still(bgra_pattern(k_w, k_h, false), k_w, k_h, true),
                                         orientation_exif(o.orientation), "", {}));
    const bool sideways = o.orientation >= 5;
    const decoders::Header header = decoders::read_header(imgtest::read_bytes(file));
    EXPECT_EQ(header.width, sideways ? k_h : k_w);
    EXPECT_EQ(header.height, sideways ? k_w : k_h);

    Handle dib(ToDIB(file.c_str()));
    ASSERT_NE(dib.get(), 0u) << LastLoadFailure()->what();
    const cv::Mat got = imgtest::pixels_of(dib);
    ASSERT_EQ(got.cols, sideways ? k_h : k_w);
    ASSERT_EQ(got.rows, sideways ? k_w : k_h);
    const int right = got.cols - 1, bottom = got.rows - 1;
    EXPECT_EQ(got.at<cv::Vec4b>(0, 0), stored_corner(kind, o.top_left));
    EXPECT_EQ(got.at<cv::Vec4b>(0, right), stored_corner(kind, o.top_right));
    EXPECT_EQ(got.at<cv::Vec4b>(bottom, 0), stored_corner(kind, o.bottom_left));
    EXPECT_EQ(got.at<cv::Vec4b>(bottom, right), stored_corner(kind, o.bottom_right));

    Handle stored(ToDIBex(file.c_str(), {Orientation::Ignore, MetadataUse::Keep}));
    ASSERT_NE(stored.get(), 0u);
    const cv::Mat as_stored = imgtest::pixels_of(stored);
    ASSERT_EQ(as_stored.cols, k_w);
    EXPECT_EQ(as_stored.at<cv::Vec4b>(0, k_w - 1), stored_corner(kind, TopRight));
}

INSTANTIATE_TEST_SUITE_P(AllValues, OrientedFiles,
                         ::testing::Combine(::testing::Values(Kind::Tiff, Kind::Webp),
                                            ::testing::ValuesIn(k_orientations)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Kind::Tiff ? "tiff"
                                                                                      : "webp") +
                                    std::to_string(std::get<1>(info.param).orientation);
                         });

// ---- damaged files --------------------------------------------------------------

// A little-endian TIFF of one uncompressed or compressed strip holding
// `strip`, whatever size the header claims.
Bytes tiff_claiming(std::uint32_t width, std::uint32_t height, std::uint16_t compression,
                    const Bytes& strip)
{
    imgtest::Bytes b;
    b.text("II").u16(42).u32(8).u16(9);
    const auto entry = [&](unsigned tag, unsigned type, std::uint32_t value) {
        b.u16(tag).u16(type).u32(1).u32(value);
    };
    entry(256, 4, width);
    entry(257, 4, height);
    entry(258, 3, 8);
    entry(259, 3, compression);
    entry(262, 3, PHOTOMETRIC_MINISBLACK);
    entry(273, 4, 8 + 2 + 9 * 12 + 4); // the strip right after the directory
    entry(277, 3, 1);
    entry(278, 4, height);
    entry(279, 4, static_cast<std::uint32_t>(strip.size()));
    b.u32(0).raw(strip);
    return b.data;
}

Bytes cut(Bytes file, double share)
{
    file.resize(static_cast<std::size_t>(file.size() * share));
    return file;
}

Bytes lzw_tiff()
{
    TempDir dir;
    write_tiff(dir.path("t.tif"),
               TiffCase{"rgb8_lzw", PHOTOMETRIC_RGB, 3, 8, 0, false, false, COMPRESSION_LZW});
    return imgtest::read_bytes(dir.path("t.tif"));
}

// A lossless WebP of side x side pixels whose data ends with its header.
Bytes vp8l_header(std::uint32_t side)
{
    imgtest::Bytes b;
    b.text("RIFF").u32(18).text("WEBPVP8L").u32(5).u8(0x2F);
    b.u32((side - 1) | ((side - 1) << 14)).u8(0); // no alpha, version 0; padding
    return b.data;
}

// A small animation whose canvas is said to be side x side pixels: the
// first frame sits in its corner and the rest of the file holds nothing.
Bytes animation_on_canvas(std::uint32_t side)
{
    Bytes file = webp_animation(bgra_pattern(4, 4, false), 4, 4);
    for (int i = 0; i < 3; ++i) {
        file[24 + i] = static_cast<std::uint8_t>((side - 1) >> (8 * i));
        file[27 + i] = static_cast<std::uint8_t>((side - 1) >> (8 * i));
    }
    return file;
}

struct DamagedCase
{
    const char* name;
    Bytes (*make)();
    const char* prefix;
    Fault fault;
};

class DamagedFiles : public ::testing::TestWithParam<DamagedCase>
{
};

TEST_P(DamagedFiles, FailClearlyAndQuickly)
{
    const DamagedCase& d = GetParam();
    TempDir dir;
    const std::string file = dir.path("bad");
    imgtest::write_bytes(file, d.make());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ToDIB(file.c_str()), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::optional<ImageError> failure = LastLoadFailure();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(std::string(failure->what()).rfind(d.prefix, 0), 0u) << failure->what();
    EXPECT_EQ(failure->fault(), d.fault) << failure->what();
    EXPECT_EQ(LiveDIBCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFiles,
    ::testing::Values(
        DamagedCase{
            "webp_cut_in_half",
            [] { return cut(webp_still(bgra_pattern(k_w, k_h, true), k_w, k_h, true), 0.5); },
            "WebP: ", Fault::Data},
        DamagedCase{
            "webp_animation_cut",
            [] { return cut(webp_animation(bgra_pattern(k_w, k_h, false), k_w, k_h), 0.7); },
            "WebP: ", Fault::Data},
        DamagedCase{"webp_canvas_more_than_the_file_could_fill",
                    [] { return animation_on_canvas(12999); }, "WebP: ", Fault::Data},
        DamagedCase{"webp_header_only", [] { return vp8l_header(13000); }, "WebP: ", Fault::Data},
        DamagedCase{"webp_beyond_the_limits", [] { return vp8l_header(16384); },
                    "WebP: ", Fault::TooLarge},
        DamagedCase{"tiff_cut_in_half", [] { return cut(lzw_tiff(), 0.5); }, "TIFF: ", Fault::Data},
        DamagedCase{"tiff_claims_more_than_it_holds",
                    [] { return tiff_claiming(13000, 13000, COMPRESSION_NONE, Bytes(16)); },
                    "TIFF: ", Fault::Data},
        DamagedCase{
            "tiff_deflate_claims_more_than_it_could_expand_to",
            [] { return tiff_claiming(13000, 13000, COMPRESSION_ADOBE_DEFLATE, Bytes(64)); },
            "TIFF: ", Fault::Data},
        DamagedCase{"tiff_strip_of_garbage",
                    [] { return tiff_claiming(64, 64, COMPRESSION_LZW, Bytes(40, 0xFF)); },
                    "TIFF: ", Fault::Data},
        DamagedCase{"tiff_beyond_the_limits",
                    [] { return tiff_claiming(70000, 1, COMPRESSION_NONE, Bytes(70000)); },
                    "TIFF: ", Fault::TooLarge},
        DamagedCase{"tiff_directory_outside_the_file",
                    [] {
                        imgtest::Bytes b;
                        b.text("II").u16(42).u32(0x7FFFFFF0);
                        return b.data;
                    },
                    "TIFF: ", Fault::Data}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
