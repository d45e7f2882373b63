// The HEIF/AVIF and JPEG XL decoders, on pictures encoded here with libheif's
// and libjxl's own encoders: four coloured quadrants, so that the order of
// samples, the depth and every rotation and mirror show in four pixels.
#include "imagelib/decoders/decoders.h"
#include "imagelib/exif_orientation.h"

#include <gtest/gtest.h>
#include <jxl/encode.h>
#include <libheif/heif.h>

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

using Bytes = std::vector<std::uint8_t>;
using decoders::Decoded;
using decoders::DecodeError;
using decoders::Fault;

constexpr int k_width = 32;
constexpr int k_height = 16;

// R G B per quadrant of the stored picture: top left, top right, bottom
// left, bottom right. The right half is transparent where alpha is kept.
enum Quadrant { Red, Green, Blue, White };
constexpr std::array<std::array<int, 3>, 4> k_rgb{
    {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};

Quadrant stored_quadrant(int x, int y)
{
    return static_cast<Quadrant>((y >= k_height / 2 ? 2 : 0) + (x >= k_width / 2 ? 1 : 0));
}

// The stored quadrants as they must appear after the orientation, in the
// order top left, top right, bottom left, bottom right of what is shown.
std::array<Quadrant, 4> shown_quadrants(int orientation)
{
    switch (orientation) {
    case 2: // mirrored left to right
        return {Green, Red, White, Blue};
    case 3: // half turn
        return {White, Blue, Green, Red};
    case 6: // quarter turn clockwise
        return {Blue, Red, White, Green};
    case 8: // quarter turn anticlockwise
        return {Green, White, Red, Blue};
    default:
        return {Red, Green, Blue, White};
    }
}

// An EXIF block (a TIFF structure) that says orientation 6.
Bytes exif_turned()
{
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3,
            0,   1,   0,  0, 0, 6, 0, 0, 0, 0, 0,    0,    0};
}

const std::string k_xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                          "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>"
                          "</x:xmpmeta>";

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

Bytes cut(const Bytes& file, std::size_t size)
{
    return Bytes(file.begin(), file.begin() + std::min(size, file.size()));
}

// ---------------------------------------------------------------- HEIF --

struct HeifSpec
{
    const char* name;
    heif_compression_format codec;
    int bits = 8;
    bool alpha = false;
    heif_orientation orientation = heif_orientation_normal;
    bool exif = false;
    bool xmp = false;
    bool icc = false;
    bool nclx = false;
    // A file in tests/imagelib/data instead: Debian's libheif cannot encode
    // AV1 deeper than 8 bits (aom aborts), so those were made once by avifenc.
    const char* fixture = nullptr;
};

