// The HEIF/AVIF and JPEG XL decoders, on pictures encoded with libheif's and
// libjxl's own encoders (tests/support/heif_jxl_pictures.h).
#include "imagelib/decoders/decoders.h"
#include "imagelib/exif_orientation.h"
#include "tests/support/heif_jxl_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using decoders::Decoded;
using decoders::DecodeError;
using decoders::Fault;

// One sample of the decoded picture at (x, y), 0..255 whatever the depth.
int sample(const Decoded& d, int x, int y, int channel)
{
    const std::size_t at = (std::size_t(y) * d.width + x) * d.channels + channel;
    return d.bits == 16 ? d.pixels16.at(at) / 257 : d.pixels8.at(at);
}

// The decoded picture has the shown size and, at each quadrant's centre, the
// colour of the stored quadrant that belongs there, in B G R order.
void expect_quadrants(const Decoded& d, int orientation, int tolerance)
{
    const bool sideways = orientation >= 5;
    ASSERT_EQ(d.width, sideways ? k_height : k_width);
    ASSERT_EQ(d.height, sideways ? k_width : k_height);
    const std::size_t samples = std::size_t(d.width) * d.height * d.channels;
    ASSERT_EQ(d.bits == 16 ? d.pixels16.size() : d.pixels8.size(), samples);
    const std::array<Quadrant, 4> want = shown_quadrants(orientation);
    for (int q = 0; q < 4; ++q) {
        const int x = (q % 2 ? 3 : 1) * d.width / 4, y = (q / 2 ? 3 : 1) * d.height / 4;
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(sample(d, x, y, c), k_rgb[want[q]][2 - c], tolerance)
                << "quadrant " << q << " channel " << c;
    }
}

// The stored picture is opaque on the left, transparent on the right; the
// alpha samples must have turned with the colours.
void expect_alpha(const Decoded& d, int orientation, int tolerance)
{
    const std::array<Quadrant, 4> shown = shown_quadrants(orientation);
    for (int q = 0; q < 4; ++q) {
        const int x = (q % 2 ? 3 : 1) * d.width / 4, y = (q / 2 ? 3 : 1) * d.height / 4;
        const bool opaque = shown[q] == Red || shown[q] == Blue;
        EXPECT_NEAR(sample(d, x, y, d.channels - 1), opaque ? 255 : 0, tolerance)
            << "quadrant " << q;
    }
}

// ---------------------------------------------------------------- HEIF --

