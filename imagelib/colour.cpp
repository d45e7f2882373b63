#include "imagelib/colour.h"

#include "imagelib/metadata.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace imgctl {
namespace {

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

struct CurveCloser
{
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using Curve = std::unique_ptr<cmsToneCurve, CurveCloser>;

// Parametric curve type 4: Y = (aX + b)^g for X >= d, else cX.
Curve srgb_curve()
{
    const cmsFloat64Number params[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    return Curve(cmsBuildParametricToneCurve(nullptr, 4, params));
}

// H.273 defines transfers 1, 6, 14 and 15 by the BT.709 camera curve
// V = 1.099 L^0.45 - 0.099 (4.5 L below 0.018); the picture's light is its
// inverse.
Curve bt709_curve()
{
    const cmsFloat64Number params[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
    return Curve(cmsBuildParametricToneCurve(nullptr, 4, params));
}

Curve gamma_curve(double gamma)
{
    return Curve(cmsBuildGamma(nullptr, gamma));
}

// The transfer's curve; null for one left unconverted. PQ (16) and HLG (18)
// describe HDR light that sRGB cannot show without tone mapping, which is
// a choice of look rather than a conversion: such pictures keep their
// samples, as do the rare transfers not listed.
Curve nclx_curve(std::uint16_t transfer)
{
    switch (transfer) {
    case 1:
    case 6:
    case 14:
    case 15:
        return bt709_curve();
    case 2: // unspecified: sRGB is what such a picture most likely holds
    case 13:
        return srgb_curve();
    case 4:
        return gamma_curve(2.2);
    case 5:
        return gamma_curve(2.8);
    case 8:
        return gamma_curve(1.0);
    default:
        return nullptr;
    }
}

struct Primaries
{
    cmsCIExyY white;
    cmsCIExyYTRIPLE rgb;
};

constexpr cmsCIExyY k_d65{0.3127, 0.3290, 1.0};

std::optional<Primaries> nclx_primaries(std::uint16_t code)
{
    const auto triple = [](double rx, double ry, double gx, double gy, double bx, double by) {
        return cmsCIExyYTRIPLE{{rx, ry, 1.0}, {gx, gy, 1.0}, {bx, by, 1.0}};
    };
    switch (code) {
    case 1:
    case 2: // unspecified: BT.709, the primaries of sRGB
        return Primaries{k_d65, triple(0.64, 0.33, 0.30, 0.60, 0.15, 0.06)};
    case 4: // BT.470 System M, illuminant C
        return Primaries{{0.310, 0.316, 1.0}, triple(0.67, 0.33, 0.21, 0.71, 0.14, 0.08)};
    case 5: // BT.601 625 lines
        return Primaries{k_d65, triple(0.64, 0.33, 0.29, 0.60, 0.15, 0.06)};
    case 6: // BT.601 525 lines
    case 7:
        return Primaries{k_d65, triple(0.630, 0.340, 0.310, 0.595, 0.155, 0.070)};
    case 9: // BT.2020
        return Primaries{k_d65, triple(0.708, 0.292, 0.170, 0.797, 0.131, 0.046)};
    case 11: // DCI-P3, the cinema white
        return Primaries{{0.314, 0.351, 1.0}, triple(0.680, 0.320, 0.265, 0.690, 0.150, 0.060)};
    case 12: // Display P3
        return Primaries{k_d65, triple(0.680, 0.320, 0.265, 0.690, 0.150, 0.060)};
    case 22: // EBU Tech. 3213
        return Primaries{k_d65, triple(0.630, 0.340, 0.295, 0.605, 0.155, 0.077)};
    default:
        return std::nullopt;
    }
}

Profile nclx_profile(const decoders::Nclx& nclx)
{
    const std::optional<Primaries> primaries = nclx_primaries(nclx.primaries);
    const Curve curve = nclx_curve(nclx.transfer);
    if (!primaries || !curve)
        return nullptr;
    cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    return Profile(cmsCreateRGBProfile(&primaries->white, &primaries->rgb, curves));
}

// A matrix-shaper profile (a curve per channel, then a matrix to XYZ:
// nearly every RGB profile photos carry) is evaluated here in floating
// point rather than by a LittleCMS transform. LittleCMS optimises 16-bit
// input by sampling the whole conversion into a grid, and interpolating
// in that grid loses the shadows, where sRGB's curve is steep: a ProPhoto
// picture came out up to 27 levels off. Here every sample is exact until
// the final rounding, and 8-bit pictures convert faster as well.
struct MatrixShaper
{
    std::array<Curve, 3> curves;                // R, G, B: stored sample -> light
    cv::Matx33f matrix;                         // light of R, G, B -> light of sRGB R, G, B
    std::array<std::vector<float>, 3> linear8;  // the curves by 8-bit level, made when needed
    std::array<std::vector<float>, 3> linear16; // by 16-bit level
};

// How a described source reaches sRGB: not at all, through the matrix and
// curves above, through LittleCMS transforms (one per pixel layout, made
// when first needed), or, for grey, through a table from every 16-bit grey
// level to its 8-bit sRGB level.
struct Conversion
{
    enum class Kind { None, Rgb, Grey };
    Kind kind = Kind::None;
    bool parsed = false; // the description made a profile (maybe sRGB's, or CMYK)
    Profile source;      // RGB only
    std::mutex mutex;
    std::optional<MatrixShaper> shaper;
    std::array<Transform, 4> transforms; // by layout_index(), when there is no shaper
    std::vector<std::uint8_t> grey_table;
};

int layout_index(int depth, int channels)
{
    return (depth == CV_16U ? 2 : 0) + (channels == 4 ? 1 : 0);
}

constexpr std::array<cmsUInt32Number, 4> k_input_formats{TYPE_BGR_8, TYPE_BGRA_8, TYPE_BGR_16,
                                                         TYPE_BGRA_16};

constexpr cmsUInt32Number k_flags =
    cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_COPY_ALPHA | cmsFLAGS_NOCACHE;

Transform make_rgb_transform(void* source, int layout)
{
    const Profile srgb(cmsCreate_sRGBProfile());
    if (!srgb)
        return nullptr;
    const cmsUInt32Number output = (layout % 2 != 0) ? TYPE_BGRA_8 : TYPE_BGR_8;
    return Transform(cmsCreateTransform(source, k_input_formats[layout], srgb.get(), output,
                                        INTENT_RELATIVE_COLORIMETRIC, k_flags));
}

// Whether a transform leaves every 8-bit level within one of where it was:
// an sRGB profile (in any of its many editions) or one close enough that
// converting would only add rounding noise. Checked on a grid.
bool rgb_is_identity(void* source)
{
    const Transform transform = make_rgb_transform(source, 0);
    if (!transform)
        return true;
    constexpr int k_steps = 9;
    std::vector<std::uint8_t> in;
    for (int b = 0; b < k_steps; ++b)
        for (int g = 0; g < k_steps; ++g)
            for (int r = 0; r < k_steps; ++r)
                for (const int level : {b, g, r})
                    in.push_back(static_cast<std::uint8_t>(level * 255 / (k_steps - 1)));
    std::vector<std::uint8_t> out(in.size());
    cmsDoTransform(transform.get(), in.data(), out.data(),
                   static_cast<cmsUInt32Number>(in.size() / 3));
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::abs(int(in[i]) - int(out[i])) > 1)
            return false;
    }
    return true;
}

// Grey leaves by an sRGB grey: the same neutral axis an RGB output would
// give, one level per pixel instead of three.
std::vector<std::uint8_t> make_grey_table(void* source)
{
    const Curve curve = srgb_curve();
    const Profile srgb_grey(cmsCreateGrayProfile(cmsD50_xyY(), curve.get()));
    if (!srgb_grey)
        return {};
    const Transform transform(cmsCreateTransform(source, TYPE_GRAY_16, srgb_grey.get(), TYPE_GRAY_8,
                                                 INTENT_RELATIVE_COLORIMETRIC,
                                                 k_flags & ~cmsFLAGS_COPY_ALPHA));
    if (!transform)
        return {};
    std::vector<std::uint16_t> levels(65536);
    for (std::size_t i = 0; i < levels.size(); ++i)
        levels[i] = static_cast<std::uint16_t>(i);
    std::vector<std::uint8_t> table(levels.size());
    cmsDoTransform(transform.get(), levels.data(), table.data(),
                   static_cast<cmsUInt32Number>(levels.size()));
    for (int level = 0; level < 256; ++level) {
        if (std::abs(int(table[static_cast<std::size_t>(level) * 257]) - level) > 1)
            return table;
    }
    return {}; // sRGB's own grey
}

cv::Matx33f colorants(void* profile)
{
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    cv::Matx33f m;
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tags[c]));
        if (xyz == nullptr)
            return cv::Matx33f::zeros();
        m(0, c) = static_cast<float>(xyz->X);
        m(1, c) = static_cast<float>(xyz->Y);
        m(2, c) = static_cast<float>(xyz->Z);
    }
    return m;
}

