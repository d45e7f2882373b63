// The preview plug-ins show pictures in sRGB: for a picture whose colours an
// ICC profile or code points describe, the plug-in's picture is the very
// picture a conversion of the file to BMP loads and writes.
#include "graphics/picture.h"
#include "imagelib/decoders/decoders.h"
#include "imagelib/imgctl.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "tests/plugins/shipped_plugins.h"
#include "tests/support/heif_jxl_pictures.h"
#include "tests/support/temp_dir.h"

#include <lcms2.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace zumo {
namespace {

using testsupport::Bytes;

Bytes saved(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes icc(size);
    cmsSaveProfileToMem(profile, icc.data(), &size);
    cmsCloseProfile(profile);
    return icc;
}

// Adobe RGB (1998): D65, gamma 563/256.
Bytes adobe_rgb()
{
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 563.0 / 256);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const cmsCIExyY white{0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    Bytes icc = saved(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return icc;
}

Bytes linear_grey()
{
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.0);
    Bytes icc = saved(cmsCreateGrayProfile(cmsD50_xyY(), curve));
    cmsFreeToneCurve(curve);
    return icc;
}

constexpr int k_width = 37, k_height = 11;

// Saturated ramps and dark corners, where a wide gamut differs most from sRGB.
int level(int x, int y, int channel, int max)
{
    return (x * (channel + 2) * max / k_width + y * (3 - channel) * max / k_height) % (max + 1);
}

// 16 bits per sample, RGBA or grey and alpha, with `icc` as its profile.
Bytes tiff(int samples, const Bytes& icc)
{
    testsupport::TempFolder dir;
    const std::string file = dir / "p.tif";
    TIFF* out = TIFFOpen(file.c_str(), "w");
    EXPECT_NE(out, nullptr);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, k_width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, k_height);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, samples < 3 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(out, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
    const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
    std::vector<std::uint16_t> row(static_cast<std::size_t>(k_width) * samples);
    for (int y = 0; y < k_height; ++y) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] =
                static_cast<std::uint16_t>(level(int(i) / samples, y, int(i) % samples, 65535));
        EXPECT_EQ(TIFFWriteScanline(out, row.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(out);
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Lossless, with an ICCP chunk.
Bytes webp(const Bytes& icc)
{
    std::vector<std::uint8_t> bgra;
    for (int y = 0; y < k_height; ++y)
        for (int x = 0; x < k_width; ++x)
            for (int c = 0; c < 4; ++c)
                bgra.push_back(static_cast<std::uint8_t>(c == 3 ? 255 : level(x, y, c, 255)));
    std::uint8_t* encoded = nullptr;
    const std::size_t size =
        WebPEncodeLosslessBGRA(bgra.data(), k_width, k_height, k_width * 4, &encoded);
    EXPECT_GT(size, 0u);
    WebPMux* mux = WebPMuxNew();
    const WebPData image{encoded, size};
    WebPMuxSetImage(mux, &image, 1);
    const WebPData profile{icc.data(), icc.size()};
    WebPMuxSetChunk(mux, "ICCP", &profile, 1);
    WebPData assembled;
    WebPDataInit(&assembled);
    EXPECT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    WebPFree(encoded);
    Bytes file(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return file;
}

struct ColourCase
{
    const char* name;
    const char* extension;
    std::function<Bytes()> make;
    bool needs_hevc = false;
};

void PrintTo(const ColourCase& c, std::ostream* out)
{
    *out << c.name;
}

class PreviewInSrgb : public ShippedPluginsBase, public ::testing::WithParamInterface<ColourCase>
{
};

// The picture the conversion loads to write a BMP: converted to sRGB.
TPixelImage converted(const std::string& file)
{
    const imgctl::HDIB dib =
        imgctl::ToDIBex(file.c_str(), {imgctl::Orientation::Apply, imgctl::MetadataUse::Keep,
                                       imgctl::Colour::ToSrgb});
    EXPECT_NE(dib, 0u) << file;
    if (dib == 0)
        return {};
    const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
    TPixelImage image{info.width, info.height, imgctl::GetDIBPixels(dib), info.has_alpha};
    imgctl::DeleteDIB(dib);
    return image;
}

// How many colour samples differ from the stored ones rounded to 8 bits.
std::size_t changed_samples(const TPixelImage& shown, const decoders::Decoded& stored)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < shown.bgra.size() / 4; ++i)
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t at = i * stored.channels + (stored.channels <= 2 ? 0 : c);
            const int level =
                stored.bits == 16 ? (stored.pixels16[at] + 128) / 257 : stored.pixels8[at];
            count += shown.bgra[i * 4 + c] != level ? 1 : 0;
        }
    return count;
}

TEST_P(PreviewInSrgb, ShowsWhatTheConversionToSrgbLoads)
{
    const ColourCase& c = GetParam();
    if (c.needs_hevc && !testsupport::have_encoder(heif_compression_HEVC))
        GTEST_SKIP() << "libheif here cannot encode HEVC";
    const Bytes bytes = c.make();
    const std::string source = m_dir / (std::string("p.") + c.extension);
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));

    const TPixelImage expected = converted(source);
    TSPIGraphic graphic;
    graphic.LoadFromFile(source);
    const TPixelImage shown = graphic.ToPixels();
    ASSERT_EQ(shown.width, expected.width);
    ASSERT_EQ(shown.height, expected.height);
    EXPECT_EQ(shown.has_alpha, expected.has_alpha);
    EXPECT_EQ(shown.bgra, expected.bgra);
    // The description matters here: what is shown is not what is stored.
    EXPECT_GT(changed_samples(shown, decoders::decode(bytes)), shown.bgra.size() / 8);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, PreviewInSrgb,
    ::testing::Values(
        ColourCase{"tiff_adobe_rgb_16bit_alpha", "tif", [] { return tiff(4, adobe_rgb()); }},
        ColourCase{"tiff_linear_grey_16bit_alpha", "tif", [] { return tiff(2, linear_grey()); }},
        ColourCase{"webp_adobe_rgb", "webp", [] { return webp(adobe_rgb()); }},
        ColourCase{"heic_display_p3_code_points", "heic",
                   [] {
                       testsupport::HeifSpec spec{"", heif_compression_HEVC};
                       spec.nclx = true;
                       spec.primaries = heif_color_primaries_SMPTE_EG_432_1;
                       spec.transfer = heif_transfer_characteristic_IEC_61966_2_1;
                       return testsupport::encode_heif(spec);
                   },
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zumo
