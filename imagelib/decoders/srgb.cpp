#include "imagelib/decoders/srgb.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace decoders {
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

Profile nclx_profile(const Nclx& nclx)
{
    const std::optional<Primaries> primaries = nclx_primaries(nclx.primaries);
    const Curve curve = nclx_curve(nclx.transfer);
    if (!primaries || !curve)
        return nullptr;
    cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    return Profile(cmsCreateRGBProfile(&primaries->white, &primaries->rgb, curves));
}

// 3 x 3, row-major, in single precision as the per-pixel work uses it.
using Matrix = std::array<float, 9>;

float determinant(const Matrix& a)
{
    return a[0] * (a[4] * a[8] - a[7] * a[5]) - a[1] * (a[3] * a[8] - a[6] * a[5]) +
           a[2] * (a[3] * a[7] - a[6] * a[4]);
}

// By cofactors; the caller has checked the determinant.
Matrix inverse(const Matrix& a)
{
    const float d = 1 / determinant(a);
    return {(a[4] * a[8] - a[5] * a[7]) * d, (a[2] * a[7] - a[1] * a[8]) * d,
            (a[1] * a[5] - a[2] * a[4]) * d, (a[5] * a[6] - a[3] * a[8]) * d,
            (a[0] * a[8] - a[2] * a[6]) * d, (a[2] * a[3] - a[0] * a[5]) * d,
            (a[3] * a[7] - a[4] * a[6]) * d, (a[1] * a[6] - a[0] * a[7]) * d,
            (a[0] * a[4] - a[1] * a[3]) * d};
}

Matrix product(const Matrix& a, const Matrix& b)
{
    Matrix m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0;
            for (int k = 0; k < 3; ++k)
                s += a[i * 3 + k] * b[k * 3 + j];
            m[i * 3 + j] = s;
        }
    return m;
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
    Matrix matrix;                              // light of R, G, B -> light of sRGB R, G, B
    std::array<std::vector<float>, 3> linear8;  // the curves by 8-bit level, made when needed
    std::array<std::vector<float>, 3> linear16; // by 16-bit level
};

} // namespace

// How a described source reaches sRGB: not at all, through the matrix and
// curves above, through LittleCMS transforms (one per pixel layout, made
// when first needed), or, for grey, through a table from every 16-bit grey
// level to its 8-bit sRGB level. CMYK goes through LittleCMS transforms.
struct Conversion
{
    enum class Kind { None, Rgb, Grey, Cmyk };
    Kind kind = Kind::None;
    bool parsed = false; // the description made a profile (maybe sRGB's)
    Profile source;      // RGB and CMYK
    std::mutex mutex;
    std::optional<MatrixShaper> shaper;
    std::array<Transform, 4> transforms; // RGB by layout_index() when there is no shaper;
                                         // CMYK by Ink
    std::vector<std::uint8_t> grey_table;
};

namespace {

int layout_index(int bits, int channels)
{
    return (bits == 16 ? 2 : 0) + (channels == 4 ? 1 : 0);
}

constexpr std::array<cmsUInt32Number, 4> k_input_formats{TYPE_BGR_8, TYPE_BGRA_8, TYPE_BGR_16,
                                                         TYPE_BGRA_16};

constexpr cmsUInt32Number k_flags =
    cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_COPY_ALPHA | cmsFLAGS_NOCACHE;

Transform make_transform(void* source, cmsUInt32Number input, cmsUInt32Number output)
{
    const Profile srgb(cmsCreate_sRGBProfile());
    if (!srgb)
        return nullptr;
    return Transform(cmsCreateTransform(source, input, srgb.get(), output,
                                        INTENT_RELATIVE_COLORIMETRIC, k_flags));
}

Transform make_rgb_transform(void* source, int layout)
{
    const cmsUInt32Number output = (layout % 2 != 0) ? TYPE_BGRA_8 : TYPE_BGR_8;
    return make_transform(source, k_input_formats[static_cast<std::size_t>(layout)], output);
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

// Columns R, G, B: each colorant's XYZ. Zero when a tag is missing.
Matrix colorants(void* profile)
{
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    Matrix m{};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tags[c]));
        if (xyz == nullptr)
            return Matrix{};
        m[0 * 3 + c] = static_cast<float>(xyz->X);
        m[1 * 3 + c] = static_cast<float>(xyz->Y);
        m[2 * 3 + c] = static_cast<float>(xyz->Z);
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
    const Matrix to_xyz = colorants(source);
    const Matrix srgb_to_xyz = colorants(srgb.get());
    if (std::abs(determinant(to_xyz)) < 1e-6f || std::abs(determinant(srgb_to_xyz)) < 1e-6f)
        return std::nullopt;
    MatrixShaper shaper;
    shaper.matrix = product(inverse(srgb_to_xyz), to_xyz);
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
    } else if (space == cmsSigCmykData) {
        conversion->kind = Conversion::Kind::Cmyk;
        conversion->source = std::move(source);
    }
    return conversion;
}