// Relative colorimetric between two matrix-shapers: both colorant matrices
// are adapted to the PCS white already, so the source's light goes to
// sRGB's by one matrix. Black point compensation changes nothing when
// both blacks are zero, which the source's curves are checked for; any
// other profile goes through LittleCMS.
std::optional<MatrixShaper> make_shaper(void* source)
{
    if (!cmsIsMatrixShaper(source) ||
        cmsIsCLUT(source, INTENT_RELATIVE_COLORIMETRIC, LCMS_USED_AS_INPUT))
        return std::nullopt;
    const Profile srgb(cmsCreate_sRGBProfile());
    const cv::Matx33f to_xyz = colorants(source);
    const cv::Matx33f srgb_to_xyz = colorants(srgb.get());
    if (std::abs(cv::determinant(to_xyz)) < 1e-6f || std::abs(cv::determinant(srgb_to_xyz)) < 1e-6f)
        return std::nullopt;
    MatrixShaper shaper;
    shaper.matrix = srgb_to_xyz.inv() * to_xyz;
    const cmsTagSignature tags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int c = 0; c < 3; ++c) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(source, tags[c]));
        if (curve == nullptr || cmsEvalToneCurveFloat(curve, 0) > 1e-6f)
            return std::nullopt;
        shaper.curves[static_cast<std::size_t>(c)] = Curve(cmsDupToneCurve(curve));
    }
    return shaper;
}