Bytes read_fixture(const char* name)
{
    std::ifstream in(std::string(ZUMO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class HeifDecode : public testing::TestWithParam<HeifSpec>
{
};

TEST_P(HeifDecode, ShowsThePictureAsStoredAndTurnedOnce)
{
    const HeifSpec& spec = GetParam();
    if (!spec.fixture && !have_encoder(spec.codec))
        GTEST_SKIP() << "libheif here has no encoder and decoder for this codec";
    const Bytes file = spec.fixture ? read_fixture(spec.fixture) : encode_heif(spec);
    ASSERT_EQ(decoders::sniff(file), decoders::Format::Heif);

    const decoders::Header header = decoders::read_header(file);
    const Decoded d = decoders::decode(file);
    const int orientation = static_cast<int>(spec.orientation);
    EXPECT_EQ(header.width, d.width);
    EXPECT_EQ(header.height, d.height);
    EXPECT_EQ(header.alpha, spec.alpha);
    EXPECT_EQ(d.orientation, 1); // libheif turned it; nothing is left to apply
    EXPECT_EQ(d.bits, spec.bits > 8 ? 16 : 8);
    EXPECT_EQ(d.channels, spec.alpha ? 4 : 3);
    expect_quadrants(d, orientation, 24);
    if (spec.bits > 8) { // scaled to the full 16-bit range, not left at 0..1023
        EXPECT_GT(d.pixels16[2], 60000);
    }
    if (spec.alpha)
        expect_alpha(d, orientation, 8);
    if (spec.exif) {
        // Handed on as a TIFF structure, its orientation marked upright:
        // whoever reads the block next must not turn the picture again.
        ASSERT_GE(d.exif.size(), 8u);
        EXPECT_EQ(std::memcmp(d.exif.data(), "II*\0", 4), 0);
        EXPECT_EQ(imgctl::exif_orientation(d.exif), 1);
        EXPECT_EQ(d.exif.size(), exif_turned().size());
    } else {
        EXPECT_TRUE(d.exif.empty());
    }
    EXPECT_EQ(d.xmp, spec.xmp ? k_xmp : "");
    if (spec.icc) {
        EXPECT_EQ(d.icc, fake_icc());
    }
    if (spec.nclx) {
        EXPECT_TRUE(d.icc.empty());
        ASSERT_TRUE(d.nclx.has_value());
        EXPECT_EQ(d.nclx->primaries, 9);
        EXPECT_EQ(d.nclx->transfer, 16);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, HeifDecode,
    testing::Values(
        HeifSpec{"avif8", heif_compression_AV1}, HeifSpec{"heic8", heif_compression_HEVC},
        HeifSpec{"avif10", heif_compression_AV1, 10, false, heif_orientation_normal, false, false,
                 false, false, "quadrants_10bit.avif"},
        HeifSpec{"heic10", heif_compression_HEVC, 10},
        HeifSpec{"avif_alpha", heif_compression_AV1, 8, true},
        HeifSpec{"avif10_alpha", heif_compression_AV1, 10, true, heif_orientation_normal, false,
                 false, false, false, "quadrants_10bit_alpha.avif"},
        HeifSpec{"mirrored", heif_compression_AV1, 8, false, heif_orientation_flip_horizontally},
        HeifSpec{"half_turn", heif_compression_HEVC, 8, false, heif_orientation_rotate_180},
        // irot and an EXIF orientation 6 together: turned once.
        HeifSpec{"turned_with_exif", heif_compression_AV1, 8, true, heif_orientation_rotate_90_cw,
                 true, true},
        HeifSpec{"icc", heif_compression_AV1, 8, false, heif_orientation_normal, false, false,
                 true},
        HeifSpec{"nclx", heif_compression_HEVC, 10, false, heif_orientation_normal, false, false,
                 false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Replaces the width and height of every 'ispe' box (the primary image's
// and its alpha plane's).
Bytes with_ispe(Bytes file, std::uint32_t width, std::uint32_t height)
{
    const char tag[] = "ispe";
    int found = 0;
    for (auto at = file.begin(); (at = std::search(at, file.end(), tag, tag + 4)) != file.end();
         ++found) {
        std::size_t i = std::size_t(at - file.begin()) + 8; // past the version and flags
        for (std::uint32_t value : {width, height})
            for (int shift = 24; shift >= 0; shift -= 8)
                file.at(i++) = static_cast<std::uint8_t>(value >> shift);
        at += 4;
    }
    EXPECT_GT(found, 0);
    return file;
}

struct Damaged
{
    const char* name;
    Bytes file;
    std::optional<Fault> fault; // nullopt: any fault
};

enum class HeaderRead { Always, WhenFaultNamed };

// The decoder, and the header reader where `header` says, fail with a
// DecodeError whose message starts with `prefix` and with the case's fault,
// within five seconds for both.
void expect_fails_cleanly(const Damaged& c, const std::string& prefix, HeaderRead header)
{
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    for (const bool header_only : {false, true}) {
        if (header_only && header == HeaderRead::WhenFaultNamed && !c.fault)
            continue;
        try {
            if (header_only)
                decoders::read_header(c.file);
            else
                decoders::decode(c.file);
            ADD_FAILURE() << "decoded a damaged file";
        } catch (const DecodeError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
            if (c.fault) {
                EXPECT_EQ(e.fault(), *c.fault) << e.what();
            }
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Damaged files fail with DecodeError, quickly and naming the right fault.
TEST(HeifDamaged, FailsCleanly)
{
    if (!have_encoder(heif_compression_AV1))
        GTEST_SKIP() << "no AV1 encoder in libheif here";
    const Bytes good = encode_heif({"base", heif_compression_AV1, 8, true});
    const Damaged cases[] = {
        {"ftyp only", cut(good, 32), std::nullopt},
        {"cut in meta", cut(good, good.size() / 3), std::nullopt},
        {"cut in media data", cut(good, good.size() - 20), std::nullopt},
        // Each side within the limits, the area not: refused before decoding,
        // not after libde265 or dav1d allocated 3.6 gigapixels.
        {"ispe beyond the pixel limit", with_ispe(good, 60000, 60000), Fault::TooLarge},
        {"ispe beyond the side limit", with_ispe(good, 70000, 16), Fault::TooLarge},
        {"ispe zero", with_ispe(good, 0, 16), std::nullopt},
    };
    for (const Damaged& c : cases)
        expect_fails_cleanly(c, "HEIF: ", HeaderRead::Always);
}

// ------------------------------------------------------------- JPEG XL --

class JxlDecode : public testing::TestWithParam<JxlSpec>
{
};

TEST_P(JxlDecode, ShowsThePictureTurnedOnce)
{
    const JxlSpec& spec = GetParam();
    const Bytes file = encode_jxl(spec);
    ASSERT_EQ(decoders::sniff(file), decoders::Format::Jxl);
    const decoders::Header header = decoders::read_header(file);
    const Decoded d = decoders::decode(file);
    EXPECT_EQ(header.width, d.width);
    EXPECT_EQ(header.height, d.height);
    EXPECT_EQ(header.alpha, spec.alpha);
    EXPECT_EQ(d.orientation, 1);
    EXPECT_EQ(d.bits, spec.bits > 8 ? 16 : 8);
    EXPECT_EQ(d.channels, (spec.grey ? 1 : 3) + (spec.alpha ? 1 : 0));
    if (spec.grey) {
        EXPECT_EQ(sample(d, 1, 1, 0), 255);
        EXPECT_EQ(sample(d, d.width - 1, 1, 0), 0);
    } else {
        expect_quadrants(d, spec.orientation, spec.lossless ? 0 : 24);
    }
    if (spec.bits > 8 && spec.lossless) { // full range, exactly as stored
        EXPECT_EQ(d.pixels16[2], 65535);
    }
    if (spec.alpha)
        expect_alpha(d, spec.orientation, spec.lossless ? 0 : 8);
    if (spec.exif) {
        ASSERT_EQ(d.exif.size(), exif_turned().size());
        EXPECT_EQ(std::memcmp(d.exif.data(), "II*\0", 4), 0);
        EXPECT_EQ(imgctl::exif_orientation(d.exif), 1);
    } else {
        EXPECT_TRUE(d.exif.empty());
    }
    EXPECT_EQ(d.xmp, spec.xmp ? k_xmp : "");
    EXPECT_FALSE(d.icc.empty()); // every JPEG XL file describes its colours
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, JxlDecode,
    testing::Values(JxlSpec{"bare8"}, JxlSpec{"bare16", 16}, JxlSpec{"alpha8", 8, true},
                    JxlSpec{"alpha16_container", 16, true, 1, true},
                    JxlSpec{"grey", 8, false, 1, false, true, false, false, false, true},
                    JxlSpec{"mirrored", 8, false, 2}, JxlSpec{"half_turn", 8, false, 3},
                    JxlSpec{"quarter_turn_back", 8, true, 8},
                    // Code stream orientation 6 and EXIF orientation 6: turned once.
                    JxlSpec{"turned_with_exif", 8, false, 6, true, true, true, true},
                    JxlSpec{"brotli_boxes", 8, false, 6, true, true, true, true, true},
                    JxlSpec{"xyb_lossy", 8, false, 1, false, false},
                    // (Opaque: lossy coding drops the colour under alpha 0.)
                    JxlSpec{"xyb_lossy_turned", 16, false, 6, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The ICC profile a file carries is handed on as stored; a file coded in
// XYB hands on the profile of the pixels it was rendered into, which keeps
// the original's primaries rather than falling back to (linear) sRGB.
TEST(JxlColour, HandsOnTheProfileOfThePixels)
{
    JxlSpec p3{"p3"};
    p3.primaries = JXL_PRIMARIES_P3;
    const Bytes p3_profile = decoders::decode(encode_jxl(p3)).icc;
    const Bytes srgb_profile = decoders::decode(encode_jxl(JxlSpec{"srgb"})).icc;
    ASSERT_FALSE(p3_profile.empty());
    ASSERT_NE(p3_profile, srgb_profile);

    JxlSpec embedded{"embedded"};
    embedded.icc = p3_profile;
    EXPECT_EQ(decoders::decode(encode_jxl(embedded)).icc, p3_profile);

    JxlSpec xyb{"xyb", 8, false, 1, false, false};
    xyb.primaries = JXL_PRIMARIES_P3;
    const Decoded rendered = decoders::decode(encode_jxl(xyb));
    EXPECT_EQ(rendered.icc, p3_profile);
    expect_quadrants(rendered, 1, 40);

    // XYB from linear light: rendered with the sRGB curve instead (8 or 16
    // bits of linear light band in the shadows), and that profile handed on.
    JxlSpec xyb_linear{"xyb_linear", 8, false, 1, false, false};
    xyb_linear.linear = true;
    EXPECT_EQ(decoders::decode(encode_jxl(xyb_linear)).icc, srgb_profile);
}

TEST(JxlDamaged, FailsCleanly)
{
    const Bytes bare = encode_jxl(JxlSpec{"bare", 8, true});
    const Bytes boxed = encode_jxl(JxlSpec{"boxed", 8, true, 6, true, true, true, true, true});
    const Damaged cases[] = {
        {"signature only", cut(bare, 2), std::nullopt},
        {"cut in the code stream", cut(bare, bare.size() / 2), std::nullopt},
        {"last byte missing", cut(bare, bare.size() - 1), std::nullopt},
        {"container cut in a box", cut(boxed, 40), std::nullopt},
        {"container cut in the code stream", cut(boxed, boxed.size() - 10), std::nullopt},
        {"size beyond the pixel limit", jxl_claiming(60000, 60000), Fault::TooLarge},
        {"side beyond the limit", jxl_claiming(70000, 8), Fault::TooLarge},
    };
    // A cut picture may well have a whole header.
    for (const Damaged& c : cases)
        expect_fails_cleanly(c, "JPEG XL: ", HeaderRead::WhenFaultNamed);
}

} // namespace
