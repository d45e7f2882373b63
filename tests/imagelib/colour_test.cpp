// Colour management: conversion to sRGB checked against LittleCMS run at
// double precision without optimisation, on profiles built here from the
// primaries the standards give; and the loader's choice between keeping
// the pixels with their profile and converting them.
#include "imagelib/colour.h"

#include "imagelib/atomic_file.h"
#include "imagelib/imgctl.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/png_codec.h"
#include "support.h"
#include "tests/support/cmyk_jpeg.h"
#include "tests/support/raw_png.h"

#include <lcms2.h>
#include <tiffio.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>

#include <opencv2/imgproc.hpp>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;
using Icc = std::vector<std::uint8_t>;

struct ProfileCloser
{
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;
struct TransformCloser
{
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformCloser>;

Icc saved(const Profile& profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile.get(), nullptr, &size);
    Icc icc(size);
    cmsSaveProfileToMem(profile.get(), icc.data(), &size);
    return icc;
}

Icc rgb_icc(cmsCIExyY white, cmsCIExyYTRIPLE primaries, double gamma)
{
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return saved(profile);
}

// Adobe RGB (1998): D65, gamma 563/256.
Icc adobe_rgb()
{
    return rgb_icc({0.3127, 0.3290, 1}, {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}},
                   563.0 / 256);
}

// ProPhoto (ROMM) RGB: D50, gamma 1.8.
Icc prophoto()
{
    return rgb_icc({0.3457, 0.3585, 1},
                   {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}}, 1.8);
}

// Adobe RGB as a table profile: the conversion to CIELAB sampled into a
// 17-point grid (A2B0), as printer and camera profiles are made, rather
// than curves and a matrix.
Icc adobe_rgb_table()
{
    const Icc matrix_icc = adobe_rgb();
    const Profile adobe(cmsOpenProfileFromMem(matrix_icc.data(), matrix_icc.size()));
    // Version 2 (lut16Type), which holds a lone grid; its CIELAB has the
    // version 2 encoding.
    const Profile lab(cmsCreateLab2Profile(nullptr));
    const Transform to_lab(cmsCreateTransform(adobe.get(), TYPE_RGB_16, lab.get(), TYPE_LabV2_16,
                                              INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE));
    const Profile table(cmsCreateProfilePlaceholder(nullptr));
    cmsSetProfileVersion(table.get(), 2.1);
    cmsSetDeviceClass(table.get(), cmsSigDisplayClass);
    cmsSetColorSpace(table.get(), cmsSigRgbData);
    cmsSetPCS(table.get(), cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 3, 3);
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 17, 3, 3, nullptr);
    cmsStageSampleCLut16bit(
        grid,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> cmsInt32Number {
            cmsDoTransform(transform, in, out, 1);
            return 1;
        },
        to_lab.get(), 0);
    cmsPipelineInsertStage(pipeline, cmsAT_BEGIN, grid);
    cmsWriteTag(table.get(), cmsSigAToB0Tag, pipeline);
    cmsWriteTag(table.get(), cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(pipeline);
    return saved(table);
}

Icc srgb_icc()
{
    return saved(Profile(cmsCreate_sRGBProfile()));
}

Icc grey_icc(double gamma)
{
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    const Profile profile(cmsCreateGrayProfile(cmsD50_xyY(), curve));
    cmsFreeToneCurve(curve);
    return saved(profile);
}

// The conversion done slowly and exactly: each source sample (0..1) to
// sRGB in doubles, clipped, and both that and a converted 8-bit pixel to
// CIELAB for the colour difference.
class Reference
{
public:
    explicit Reference(const Icc& icc)
    {
        const Profile source(cmsOpenProfileFromMem(icc.data(), icc.size()));
        m_grey = cmsGetColorSpace(source.get()) == cmsSigGrayData;
        const Profile srgb(cmsCreate_sRGBProfile());
        const Profile lab(cmsCreateLab4Profile(nullptr));
        m_to_srgb.reset(cmsCreateTransform(source.get(), m_grey ? TYPE_GRAY_DBL : TYPE_RGB_DBL,
                                           srgb.get(), TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC,
                                           cmsFLAGS_NOOPTIMIZE | cmsFLAGS_BLACKPOINTCOMPENSATION));
        m_to_lab.reset(cmsCreateTransform(srgb.get(), TYPE_RGB_DBL, lab.get(), TYPE_Lab_DBL,
                                          INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE));
    }

    // source: 8 or 16-bit BGR(A) or grey; converted: 8-bit BGR(A) or grey.
    double mean_de76(const cv::Mat& source, const cv::Mat& converted) const
    {
        const double scale = source.depth() == CV_16U ? 65535.0 : 255.0;
        cv::Mat in;
        source.convertTo(in, CV_64F, 1 / scale);
        cv::Mat out;
        converted.convertTo(out, CV_64F, 1 / 255.0);
        double sum = 0;
        for (int y = 0; y < in.rows; ++y) {
            for (int x = 0; x < in.cols; ++x) {
                const std::array<double, 3> expected = clipped_srgb(rgb_at(in, y, x));
                sum += distance(lab(expected), lab(rgb_at(out, y, x)));
            }
        }
        return sum / static_cast<double>(in.total());
    }