std::shared_ptr<Conversion> make_conversion(Profile source)
{
    auto conversion = std::make_shared<Conversion>();
    if (!source)
        return conversion;
    conversion->parsed = true;
    const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
    if (space == cmsSigRgbData && !rgb_is_identity(source.get())) {
        conversion->kind = Conversion::Kind::Rgb;
        conversion->shaper = make_shaper(source.get());
        conversion->source = std::move(source);
    } else if (space == cmsSigGrayData) {
        conversion->grey_table = make_grey_table(source.get());
        if (!conversion->grey_table.empty())
            conversion->kind = Conversion::Kind::Grey;
    }
    return conversion;
}

Profile open_profile(std::span<const std::uint8_t> icc)
{
    if (icc.empty() || icc.size() > k_max_icc_bytes)
        return nullptr;
    return Profile(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

// Conversions by description: the profile's bytes, or the code points.
// Photos of one batch mostly share a profile, so a handful of entries is
// plenty; a full cache starts over (entries in use stay alive).
class ConversionCache
{
public:
    std::shared_ptr<Conversion> find(std::span<const std::uint8_t> icc,
                                     const std::optional<decoders::Nclx>& nclx)
    {
        const bool by_icc = !icc.empty();
        std::string key = by_icc ? "icc:" + std::string(icc.begin(), icc.end())
                                 : "nclx:" + std::to_string(nclx->primaries) + "/" +
                                       std::to_string(nclx->transfer);
        std::lock_guard lock(m_mutex);
        if (const auto it = m_entries.find(key); it != m_entries.end())
            return it->second;
        if (m_entries.size() >= k_max_entries)
            m_entries.clear();
        auto conversion = make_conversion(by_icc ? open_profile(icc) : nclx_profile(*nclx));
        m_entries.emplace(std::move(key), conversion);
        return conversion;
    }

private:
    static constexpr std::size_t k_max_entries = 16;
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Conversion>> m_entries;
};

ConversionCache& cache()
{
    static ConversionCache instance;
    return instance;
}

// The description that applies: a profile that parses, else the code points.
std::shared_ptr<Conversion> conversion_for(std::span<const std::uint8_t> icc,
                                           const std::optional<decoders::Nclx>& nclx)
{
    std::shared_ptr<Conversion> conversion;
    if (!icc.empty()) {
        conversion = cache().find(icc, std::nullopt);
        if (conversion->parsed)
            return conversion;
    }
    if (nclx)
        return cache().find({}, nclx);
    return conversion;
}

void* rgb_transform(Conversion& conversion, int layout)
{
    std::lock_guard lock(conversion.mutex);
    Transform& transform = conversion.transforms[static_cast<std::size_t>(layout)];
    if (!transform)
        transform = make_rgb_transform(conversion.source.get(), layout);
    return transform.get();
}

// The curves sampled at every level of a depth, made on first use.
const std::array<std::vector<float>, 3>& shaper_tables(Conversion& conversion, int depth)
{
    std::lock_guard lock(conversion.mutex);
    MatrixShaper& shaper = *conversion.shaper;
    const bool deep = depth == CV_16U;
    std::array<std::vector<float>, 3>& tables = deep ? shaper.linear16 : shaper.linear8;
    if (tables[0].empty()) {
        const std::size_t levels = deep ? 65536 : 256;
        for (std::size_t c = 0; c < 3; ++c) {
            tables[c].resize(levels);
            for (std::size_t i = 0; i < levels; ++i)
                tables[c][i] = cmsEvalToneCurveFloat(shaper.curves[c].get(),
                                                     static_cast<float>(i) / (levels - 1));
        }
    }
    return tables;
}

// sRGB's 8-bit level for light 0..1 in 65536 steps: a step moves a level by
// at most 0.05 (where the curve is steepest, near black).
constexpr int k_light_steps = 65535;

const std::vector<std::uint8_t>& srgb_encoding()
{
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(k_light_steps + 1);
        for (int i = 0; i <= k_light_steps; ++i) {
            const double light = static_cast<double>(i) / k_light_steps;
            const double v =
                light <= 0.0031308 ? 12.92 * light : 1.055 * std::pow(light, 1 / 2.4) - 0.055;
            t[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::lround(v * 255));
        }
        return t;
    }();
    return table;
}

template <typename Sample, int channels>
void apply_shaper(const cv::Mat& pixels, cv::Mat& out, const MatrixShaper& shaper,
                  const std::array<std::vector<float>, 3>& linear)
{
    // Everything in locals: the 8-bit stores may alias any memory, and the
    // compiler would otherwise load the tables and the matrix again after
    // each of them.
    const std::uint8_t* const encode = srgb_encoding().data();
    const float* const red = linear[0].data();
    const float* const green = linear[1].data();
    const float* const blue = linear[2].data();
    const cv::Matx33f m = shaper.matrix;
    const auto level = [encode](float light) {
        light = std::min(std::max(light, 0.0f), 1.0f);
        return encode[static_cast<int>(light * k_light_steps + 0.5f)];
    };
    for (int y = 0; y < pixels.rows; ++y) {
        const Sample* in = pixels.ptr<Sample>(y);
        std::uint8_t* dst = out.ptr<std::uint8_t>(y);
        for (int x = 0; x < pixels.cols; ++x, in += channels, dst += channels) {
            const float r = red[in[2]];
            const float g = green[in[1]];
            const float b = blue[in[0]];
            dst[0] = level(m(2, 0) * r + m(2, 1) * g + m(2, 2) * b);
            dst[1] = level(m(1, 0) * r + m(1, 1) * g + m(1, 2) * b);
            dst[2] = level(m(0, 0) * r + m(0, 1) * g + m(0, 2) * b);
            if constexpr (channels == 4)
                dst[3] = static_cast<std::uint8_t>(
                    sizeof(Sample) == 1 ? in[3] : (in[3] * 65281u + 8388608u) >> 24);
        }
    }
}

cv::Mat rounded_to_8bit(const cv::Mat& pixels)
{
    if (pixels.depth() == CV_8U)
        return pixels;
    cv::Mat out;
    pixels.convertTo(out, CV_8U, 1.0 / 257.0);
    return out;
}

// Colour channels through the table, alpha (channel 1 of 2, 3 of 4) rounded.
template <typename Sample>
void apply_grey_table(const cv::Mat& pixels, cv::Mat& out, const std::vector<std::uint8_t>& table)
{
    const int channels = pixels.channels();
    const int colour_channels = channels == 2 ? 1 : std::min(channels, 3);
    const unsigned scale = sizeof(Sample) == 1 ? 257 : 1;
    for (int y = 0; y < pixels.rows; ++y) {
        const Sample* in = pixels.ptr<Sample>(y);
        std::uint8_t* dst = out.ptr<std::uint8_t>(y);
        for (int x = 0; x < pixels.cols * channels; x += channels) {
            for (int c = 0; c < colour_channels; ++c)
                dst[x + c] = table[in[x + c] * scale];
            if (colour_channels < channels)
                dst[x + channels - 1] = static_cast<std::uint8_t>(
                    sizeof(Sample) == 1 ? in[x + channels - 1]
                                        : (in[x + channels - 1] * 65281u + 8388608u) >> 24);
        }
    }
}

} // namespace