struct HeifContextFree
{
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifImageRelease
{
    void operator()(heif_image* i) const { heif_image_release(i); }
};

heif_error write_to_vector(heif_context*, const void* data, size_t size, void* userdata)
{
    auto* out = static_cast<Bytes*>(userdata);
    out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                static_cast<const std::uint8_t*>(data) + size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// A fake but well-formed enough profile: libheif stores it as given.
Bytes fake_icc()
{
    Bytes icc(132, 0);
    icc[3] = 132;
    std::memcpy(icc.data() + 36, "acsp", 4);
    std::memcpy(icc.data() + 100, "zumo-test-profile", 17);
    return icc;
}

Bytes encode_heif(const HeifSpec& spec)
{
    heif_init(nullptr);
    const bool deep = spec.bits > 8;
    const heif_chroma chroma =
        deep
            ? (spec.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
            : (spec.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* raw = nullptr;
    EXPECT_EQ(heif_image_create(k_width, k_height, heif_colorspace_RGB, chroma, &raw).code,
              heif_error_Ok);
    std::unique_ptr<heif_image, HeifImageRelease> image(raw);
    EXPECT_EQ(
        heif_image_add_plane(image.get(), heif_channel_interleaved, k_width, k_height, spec.bits)
            .code,
        heif_error_Ok);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const int channels = spec.alpha ? 4 : 3;
    const int max = (1 << spec.bits) - 1;
    for (int y = 0; y < k_height; ++y)
        for (int x = 0; x < k_width; ++x) {
            const auto& rgb = k_rgb[stored_quadrant(x, y)];
            int values[4] = {rgb[0] * max / 255, rgb[1] * max / 255, rgb[2] * max / 255,
                             x < k_width / 2 ? max : 0};
            for (int c = 0; c < channels; ++c) {
                if (deep) {
                    std::uint8_t* p = plane + y * stride + (x * channels + c) * 2;
                    p[0] = values[c] & 0xFF;
                    p[1] = values[c] >> 8;
                } else {
                    plane[y * stride + x * channels + c] = static_cast<std::uint8_t>(values[c]);
                }
            }
        }
    const Bytes icc = fake_icc();
    if (spec.icc)
        heif_image_set_raw_color_profile(image.get(), "prof", icc.data(), icc.size());
    if (spec.nclx) {
        heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
        nclx->color_primaries = heif_color_primaries_ITU_R_BT_2020_2_and_2100_0;
        nclx->transfer_characteristics = heif_transfer_characteristic_ITU_R_BT_2100_0_PQ;
        heif_image_set_nclx_color_profile(image.get(), nclx);
        heif_nclx_color_profile_free(nclx);
    }

    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    heif_encoder* encoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context.get(), spec.codec, &encoder).code,
              heif_error_Ok);
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = spec.orientation;
    if (spec.nclx) // in a 'colr' box, not only in the coded stream
        options->macOS_compatibility_workaround_no_nclx_profile = 0;
    heif_image_handle* handle = nullptr;
    const heif_error encoded =
        heif_context_encode_image(context.get(), image.get(), encoder, options, &handle);
    EXPECT_EQ(encoded.code, heif_error_Ok) << encoded.message;
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    const Bytes exif = exif_turned();
    if (spec.exif)
        heif_context_add_exif_metadata(context.get(), handle, exif.data(), int(exif.size()));
    if (spec.xmp)
        heif_context_add_XMP_metadata(context.get(), handle, k_xmp.data(), int(k_xmp.size()));
    heif_image_handle_release(handle);
    Bytes file;
    heif_writer writer{1, write_to_vector};
    EXPECT_EQ(heif_context_write(context.get(), &writer, &file).code, heif_error_Ok);
    return file;
}

Bytes read_fixture(const char* name)
{
    std::ifstream in(std::string(ZUMO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool have_encoder(heif_compression_format codec)
{
    heif_init(nullptr);
    return heif_have_encoder_for_format(codec) && heif_have_decoder_for_format(codec);
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
    if (spec.bits > 8) // scaled to the full 16-bit range, not left at 0..1023
        EXPECT_GT(d.pixels16[2], 60000);
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
    if (spec.icc)
        EXPECT_EQ(d.icc, fake_icc());
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

// Damaged files fail with DecodeError, quickly and naming the right fault.
TEST(HeifDamaged, FailsCleanly)
{
    if (!have_encoder(heif_compression_AV1))
        GTEST_SKIP() << "no AV1 encoder in libheif here";
    const Bytes good = encode_heif({"base", heif_compression_AV1, 8, true});
    struct Case
    {
        const char* name;
        Bytes file;
        std::optional<Fault> fault; // nullopt: any fault
    };
    const Case cases[] = {
        {"ftyp only", cut(good, 32), std::nullopt},
        {"cut in meta", cut(good, good.size() / 3), std::nullopt},
        {"cut in media data", cut(good, good.size() - 20), std::nullopt},
        // Each side within the limits, the area not: refused before decoding,
        // not after libde265 or dav1d allocated 3.6 gigapixels.
        {"ispe beyond the pixel limit", with_ispe(good, 60000, 60000), Fault::TooLarge},
        {"ispe beyond the side limit", with_ispe(good, 70000, 16), Fault::TooLarge},
        {"ispe zero", with_ispe(good, 0, 16), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        for (int header_only = 0; header_only < 2; ++header_only) {
            try {
                if (header_only)
                    decoders::read_header(c.file);
                else
                    decoders::decode(c.file);
                ADD_FAILURE() << "decoded a damaged file";
            } catch (const DecodeError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("HEIF: ", 0), 0u) << e.what();
                if (c.fault)
                    EXPECT_EQ(e.fault(), *c.fault) << e.what();
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

// ------------------------------------------------------------- JPEG XL --

struct JxlSpec
{
    const char* name;
    int bits = 8;
    bool alpha = false;
    int orientation = 1;
    bool container = false;
    bool lossless = true;
    bool exif = false;
    bool xmp = false;
    bool compress_boxes = false;
    bool grey = false;
    JxlPrimaries primaries = JXL_PRIMARIES_SRGB;
    Bytes icc; // embedded instead of the colour encoding when not empty
};

struct JxlEncoderDestroyer
{
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};

Bytes encode_jxl(const JxlSpec& spec)
{
    std::unique_ptr<JxlEncoder, JxlEncoderDestroyer> encoder(JxlEncoderCreate(nullptr));
    JxlEncoder* enc = encoder.get();
    const bool boxes = spec.exif || spec.xmp;
    EXPECT_EQ(JxlEncoderUseContainer(enc, spec.container || boxes), JXL_ENC_SUCCESS);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = k_width;
    info.ysize = k_height;
    info.bits_per_sample = spec.bits;
    info.num_color_channels = spec.grey ? 1 : 3;
    info.alpha_bits = spec.alpha ? spec.bits : 0;
    info.num_extra_channels = spec.alpha ? 1 : 0;
    info.orientation = static_cast<JxlOrientation>(spec.orientation);
    info.uses_original_profile = spec.lossless;
    EXPECT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    if (!spec.icc.empty()) {
        EXPECT_EQ(JxlEncoderSetICCProfile(enc, spec.icc.data(), spec.icc.size()), JXL_ENC_SUCCESS);
    } else {
        JxlColorEncoding colour;
        JxlColorEncodingSetToSRGB(&colour, spec.grey);
        colour.primaries = spec.primaries;
        EXPECT_EQ(JxlEncoderSetColorEncoding(enc, &colour), JXL_ENC_SUCCESS);
    }
    if (boxes) {
        EXPECT_EQ(JxlEncoderUseBoxes(enc), JXL_ENC_SUCCESS);
        if (spec.exif) {
            Bytes item = {0, 0, 0, 0};
            const Bytes tiff = exif_turned();
            item.insert(item.end(), tiff.begin(), tiff.end());
            EXPECT_EQ(JxlEncoderAddBox(enc, "Exif", item.data(), item.size(), spec.compress_boxes),
                      JXL_ENC_SUCCESS);
        }
        if (spec.xmp)
            EXPECT_EQ(JxlEncoderAddBox(enc, "xml ",
                                       reinterpret_cast<const std::uint8_t*>(k_xmp.data()),
                                       k_xmp.size(), spec.compress_boxes),
                      JXL_ENC_SUCCESS);
        JxlEncoderCloseBoxes(enc);
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (spec.lossless)
        EXPECT_EQ(JxlEncoderSetFrameLossless(settings, JXL_TRUE), JXL_ENC_SUCCESS);
    const int channels = (spec.grey ? 1 : 3) + (spec.alpha ? 1 : 0);
    const int max = (1 << spec.bits) - 1;
    std::vector<std::uint16_t> samples;
    for (int y = 0; y < k_height; ++y)
        for (int x = 0; x < k_width; ++x) {
            const auto& rgb = k_rgb[stored_quadrant(x, y)];
            if (spec.grey)
                samples.push_back(static_cast<std::uint16_t>(rgb[0] * max / 255));
            else
                for (int c = 0; c < 3; ++c)
                    samples.push_back(static_cast<std::uint16_t>(rgb[c] * max / 255));
            if (spec.alpha)
                samples.push_back(static_cast<std::uint16_t>(x < k_width / 2 ? max : 0));
        }
    JxlPixelFormat format{std::uint32_t(channels), spec.bits > 8 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                          JXL_NATIVE_ENDIAN, 0};
    Bytes bytes8(samples.begin(), samples.end());
    const void* pixels = spec.bits > 8 ? static_cast<const void*>(samples.data()) : bytes8.data();
    const std::size_t size = samples.size() * (spec.bits > 8 ? 2 : 1);
    EXPECT_EQ(JxlEncoderAddImageFrame(settings, &format, pixels, size), JXL_ENC_SUCCESS);
    JxlEncoderCloseInput(enc);
    Bytes file(1024);
    std::uint8_t* next = file.data();
    std::size_t left = file.size();
    JxlEncoderStatus status;
    while ((status = JxlEncoderProcessOutput(enc, &next, &left)) == JXL_ENC_NEED_MORE_OUTPUT) {
        const std::size_t used = std::size_t(next - file.data());
        file.resize(file.size() * 2);
        next = file.data() + used;
        left = file.size() - used;
    }
    EXPECT_EQ(status, JXL_ENC_SUCCESS);
    file.resize(std::size_t(next - file.data()));
    return file;
}

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
    if (spec.bits > 8 && spec.lossless) // full range, exactly as stored
        EXPECT_EQ(d.pixels16[2], 65535);
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
}

// A bare code stream whose size header claims width x height (both at most
// 2^18), followed by default image metadata, bit by bit as the format packs
// them (least significant first).
Bytes jxl_claiming(std::uint32_t width, std::uint32_t height)
{
    Bytes out = {0xFF, 0x0A};
    std::uint64_t bits = 0;
    int count = 0;
    const auto put = [&](std::uint64_t value, int n) {
        bits |= value << count;
        count += n;
    };
    put(0, 1);           // not small
    put(2, 2);           // height - 1 in 18 bits
    put(height - 1, 18); //
    put(0, 3);           // no aspect ratio: width given
    put(2, 2);           // width - 1 in 18 bits
    put(width - 1, 18);  //
    put(1, 1);           // image metadata: all default
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    out.resize(out.size() + 32, 0);
    return out;
}

TEST(JxlDamaged, FailsCleanly)
{
    const Bytes bare = encode_jxl(JxlSpec{"bare", 8, true});
    const Bytes boxed = encode_jxl(JxlSpec{"boxed", 8, true, 6, true, true, true, true, true});
    struct Case
    {
        const char* name;
        Bytes file;
        std::optional<Fault> fault;
    };
    const Case cases[] = {
        {"signature only", cut(bare, 2), std::nullopt},
        {"cut in the code stream", cut(bare, bare.size() / 2), std::nullopt},
        {"last byte missing", cut(bare, bare.size() - 1), std::nullopt},
        {"container cut in a box", cut(boxed, 40), std::nullopt},
        {"container cut in the code stream", cut(boxed, boxed.size() - 10), std::nullopt},
        {"size beyond the pixel limit", jxl_claiming(60000, 60000), Fault::TooLarge},
        {"side beyond the limit", jxl_claiming(70000, 8), Fault::TooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        for (int header_only = 0; header_only < 2; ++header_only) {
            if (header_only && !c.fault)
                continue; // a cut picture may well have a whole header
            try {
                if (header_only)
                    decoders::read_header(c.file);
                else
                    decoders::decode(c.file);
                ADD_FAILURE() << "decoded a damaged file";
            } catch (const DecodeError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("JPEG XL: ", 0), 0u) << e.what();
                if (c.fault)
                    EXPECT_EQ(e.fault(), *c.fault) << e.what();
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

} // namespace