    // The reference in 8 bits, for comparing levels.
    cv::Mat srgb8(const cv::Mat& source) const
    {
        const double scale = source.depth() == CV_16U ? 65535.0 : 255.0;
        cv::Mat in;
        source.convertTo(in, CV_64F, 1 / scale);
        cv::Mat out(in.rows, in.cols, CV_8UC3);
        for (int y = 0; y < in.rows; ++y) {
            for (int x = 0; x < in.cols; ++x) {
                const std::array<double, 3> rgb = clipped_srgb(rgb_at(in, y, x));
                for (int c = 0; c < 3; ++c)
                    out.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<std::uint8_t>(rgb[2 - c] * 255);
            }
        }
        return out;
    }

private:
    // RGB order; grey counts as its first channel repeated.
    static std::array<double, 3> rgb_at(const cv::Mat& m, int y, int x)
    {
        const double* p = m.ptr<double>(y) + static_cast<std::ptrdiff_t>(x) * m.channels();
        if (m.channels() < 3)
            return {p[0], p[0], p[0]};
        return {p[2], p[1], p[0]};
    }
    std::array<double, 3> clipped_srgb(std::array<double, 3> rgb) const
    {
        std::array<double, 3> out{};
        cmsDoTransform(m_to_srgb.get(), rgb.data(), out.data(), 1);
        for (double& v : out)
            v = std::clamp(v, 0.0, 1.0);
        return out;
    }
    std::array<double, 3> lab(std::array<double, 3> rgb) const
    {
        cmsCIELab lab{};
        cmsDoTransform(m_to_lab.get(), rgb.data(), &lab, 1);
        return {lab.L, lab.a, lab.b};
    }
    static double distance(std::array<double, 3> a, std::array<double, 3> b)
    {
        return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
    }

    bool m_grey = false;
    Transform m_to_srgb;
    Transform m_to_lab;
};

// Saturated and dark colours too, where wide gamuts differ most from sRGB.
cv::Mat vivid_photo(int width, int height, int depth = CV_8U)
{
    cv::Mat bgr = imgtest::photo(width, height, 7);
    cv::Mat hsv;
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    planes[1] = planes[1] * 2.5;
    cv::merge(planes, hsv);
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    if (depth == CV_8U)
        return bgr;
    // 16 bits with the detail 8 bits lose: a smooth ramp under the picture.
    cv::Mat deep;
    bgr.convertTo(deep, CV_16U, 257);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                deep.at<cv::Vec3w>(y, x)[c] = cv::saturate_cast<std::uint16_t>(
                    deep.at<cv::Vec3w>(y, x)[c] + (x * 7 + y * 13 + c * 50) % 257 - 128);
    return deep;
}

cv::Mat with_alpha(const cv::Mat& bgr)
{
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    for (int y = 0; y < bgra.rows; ++y)
        for (int x = 0; x < bgra.cols; ++x) {
            const int alpha = (x * 37 + y * 11) % 256;
            if (bgra.depth() == CV_8U)
                bgra.at<cv::Vec4b>(y, x)[3] = static_cast<std::uint8_t>(alpha);
            else
                bgra.at<cv::Vec4w>(y, x)[3] = static_cast<std::uint16_t>(alpha * 257 + 100);
        }
    return bgra;
}