ProfileSpace profile_space(std::span<const std::uint8_t> icc)
{
    const Profile profile = open_profile(icc);
    if (!profile)
        return ProfileSpace::None;
    switch (cmsGetColorSpace(profile.get())) {
    case cmsSigRgbData:
        return ProfileSpace::Rgb;
    case cmsSigGrayData:
        return ProfileSpace::Grey;
    default:
        return ProfileSpace::Other;
    }
}

cv::Mat to_srgb8(const cv::Mat& pixels, std::span<const std::uint8_t> icc,
                 const std::optional<decoders::Nclx>& nclx)
{
    CV_Assert(pixels.depth() == CV_8U || pixels.depth() == CV_16U);
    CV_Assert(pixels.channels() >= 1 && pixels.channels() <= 4);
    const std::shared_ptr<Conversion> conversion =
        icc.empty() && !nclx ? nullptr : conversion_for(icc, nclx);
    if (!conversion || conversion->kind == Conversion::Kind::None || pixels.empty() ||
        (conversion->kind == Conversion::Kind::Rgb && pixels.channels() < 3))
        return rounded_to_8bit(pixels);
    std::function<void(const cv::Mat&, cv::Mat&)> convert;
    if (conversion->kind == Conversion::Kind::Grey) {
        const std::vector<std::uint8_t>& table = conversion->grey_table;
        convert = [&table](const cv::Mat& in, cv::Mat& out) {
            if (in.depth() == CV_8U)
                apply_grey_table<std::uint8_t>(in, out, table);
            else
                apply_grey_table<std::uint16_t>(in, out, table);
        };
    } else if (conversion->shaper) {
        const auto& linear = shaper_tables(*conversion, pixels.depth());
        const MatrixShaper& shaper = *conversion->shaper;
        convert = [&linear, &shaper](const cv::Mat& in, cv::Mat& out) {
            switch (in.type()) {
            case CV_8UC3:
                return apply_shaper<std::uint8_t, 3>(in, out, shaper, linear);
            case CV_8UC4:
                return apply_shaper<std::uint8_t, 4>(in, out, shaper, linear);
            case CV_16UC3:
                return apply_shaper<std::uint16_t, 3>(in, out, shaper, linear);
            default:
                return apply_shaper<std::uint16_t, 4>(in, out, shaper, linear);
            }
        };
    } else {
        void* transform =
            rgb_transform(*conversion, layout_index(pixels.depth(), pixels.channels()));
        if (transform == nullptr)
            return rounded_to_8bit(pixels);
        convert = [transform](const cv::Mat& in, cv::Mat& out) {
            cmsDoTransformLineStride(
                transform, in.data, out.data, static_cast<cmsUInt32Number>(in.cols),
                static_cast<cmsUInt32Number>(in.rows), static_cast<cmsUInt32Number>(in.step[0]),
                static_cast<cmsUInt32Number>(out.step[0]), 0, 0);
        };
    }
    cv::Mat out(pixels.rows, pixels.cols, CV_MAKETYPE(CV_8U, pixels.channels()));
    // Bands of rows over OpenCV's threads: a 12 MP photo is 36 million
    // samples. Every piece above is shared read-only between threads.
    constexpr double k_band_pixels = 1 << 18;
    cv::parallel_for_(
        cv::Range(0, pixels.rows),
        [&](const cv::Range& rows) {
            cv::Mat band = out.rowRange(rows);
            convert(pixels.rowRange(rows), band);
        },
        std::max(1.0, static_cast<double>(pixels.total()) / k_band_pixels));
    return out;
}