Profile open_profile(std::span<const std::uint8_t> icc)
{
    if (icc.empty() || icc.size() > k_max_profile_bytes)
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
                                     const std::optional<Nclx>& nclx)
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
                                           const std::optional<Nclx>& nclx)
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

// The transform in `slot`, made on first use.
void* cached_transform(Conversion& conversion, std::size_t slot, cmsUInt32Number input,
                       cmsUInt32Number output)
{
    std::lock_guard lock(conversion.mutex);
    Transform& transform = conversion.transforms[slot];
    if (!transform)
        transform = make_transform(conversion.source.get(), input, output);
    return transform.get();
}

// The curves sampled at every level of a depth, made on first use.
const std::array<std::vector<float>, 3>& shaper_tables(Conversion& conversion, int bits)
{
    std::lock_guard lock(conversion.mutex);
    MatrixShaper& shaper = *conversion.shaper;
    const bool deep = bits == 16;
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

// 16 bits to 8: round(v * 255 / 65535).
inline std::uint8_t to8(std::uint16_t v)
{
    return static_cast<std::uint8_t>((v * 65281u + 8388608u) >> 24);
}

template <typename Sample> const Sample* row_of(const void* in, std::size_t stride, int y)
{
    return reinterpret_cast<const Sample*>(static_cast<const std::uint8_t*>(in) +
                                           static_cast<std::size_t>(y) * stride);
}

template <typename Sample, int channels>
void apply_shaper(const void* in_rows, std::size_t in_stride, std::uint8_t* out,
                  std::size_t out_stride, int width, int rows, const float* matrix,
                  const std::vector<float>* linear)
{
    // Everything in locals: the 8-bit stores may alias any memory, and the
    // compiler would otherwise load the tables and the matrix again after
    // each of them.
    const std::uint8_t* const encode = srgb_encoding().data();
    const float* const red = linear[0].data();
    const float* const green = linear[1].data();
    const float* const blue = linear[2].data();
    const Matrix m = [matrix] {
        Matrix copy;
        std::copy(matrix, matrix + 9, copy.begin());
        return copy;
    }();
    const auto level = [encode](float light) {
        light = std::min(std::max(light, 0.0f), 1.0f);
        return encode[static_cast<int>(light * k_light_steps + 0.5f)];
    };
    for (int y = 0; y < rows; ++y) {
        const Sample* in = row_of<Sample>(in_rows, in_stride, y);
        std::uint8_t* dst = out + static_cast<std::size_t>(y) * out_stride;
        for (int x = 0; x < width; ++x, in += channels, dst += channels) {
            const float r = red[in[2]];
            const float g = green[in[1]];
            const float b = blue[in[0]];
            dst[0] = level(m[6] * r + m[7] * g + m[8] * b);
            dst[1] = level(m[3] * r + m[4] * g + m[5] * b);
            dst[2] = level(m[0] * r + m[1] * g + m[2] * b);
            if constexpr (channels == 4)
                dst[3] = sizeof(Sample) == 1 ? static_cast<std::uint8_t>(in[3]) : to8(in[3]);
        }
    }
}

// Colour channels through the table, alpha (channel 1 of 2, 3 of 4) rounded.
template <typename Sample>
void apply_grey_table(const void* in_rows, std::size_t in_stride, std::uint8_t* out,
                      std::size_t out_stride, int width, int rows, int channels,
                      const std::vector<std::uint8_t>& table)
{
    const int colour_channels = channels == 2 ? 1 : std::min(channels, 3);
    const unsigned scale = sizeof(Sample) == 1 ? 257 : 1;
    for (int y = 0; y < rows; ++y) {
        const Sample* in = row_of<Sample>(in_rows, in_stride, y);
        std::uint8_t* dst = out + static_cast<std::size_t>(y) * out_stride;
        for (int x = 0; x < width * channels; x += channels) {
            for (int c = 0; c < colour_channels; ++c)
                dst[x + c] = table[in[x + c] * scale];
            if (colour_channels < channels)
                dst[x + channels - 1] = sizeof(Sample) == 1
                                            ? static_cast<std::uint8_t>(in[x + channels - 1])
                                            : to8(in[x + channels - 1]);
        }
    }
}

void round_rows(const void* in_rows, std::size_t in_stride, std::uint8_t* out,
                std::size_t out_stride, int width, int rows, int channels, int bits)
{
    const std::size_t samples = static_cast<std::size_t>(width) * channels;
    for (int y = 0; y < rows; ++y) {
        std::uint8_t* dst = out + static_cast<std::size_t>(y) * out_stride;
        if (bits == 8) {
            std::memcpy(dst, row_of<std::uint8_t>(in_rows, in_stride, y), samples);
            continue;
        }
        const std::uint16_t* in = row_of<std::uint16_t>(in_rows, in_stride, y);
        for (std::size_t i = 0; i < samples; ++i)
            dst[i] = to8(in[i]);
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
    case cmsSigCmykData:
        return ProfileSpace::Cmyk;
    default:
        return ProfileSpace::Other;
    }
}

std::vector<std::uint8_t> icc_for_nclx(const Nclx& nclx)
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

SrgbConverter::SrgbConverter(std::span<const std::uint8_t> icc, const std::optional<Nclx>& nclx,
                             int channels, int bits)
    : m_channels(channels), m_bits(bits)
{
    if (icc.empty() && !nclx)
        return;
    m_conversion = conversion_for(icc, nclx);
    if (!m_conversion)
        return;
    switch (m_conversion->kind) {
    case Conversion::Kind::Grey:
        m_grey_table = &m_conversion->grey_table;
        m_step = Step::Grey;
        break;
    case Conversion::Kind::Rgb:
        if (channels < 3)
            break;
        if (m_conversion->shaper) {
            m_linear = shaper_tables(*m_conversion, bits).data();
            m_matrix = m_conversion->shaper->matrix.data();
            m_step = Step::Shaper;
            break;
        }
        {
            const int layout = layout_index(bits, channels);
            m_transform = cached_transform(*m_conversion, static_cast<std::size_t>(layout),
                                           k_input_formats[static_cast<std::size_t>(layout)],
                                           layout % 2 != 0 ? TYPE_BGRA_8 : TYPE_BGR_8);
        }
        if (m_transform != nullptr)
            m_step = Step::Transform;
        break;
    case Conversion::Kind::None:
    case Conversion::Kind::Cmyk:
        break;
    }
}

void SrgbConverter::convert(const void* in, std::size_t in_stride, std::uint8_t* out,
                            std::size_t out_stride, int width, int rows) const
{
    const bool deep = m_bits == 16;
    switch (m_step) {
    case Step::Round:
        return round_rows(in, in_stride, out, out_stride, width, rows, m_channels, m_bits);
    case Step::Grey:
        if (deep)
            return apply_grey_table<std::uint16_t>(in, in_stride, out, out_stride, width, rows,
                                                   m_channels, *m_grey_table);
        return apply_grey_table<std::uint8_t>(in, in_stride, out, out_stride, width, rows,
                                              m_channels, *m_grey_table);
    case Step::Shaper:
        if (deep && m_channels == 4)
            return apply_shaper<std::uint16_t, 4>(in, in_stride, out, out_stride, width, rows,
                                                  m_matrix, m_linear);
        if (deep)
            return apply_shaper<std::uint16_t, 3>(in, in_stride, out, out_stride, width, rows,
                                                  m_matrix, m_linear);
        if (m_channels == 4)
            return apply_shaper<std::uint8_t, 4>(in, in_stride, out, out_stride, width, rows,
                                                 m_matrix, m_linear);
        return apply_shaper<std::uint8_t, 3>(in, in_stride, out, out_stride, width, rows, m_matrix,
                                             m_linear);
    case Step::Transform:
        cmsDoTransformLineStride(m_transform, in, out, static_cast<cmsUInt32Number>(width),
                                 static_cast<cmsUInt32Number>(rows),
                                 static_cast<cmsUInt32Number>(in_stride),
                                 static_cast<cmsUInt32Number>(out_stride), 0, 0);
        return;
    }
}

CmykToSrgb::CmykToSrgb(std::span<const std::uint8_t> icc, Ink ink)
{
    if (icc.empty())
        return;
    m_conversion = cache().find(icc, std::nullopt);
    if (m_conversion->kind != Conversion::Kind::Cmyk)
        return;
    // LittleCMS reads "reversed" 8-bit CMYK as 255 minus the ink.
    const bool inverted = ink == Ink::Inverted;
    m_transform = cached_transform(*m_conversion, inverted ? 1 : 0,
                                   inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, TYPE_BGR_8);
}

void CmykToSrgb::convert(const std::uint8_t* cmyk, std::uint8_t* bgr, int width) const
{
    cmsDoTransform(m_transform, cmyk, bgr, static_cast<cmsUInt32Number>(width));
}

void to_srgb8(Decoded& decoded)
{
    const SrgbConverter converter(decoded.icc, decoded.nclx, decoded.channels, decoded.bits);
    decoded.icc.clear();
    decoded.nclx.reset();
    if (!converter.converts() && decoded.bits == 8)
        return;
    const bool deep = decoded.bits == 16;
    const std::size_t row_samples = static_cast<std::size_t>(decoded.width) * decoded.channels;
    const void* in = deep ? static_cast<const void*>(decoded.pixels16.data())
                          : static_cast<const void*>(decoded.pixels8.data());
    std::vector<std::uint8_t> out(row_samples * static_cast<std::size_t>(decoded.height));
    // Bands of rows over a few threads: a 12 MP photo is 36 million samples.
    constexpr std::size_t k_band_samples = std::size_t{3} << 20;
    const std::size_t wanted = out.size() / k_band_samples + 1;
    const int bands = static_cast<int>(
        std::min<std::size_t>({wanted, std::max(1u, std::thread::hardware_concurrency()), 8,
                               static_cast<std::size_t>(std::max(decoded.height, 1))}));
    const auto convert_band = [&](int band) {
        const int first = decoded.height * band / bands;
        const int last = decoded.height * (band + 1) / bands;
        const std::size_t in_stride = row_samples * (deep ? 2 : 1);
        converter.convert(static_cast<const std::uint8_t*>(in) + in_stride * first, in_stride,
                          out.data() + row_samples * first, row_samples, decoded.width,
                          last - first);
    };
    {
        std::vector<std::jthread> helpers;
        for (int band = 1; band < bands; ++band)
            helpers.emplace_back(convert_band, band);
        convert_band(0);
    }
    decoded.pixels8 = std::move(out);
    decoded.pixels16 = {};
    decoded.bits = 8;
}

} // namespace decoders