cv::Mat colour_planes(const cv::Mat& m)
{
    if (m.channels() != 4)
        return m;
    cv::Mat bgr;
    cv::cvtColor(m, bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

cv::Mat alpha_plane(const cv::Mat& m)
{
    cv::Mat alpha;
    cv::extractChannel(m, alpha, 3);
    return alpha;
}

struct WideCase
{
    const char* name;
    Icc (*icc)();
    int depth;
    int channels;
};

class ToSrgb : public testing::TestWithParam<WideCase>
{
};

TEST_P(ToSrgb, MatchesTheExactConversionAndKeepsAlpha)
{
    const WideCase c = GetParam();
    const Icc icc = c.icc();
    ASSERT_NE(profile_space(icc), ProfileSpace::None);
    cv::Mat source = vivid_photo(96, 64, c.depth);
    if (c.channels == 4)
        source = with_alpha(source);
    const cv::Mat out = to_srgb8(source, icc);
    ASSERT_EQ(out.type(), CV_MAKETYPE(CV_8U, c.channels));
    const Reference reference(icc);
    EXPECT_LE(reference.mean_de76(colour_planes(source), colour_planes(out)), 0.5);
    // The pixels as they were are far off: the check can tell.
    cv::Mat unconverted;
    colour_planes(source).convertTo(unconverted, CV_8U, c.depth == CV_16U ? 1 / 257.0 : 1);
    EXPECT_GE(reference.mean_de76(colour_planes(source), unconverted), 2.0);
    if (c.channels == 4) {
        cv::Mat expected_alpha;
        alpha_plane(source).convertTo(expected_alpha, CV_8U, c.depth == CV_16U ? 1 / 257.0 : 1);
        EXPECT_EQ(cv::norm(alpha_plane(out), expected_alpha, cv::NORM_INF), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, ToSrgb,
                         testing::Values(WideCase{"AdobeRgb8", adobe_rgb, CV_8U, 3},
                                         WideCase{"AdobeRgb8Alpha", adobe_rgb, CV_8U, 4},
                                         WideCase{"ProPhoto8", prophoto, CV_8U, 3},
                                         WideCase{"ProPhoto16", prophoto, CV_16U, 3},
                                         WideCase{"AdobeRgb16Alpha", adobe_rgb, CV_16U, 4},
                                         WideCase{"AdobeRgbTable8", adobe_rgb_table, CV_8U, 3},
                                         WideCase{"AdobeRgbTable8Alpha", adobe_rgb_table, CV_8U, 4},
                                         WideCase{"AdobeRgbTable16Alpha", adobe_rgb_table, CV_16U,
                                                  4}),
                         [](const auto& info) { return std::string(info.param.name); });

// 16-bit samples go through the transform whole: closer to the exact
// result than rounding to 8 bits first.
TEST(ToSrgbPrecision, SixteenBitSourceBeatsItsEightBitRounding)
{
    const Icc icc = prophoto();
    const cv::Mat deep = vivid_photo(96, 64, CV_16U);
    cv::Mat shallow;
    deep.convertTo(shallow, CV_8U, 1 / 257.0);
    const cv::Mat expected = Reference(icc).srgb8(deep);
    const double error16 = imgtest::mean_abs_diff(to_srgb8(deep, icc), expected);
    const double error8 = imgtest::mean_abs_diff(to_srgb8(shallow, icc), expected);
    EXPECT_LT(error16, 0.2);
    EXPECT_LT(error16 * 2, error8);
}

// A decoded picture converted by the decoders library (as the preview
// plug-ins convert it, in bands over threads) has the pixels to_srgb8 gives.
TEST(DecodedToSrgb, GivesThePixelsOfTheConversion)
{
    const std::vector<WideCase> cases{{"AdobeRgb16Alpha", adobe_rgb, CV_16U, 4},
                                      {"AdobeRgbTable8", adobe_rgb_table, CV_8U, 3},
                                      {"Grey16", [] { return grey_icc(1.0); }, CV_16U, 1}};
    for (const WideCase& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat source = vivid_photo(1100, 1000, c.depth);
        if (c.channels == 4)
            source = with_alpha(source);
        if (c.channels == 1)
            cv::extractChannel(source, source, 1);
        const Icc icc = c.icc();
        decoders::Decoded decoded;
        decoded.width = source.cols;
        decoded.height = source.rows;
        decoded.channels = c.channels;
        decoded.bits = c.depth == CV_16U ? 16 : 8;
        decoded.icc = icc;
        if (c.depth == CV_16U)
            decoded.pixels16.assign(source.ptr<std::uint16_t>(),
                                    source.ptr<std::uint16_t>() + source.total() * c.channels);
        else
            decoded.pixels8.assign(source.datastart, source.dataend);
        decoders::to_srgb8(decoded);
        ASSERT_EQ(decoded.bits, 8);
        EXPECT_TRUE(decoded.icc.empty());
        const cv::Mat expected = to_srgb8(source, icc);
        ASSERT_EQ(decoded.pixels8.size(), expected.total() * c.channels);
        EXPECT_TRUE(std::equal(decoded.pixels8.begin(), decoded.pixels8.end(), expected.datastart));
    }
}

// Descriptions that leave the colours as they are: 8-bit pixels come back
// untouched (the very same data), 16-bit ones only rounded.
struct KeptCase
{
    const char* name;
    std::function<Icc()> icc;
    std::optional<decoders::Nclx> nclx;
};

class Unconverted : public testing::TestWithParam<KeptCase>
{
};

TEST_P(Unconverted, LeavesThePixelsAsTheyAre)
{
    const Icc icc = GetParam().icc();
    const cv::Mat pixels = vivid_photo(40, 30);
    const cv::Mat out = to_srgb8(pixels, icc, GetParam().nclx);
    EXPECT_EQ(out.data, pixels.data);
    const cv::Mat deep = vivid_photo(40, 30, CV_16U);
    cv::Mat rounded;
    deep.convertTo(rounded, CV_8U, 1 / 257.0);
    EXPECT_EQ(cv::norm(to_srgb8(deep, icc, GetParam().nclx), rounded, cv::NORM_INF), 0);
}

Icc garbage()
{
    Icc bytes(600);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return bytes;
}

Icc cut_adobe_rgb()
{
    Icc icc = adobe_rgb();
    icc.resize(icc.size() / 2);
    return icc;
}

Icc lab_icc()
{
    return saved(Profile(cmsCreateLab4Profile(nullptr)));
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, Unconverted,
    testing::Values(KeptCase{"NoProfile", [] { return Icc{}; }, std::nullopt},
                    KeptCase{"Srgb", srgb_icc, std::nullopt},
                    KeptCase{"Garbage", garbage, std::nullopt},
                    KeptCase{"CutProfile", cut_adobe_rgb, std::nullopt},
                    KeptCase{"NeitherRgbNorGrey", lab_icc, std::nullopt},
                    KeptCase{"NclxSrgb", [] { return Icc{}; }, decoders::Nclx{1, 13, 0, true}},
                    KeptCase{"NclxUnspecified", [] { return Icc{}; }, decoders::Nclx{}},
                    KeptCase{"NclxPq", [] { return Icc{}; }, decoders::Nclx{9, 16, 9, true}},
                    KeptCase{"NclxUnknownPrimaries", [] { return Icc{}; },
                             decoders::Nclx{99, 8, 0, true}},
                    // A profile that parses wins over the code points.
                    KeptCase{"SrgbProfileOverNclx", srgb_icc, decoders::Nclx{12, 8, 0, true}}),
    [](const auto& info) { return std::string(info.param.name); });

// Code points build the same conversion as a profile made from the
// standard's primaries and curve.
struct NclxCase
{
    const char* name;
    decoders::Nclx nclx;
    std::function<Icc()> icc;
};

class NclxToSrgb : public testing::TestWithParam<NclxCase>
{
};

TEST_P(NclxToSrgb, ConvertsAsTheEquivalentProfile)
{
    const cv::Mat pixels = vivid_photo(64, 48);
    const Icc icc = GetParam().icc();
    const cv::Mat by_nclx = to_srgb8(pixels, {}, GetParam().nclx);
    EXPECT_LE(Reference(icc).mean_de76(pixels, by_nclx), 0.5);
    // An unusable profile gives way to the code points.
    EXPECT_EQ(cv::norm(to_srgb8(pixels, garbage(), GetParam().nclx), by_nclx, cv::NORM_INF), 0);
    // The profile made for keeping the colours describes them alike.
    EXPECT_LE(Reference(icc_for_nclx(GetParam().nclx)).mean_de76(pixels, by_nclx), 0.5);
}

Icc display_p3()
{
    cmsToneCurve* curve = nullptr;
    const cmsFloat64Number params[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const cmsCIExyY white{0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return saved(profile);
}

Icc linear_bt2020()
{
    return rgb_icc({0.3127, 0.3290, 1}, {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}},
                   1.0);
}

// BT.709 primaries with the BT.709 camera curve inverted.
Icc bt709()
{
    const cmsFloat64Number params[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const cmsCIExyY white{0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return saved(profile);
}

INSTANTIATE_TEST_SUITE_P(CodePoints, NclxToSrgb,
                         testing::Values(NclxCase{"DisplayP3", {12, 13, 1, true}, display_p3},
                                         NclxCase{"LinearBt2020", {9, 8, 9, true}, linear_bt2020},
                                         NclxCase{"Bt709", {1, 1, 1, false}, bt709}),
                         [](const auto& info) { return std::string(info.param.name); });

// Grey: one channel, or expanded to BGR(A) as the loaders deliver it.
TEST(ToSrgbGrey, ConvertsEveryLayoutAlike)
{
    const Icc icc = grey_icc(1.0);
    cv::Mat grey(16, 256, CV_8UC1);
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            grey.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>(x);
    const cv::Mat out = to_srgb8(grey, icc);
    ASSERT_EQ(out.type(), CV_8UC1);
    EXPECT_LE(Reference(icc).mean_de76(grey, out), 0.3);
    EXPECT_GT(out.at<std::uint8_t>(0, 64), 120); // linear 25% is sRGB level 137
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    cv::Mat expected_bgr;
    cv::cvtColor(out, expected_bgr, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::norm(to_srgb8(bgr, icc), expected_bgr, cv::NORM_INF), 0);
    cv::Mat deep;
    grey.convertTo(deep, CV_16U, 257);
    EXPECT_EQ(cv::norm(to_srgb8(deep, icc), out, cv::NORM_INF), 0);
    // An RGB profile cannot describe grey samples: left as they are.
    EXPECT_EQ(to_srgb8(grey, adobe_rgb()).data, grey.data);
}

TEST(BmpEmbeddedProfile, FoundOnlyWhereTheHeaderPutsIt)
{
    const Icc icc = adobe_rgb();
    imgtest::Bytes header;
    header.u8('B').u8('M').u32(0).u32(0).u32(14 + 124);
    header.u32(124).u32(1).u32(1).u16(1).u16(24).u32(0).u32(4).u32(0).u32(0).u32(0).u32(0);
    for (int i = 0; i < 4; ++i)
        header.u32(0); // masks
    header.u32(0x4D424544);
    for (int i = 0; i < 12; ++i)
        header.u32(0); // end points, gamma
    header.u32(4).u32(124 + 4).u32(static_cast<std::uint32_t>(icc.size())).u32(0);
    header.u32(0x00FF0000); // the pixel, then the profile
    header.raw(icc);
    EXPECT_EQ(bmp_embedded_profile(header.data), icc);
    Icc cut = header.data;
    cut.pop_back();
    EXPECT_TRUE(bmp_embedded_profile(cut).empty());
    Icc linked = header.data;
    linked[14 + 56] = 'K'; // 'LINK': a file name, not a profile
    EXPECT_TRUE(bmp_embedded_profile(linked).empty());
}

// Flat 8 x 8 patches of vivid colours (or greys), so that JPEG at high
// quality keeps them and a GIF needs no dithering: what an output holds is
// then the conversion alone.
cv::Mat patches(bool grey = false)
{
    cv::Mat bgr(48, 64, CV_8UC3);
    cv::RNG rng(3);
    for (int y = 0; y < bgr.rows; y += 8) {
        for (int x = 0; x < bgr.cols; x += 8) {
            cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
            colour[rng.uniform(0, 3)] = rng.uniform(0, 40); // saturated
            if (grey)
                colour = cv::Scalar::all(colour[0]);
            bgr(cv::Rect(x, y, 8, 8)).setTo(colour);
        }
    }
    return bgr;
}

void save_with_profile(const std::string& path, const cv::Mat& bgr, const Icc& icc)
{
    OutputMetadata metadata;
    metadata.icc = icc;
    AtomicFile out(path);
    if (path.ends_with(".png"))
        encode_png(out, bgr, Interlace::Off, &metadata);
    else
        encode_jpeg(out, bgr, 100, &metadata);
    out.commit();
}

Icc profile_in(const std::string& path)
{
    Metadata metadata;
    std::vector<std::uint8_t> bytes = imgtest::read_bytes(path);
    if (path.ends_with(".png"))
        decode_png(bytes, &metadata);
    else if (path.ends_with(".jpg"))
        read_jpeg_header(std::move(bytes), &metadata);
    return metadata.icc;
}

// The pixels as the file stores them, whatever its profile says.
cv::Mat stored_pixels(const std::string& path)
{
    std::vector<std::uint8_t> bytes = imgtest::read_bytes(path);
    if (path.ends_with(".png"))
        return decode_png(bytes);
    return decode_jpeg(read_jpeg_header(std::move(bytes)), 1);
}

cv::Mat bgr_of(HDIB dib)
{
    return colour_planes(imgtest::pixels_of(dib));
}

void write_as(const std::string& path, HDIB dib)
{
    if (path.ends_with(".bmp"))
        DIBtoBMP(path.c_str(), dib);
    else if (path.ends_with(".gif"))
        DIBtoGIF(path.c_str(), dib, 0);
    else if (path.ends_with(".png"))
        DIBtoPNG(path.c_str(), dib, 0);
    else
        DIBtoJPG(path.c_str(), dib, 95, 0);
}

Icc grey_gamma_1()
{
    return grey_icc(1.0);
}

struct OutputCase
{
    const char* name;
    Icc (*icc)();
    const char* source;
    const char* output;
    MetadataUse metadata;
    Colour colour;
    bool converted;
};

class LoaderColour : public testing::TestWithParam<OutputCase>
{
};

TEST_P(LoaderColour, OutputLooksLikeTheSourceWithOrWithoutItsProfile)
{
    const OutputCase c = GetParam();
    TempDir dir;
    const Icc icc = c.icc();
    const std::string source = dir.path(c.source);
    save_with_profile(source, patches(c.icc == grey_gamma_1), icc);
    const cv::Mat source_pixels = stored_pixels(source);

    const std::string output = dir.path(c.output);
    {
        Handle dib(ToDIBex(source.c_str(), {Orientation::Apply, c.metadata, c.colour}));
        ASSERT_NE(dib.get(), 0u);
        write_as(output, dib);
    }
    Handle written(ToDIB(output.c_str()));
    ASSERT_NE(written.get(), 0u);
    const cv::Mat out = bgr_of(written);
    const double shift = Reference(icc).mean_de76(source_pixels, out);
    if (c.converted) {
        EXPECT_LE(shift, 1.0);
        EXPECT_TRUE(profile_in(output).empty());
    } else {
        EXPECT_LE(imgtest::mean_abs_diff(out, source_pixels), 0.5);
        EXPECT_GE(shift, 2.0); // kept pixels are the profile's, not sRGB
        EXPECT_EQ(profile_in(output), icc);
    }
}

constexpr auto Keep = MetadataUse::Keep;
constexpr auto Strip = MetadataUse::Strip;
constexpr auto KeepProfile = Colour::KeepProfile;
constexpr auto ToSrgb = Colour::ToSrgb;

INSTANTIATE_TEST_SUITE_P(
    Outputs, LoaderColour,
    testing::Values(
        OutputCase{"AdobeJpgToBmp", adobe_rgb, "in.jpg", "out.bmp", Keep, ToSrgb, true},
        OutputCase{"AdobeJpgToGif", adobe_rgb, "in.jpg", "out.gif", Keep, ToSrgb, true},
        OutputCase{"AdobeJpgToPngStripped", adobe_rgb, "in.jpg", "out.png", Strip, ToSrgb, true},
        OutputCase{"AdobeJpgToJpgStripped", adobe_rgb, "in.jpg", "out.jpg", Strip, ToSrgb, true},
        OutputCase{"AdobeJpgToPngKept", adobe_rgb, "in.jpg", "out.png", Keep, KeepProfile, false},
        OutputCase{"AdobeJpgToJpgKept", adobe_rgb, "in.jpg", "out.jpg", Keep, KeepProfile, false},
        OutputCase{"ProPhotoPngToBmp", prophoto, "in.png", "out.bmp", Strip, ToSrgb, true},
        OutputCase{"ProPhotoPngToGif", prophoto, "in.png", "out.gif", Keep, ToSrgb, true},
        OutputCase{"ProPhotoPngToJpgStripped", prophoto, "in.png", "out.jpg", Strip, ToSrgb, true},
        OutputCase{"ProPhotoPngToPngKept", prophoto, "in.png", "out.png", Keep, KeepProfile, false},
        OutputCase{"ProPhotoPngToJpgKept", prophoto, "in.png", "out.jpg", Keep, KeepProfile, false},
        // No output carries a grey profile: converted whatever the choice.
        OutputCase{"GreyJpgToJpgKept", grey_gamma_1, "in.jpg", "out.jpg", Keep, KeepProfile, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A JPEG decoded late, straight into a reduction, is converted at the size
// it is decoded at; a turn by any angle keeps its background colour, which
// is given in sRGB.
TEST(LoaderColour, LazyJpegConvertsBeforeTheTurnAndAfterTheReduction)
{
    TempDir dir;
    const Icc icc = adobe_rgb();
    const std::string source = dir.path("in.jpg");
    save_with_profile(source, vivid_photo(256, 192), icc);

    Handle kept(ToDIBex(source.c_str(), {Orientation::Apply, Keep, KeepProfile}));
    Handle converted(ToDIBex(source.c_str(), {Orientation::Apply, Keep, ToSrgb}));
    ResizeDIB(kept, -1, 48);
    ResizeDIB(converted, -1, 48);
    const cv::Mat kept_pixels = bgr_of(kept);
    EXPECT_LE(Reference(icc).mean_de76(kept_pixels, bgr_of(converted)), 1.0);
    EXPECT_GE(Reference(icc).mean_de76(kept_pixels, kept_pixels), 2.0);

    Handle turned(ToDIBex(source.c_str(), {Orientation::Apply, Keep, ToSrgb}));
    TurnDIBex(turned, 30000, 0x00C08040);
    ResizeDIB(turned, -1, 60);
    const cv::Vec3b corner = bgr_of(turned).at<cv::Vec3b>(0, 0);
    EXPECT_EQ(corner, cv::Vec3b(0xC0, 0x80, 0x40));
}

// 16 bits a sample as PNG stores them: RGB(A), big-endian.
testsupport::RawPng deep_png(const cv::Mat& bgr16, const Icc& icc, bool interlaced)
{
    testsupport::RawPng png;
    png.width = bgr16.cols;
    png.height = bgr16.rows;
    png.bit_depth = 16;
    png.colour_type = bgr16.channels() == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    png.interlaced = interlaced;
    png.icc = icc;
    cv::Mat rgb;
    cv::cvtColor(bgr16, rgb, bgr16.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGB);
    const cv::Mat samples = rgb.reshape(1);
    for (auto it = samples.begin<std::uint16_t>(); it != samples.end<std::uint16_t>(); ++it) {
        png.rows.push_back(static_cast<std::uint8_t>(*it >> 8));
        png.rows.push_back(static_cast<std::uint8_t>(*it));
    }
    return png;
}

// A 16-bit PNG goes through the conversion to sRGB at full precision, as
// other 16-bit sources do, interlaced or not, alpha rounded alongside; kept
// with its profile it is only rounded, as before.
TEST(LoaderColour, SixteenBitPngConvertsAtFullPrecision)
{
    const Icc icc = prophoto();
    for (const bool interlaced : {false, true}) {
        for (const int channels : {3, 4}) {
            SCOPED_TRACE(std::to_string(channels) + (interlaced ? " interlaced" : ""));
            TempDir dir;
            cv::Mat deep = vivid_photo(93, 61, CV_16U); // odd sides leave passes part-filled
            if (channels == 4)
                deep = with_alpha(deep);
            const std::string source = dir.path("in.png");
            imgtest::write_bytes(source,
                                 testsupport::raw_png_bytes(deep_png(deep, icc, interlaced)));
            cv::Mat rounded;
            deep.convertTo(rounded, CV_8U, 1 / 257.0);
            cv::Mat converted;
            {
                Handle kept(ToDIBex(source.c_str(), {Orientation::Apply, Keep, KeepProfile}));
                ASSERT_NE(kept.get(), 0u);
                cv::Mat rounded_bgra = rounded;
                if (channels == 3)
                    cv::cvtColor(rounded, rounded_bgra, cv::COLOR_BGR2BGRA);
                EXPECT_EQ(cv::norm(imgtest::pixels_of(kept), rounded_bgra, cv::NORM_INF), 0);
                Handle dib(ToDIBex(source.c_str(), {Orientation::Apply, Keep, ToSrgb}));
                ASSERT_NE(dib.get(), 0u);
                converted = imgtest::pixels_of(dib);
                DIBtoBMP(dir.path("out.bmp").c_str(), dib);
            }
            // BMP holds no alpha: the picture with alpha is checked as loaded.
            if (channels == 3) {
                Handle written(ToDIB(dir.path("out.bmp").c_str()));
                ASSERT_NE(written.get(), 0u);
                converted = imgtest::pixels_of(written);
            }
            const cv::Mat expected = Reference(icc).srgb8(colour_planes(deep));
            const double error = imgtest::mean_abs_diff(colour_planes(converted), expected);
            const double error8 =
                imgtest::mean_abs_diff(to_srgb8(colour_planes(rounded), icc), expected);
            EXPECT_LT(error, 0.2);
            EXPECT_LT(error * 2, error8);
            if (channels == 4) {
                EXPECT_EQ(cv::norm(alpha_plane(converted), alpha_plane(rounded), cv::NORM_INF), 0);
            }
        }
    }
}

// A BMP with an embedded profile: a palette picture converts its palette
// and stays a palette picture; an output that keeps the profile gets it.
TEST(LoaderColour, BmpProfileConvertsThePaletteOrTravelsOn)
{
    const Icc icc = prophoto();
    imgtest::Bytes bmp;
    const std::uint32_t pixels_at = 14 + 124 + 2 * 4;
    bmp.u8('B').u8('M').u32(0).u32(0).u32(pixels_at);
    bmp.u32(124).u32(2).u32(1).u16(1).u16(8).u32(0).u32(4).u32(0).u32(0).u32(2).u32(0);
    for (int i = 0; i < 4; ++i)
        bmp.u32(0);
    bmp.u32(0x4D424544); // PROFILE_EMBEDDED
    for (int i = 0; i < 12; ++i)
        bmp.u32(0);
    bmp.u32(4).u32(pixels_at + 4 - 14).u32(static_cast<std::uint32_t>(icc.size())).u32(0);
    bmp.u32(0x00206040).u32(0x00E0A020); // palette 0x00RRGGBB
    bmp.u8(0).u8(1).u8(0).u8(0);         // the row, padded
    bmp.raw(icc);
    TempDir dir;
    const std::string source = dir.path("in.bmp");
    imgtest::write_bytes(source, bmp.data);

    Handle converted(ToDIBex(source.c_str(), {Orientation::Apply, Keep, ToSrgb}));
    ASSERT_NE(converted.get(), 0u);
    EXPECT_EQ(GetDIBInfo(converted).bit_count, 8);
    cv::Mat stored(1, 2, CV_8UC3);
    stored.at<cv::Vec3b>(0, 0) = {0x40, 0x60, 0x20};
    stored.at<cv::Vec3b>(0, 1) = {0x20, 0xA0, 0xE0};
    EXPECT_LE(cv::norm(bgr_of(converted), Reference(icc).srgb8(stored), cv::NORM_INF), 1);

    Handle kept(ToDIBex(source.c_str(), {Orientation::Apply, Keep, KeepProfile}));
    EXPECT_EQ(cv::norm(bgr_of(kept), stored, cv::NORM_INF), 0);
    const std::string output = dir.path("out.jpg");
    DIBtoJPG(output.c_str(), kept, 95, 0);
    EXPECT_EQ(profile_in(output), icc);
}

// ---- CMYK JPEGs --------------------------------------------------------------

// 8 x 8 patches of inks, dark and light, with and without black.
std::vector<std::uint8_t> ink_patches(int width, int height, bool adobe)
{
    std::vector<std::uint8_t> cmyk(static_cast<std::size_t>(width) * height * 4);
    cv::RNG rng(5);
    for (int y = 0; y < height; y += 8)
        for (int x = 0; x < width; x += 8) {
            std::uint8_t ink[4];
            for (std::uint8_t& i : ink)
                i = static_cast<std::uint8_t>(rng.uniform(0, 256));
            if (rng.uniform(0, 2) == 0)
                ink[3] = 0;
            for (int py = y; py < y + 8; ++py)
                for (int px = x; px < x + 8; ++px)
                    for (int c = 0; c < 4; ++c)
                        cmyk[(static_cast<std::size_t>(py) * width + px) * 4 + c] =
                            adobe ? 255 - ink[c] : ink[c];
        }
    return cmyk;
}

struct CmykCase
{
    const char* name;
    bool adobe;        // Adobe's marker: inks stored inverted
    bool profile;      // the press profile embedded
    bool tiff = false; // a TIFF (plain inks) instead of a JPEG
};

void write_cmyk_tiff(const std::string& path, const std::vector<std::uint8_t>& inks, int width,
                     int height, const std::vector<std::uint8_t>& profile)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
    if (!profile.empty())
        TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(profile.size()),
                     profile.data());
    for (int y = 0; y < height; ++y) {
        std::vector<std::uint8_t> row(&inks[static_cast<std::size_t>(y) * width * 4],
                                      &inks[static_cast<std::size_t>(y + 1) * width * 4]);
        ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(tiff);
}

void PrintTo(const CmykCase& c, std::ostream* out)
{
    *out << c.name;
}

class CmykJpeg : public testing::TestWithParam<CmykCase>
{
};

// The inks become the colours their profile describes, read plainly or
// inverted as the file says; without a profile, by the plain formula. Either
// way the output is sRGB, whatever the profile choice.
TEST_P(CmykJpeg, InksBecomeTheColoursTheirProfileDescribes)
{
    const CmykCase c = GetParam();
    const int width = 64, height = 48;
    const Icc press = testsupport::cmyk_press_profile();
    const std::vector<std::uint8_t> stored = ink_patches(width, height, c.adobe);
    TempDir dir;
    const std::string path = dir.path(c.tiff ? "cmyk.tif" : "cmyk.jpg");
    if (c.tiff)
        write_cmyk_tiff(path, stored, width, height, c.profile ? press : Icc{});
    else
        testsupport::write_cmyk_jpeg(path, stored, width, height, c.adobe,
                                     c.profile ? press : Icc{});

    const Profile source(cmsOpenProfileFromMem(press.data(), press.size()));
    const Profile srgb(cmsCreate_sRGBProfile());
    const Transform exact(cmsCreateTransform(
        source.get(), TYPE_CMYK_DBL, srgb.get(), TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC,
        cmsFLAGS_NOOPTIMIZE | cmsFLAGS_BLACKPOINTCOMPENSATION));
    Handle converted(ToDIBex(path.c_str(), {Orientation::Apply, Keep, ToSrgb}));
    Handle kept(ToDIBex(path.c_str(), {Orientation::Apply, Keep, KeepProfile}));
    const cv::Mat out = bgr_of(converted);
    EXPECT_EQ(cv::norm(out, bgr_of(kept), cv::NORM_INF), 0);
    double profile_error = 0, formula_error = 0;
    int patches = 0;
    for (int y = 4; y < height; y += 8)
        for (int x = 4; x < width; x += 8, ++patches) {
            double ink[4];
            for (int i = 0; i < 4; ++i) {
                const int level = stored[(static_cast<std::size_t>(y) * width + x) * 4 + i];
                ink[i] = (c.adobe ? 255 - level : level) / 255.0;
            }
            double percent[4] = {ink[0] * 100, ink[1] * 100, ink[2] * 100, ink[3] * 100};
            double by_profile[3];
            cmsDoTransform(exact.get(), percent, by_profile, 1);
            const cv::Vec3b shown = out.at<cv::Vec3b>(y, x);
            for (int i = 0; i < 3; ++i) {
                const double by_formula = (1 - ink[i]) * (1 - ink[3]) * 255;
                profile_error += std::abs(shown[2 - i] - std::clamp(by_profile[i], 0.0, 1.0) * 255);
                formula_error += std::abs(shown[2 - i] - by_formula);
            }
        }
    profile_error /= patches * 3;
    formula_error /= patches * 3;
    EXPECT_LE(c.profile ? profile_error : formula_error, 1.0);
    EXPECT_GE(c.profile ? formula_error : profile_error, 10);
}

INSTANTIATE_TEST_SUITE_P(Files, CmykJpeg,
                         testing::Values(CmykCase{"AdobeWithProfile", true, true},
                                         CmykCase{"PlainWithProfile", false, true},
                                         CmykCase{"AdobeWithoutProfile", true, false},
                                         CmykCase{"TiffWithProfile", false, true, true},
                                         CmykCase{"TiffWithoutProfile", false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