std::vector<std::uint8_t> icc_for_nclx(const decoders::Nclx& nclx)
{
    if (cache().find({}, nclx)->kind == Conversion::Kind::None)
        return {};
    const Profile profile = nclx_profile(nclx);
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0)
        return {};
    std::vector<std::uint8_t> icc(size);
    if (!cmsSaveProfileToMem(profile.get(), icc.data(), &size))
        return {};
    return icc;
}

std::vector<std::uint8_t> bmp_embedded_profile(std::span<const std::uint8_t> file)
{
    constexpr std::size_t k_info = 14;
    constexpr std::size_t k_v5_size = 124;
    constexpr std::uint32_t k_profile_embedded = 0x4D424544; // 'MBED'
    const auto le32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 |
               std::uint32_t{file[at + 2]} << 16 | std::uint32_t{file[at + 3]} << 24;
    };
    if (file.size() < k_info + k_v5_size || le32(k_info) < k_v5_size ||
        le32(k_info + 56) != k_profile_embedded)
        return {};
    // The profile's offset counts from the start of the info header.
    const std::uint64_t offset = k_info + std::uint64_t{le32(k_info + 112)};
    const std::uint64_t size = le32(k_info + 116);
    if (size == 0 || size > k_max_icc_bytes || offset + size > file.size())
        return {};
    return {file.begin() + static_cast<std::ptrdiff_t>(offset),
            file.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

} // namespace imgctl
