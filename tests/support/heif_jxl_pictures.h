// Small HEIF/AVIF and JPEG XL pictures encoded with libheif's and libjxl's
// own encoders, for the decoder and plug-in tests: four coloured quadrants,
// so that the order of samples, the depth and every rotation and mirror show
// in four pixels. Failures of the encoders are test failures.
#pragma once

#include <gtest/gtest.h>
#include <jxl/encode.h>
#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline constexpr int k_width = 32;
inline constexpr int k_height = 16;

// R G B per quadrant of the stored picture: top left, top right, bottom
// left, bottom right. The right half is transparent where alpha is kept.
enum Quadrant { Red, Green, Blue, White };
inline constexpr std::array<std::array<int, 3>, 4> k_rgb{
    {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};

inline Quadrant stored_quadrant(int x, int y)
{
    return static_cast<Quadrant>((y >= k_height / 2 ? 2 : 0) + (x >= k_width / 2 ? 1 : 0));
}

// The stored quadrants as they must appear after the orientation, in the
// order top left, top right, bottom left, bottom right of what is shown.
inline std::array<Quadrant, 4> shown_quadrants(int orientation)
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
inline Bytes exif_turned()
{
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3,
            0,   1,   0,  0, 0, 6, 0, 0, 0, 0, 0,    0,    0};
}

inline const std::string k_xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                                 "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>"
                                 "</x:xmpmeta>";

inline Bytes cut(const Bytes& file, std::size_t size)
{
    return Bytes(file.begin(), file.begin() + std::min(size, file.size()));
}

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
    // The code points stored with `nclx`.
    heif_color_primaries primaries = heif_color_primaries_ITU_R_BT_2020_2_and_2100_0;
    heif_transfer_characteristics transfer = heif_transfer_characteristic_ITU_R_BT_2100_0_PQ;
};

struct HeifContextFree
{
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifImageRelease
{
    void operator()(heif_image* i) const { heif_image_release(i); }
};

inline heif_error write_to_vector(heif_context*, const void* data, size_t size, void* userdata)
{
    auto* out = static_cast<Bytes*>(userdata);
    out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                static_cast<const std::uint8_t*>(data) + size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// A fake but well-formed enough profile: libheif stores it as given.
inline Bytes fake_icc()
{
    Bytes icc(132, 0);
    icc[3] = 132;
    std::memcpy(icc.data() + 36, "acsp", 4);
    std::memcpy(icc.data() + 100, "zumo-test-profile", 17);
    return icc;
}

inline Bytes encode_heif(const HeifSpec& spec)
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
        nclx->color_primaries = spec.primaries;
        nclx->transfer_characteristics = spec.transfer;
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

inline bool have_encoder(heif_compression_format codec)
{
    heif_init(nullptr);
    return heif_have_encoder_for_format(codec) && heif_have_decoder_for_format(codec);
}

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
    bool linear = false; // linear light instead of the sRGB curve
    Bytes icc{};         // embedded instead of the colour encoding when not empty
};

struct JxlEncoderDestroyer
{
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};

inline Bytes encode_jxl(const JxlSpec& spec)
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
        if (spec.linear)
            colour.transfer_function = JXL_TRANSFER_FUNCTION_LINEAR;
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
        if (spec.xmp) {
            EXPECT_EQ(JxlEncoderAddBox(enc, "xml ",
                                       reinterpret_cast<const std::uint8_t*>(k_xmp.data()),
                                       k_xmp.size(), spec.compress_boxes),
                      JXL_ENC_SUCCESS);
        }
        JxlEncoderCloseBoxes(enc);
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (spec.lossless) {
        EXPECT_EQ(JxlEncoderSetFrameLossless(settings, JXL_TRUE), JXL_ENC_SUCCESS);
    }
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

// A bare code stream whose size header claims width x height (both at most
// 2^18), followed by default image metadata, bit by bit as the format packs
// them (least significant first).
inline Bytes jxl_claiming(std::uint32_t width, std::uint32_t height)
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

} // namespace testsupport
