#include "imagelib/quantize.h"

#include "imagelib/image_error.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <unordered_map>

#include <libimagequant.h>
#include <opencv2/imgproc.hpp>

namespace imgctl {
namespace {

struct LiqDeleter
{
    void operator()(liq_attr* p) const { liq_attr_destroy(p); }
    void operator()(liq_image* p) const { liq_image_destroy(p); }
    void operator()(liq_result* p) const { liq_result_destroy(p); }
};
template <typename T> using LiqPtr = std::unique_ptr<T, LiqDeleter>;

// Speed 1 is the slowest and best, 10 the fastest. At 8 the palette of a
// photograph is found in a fraction of the default's time and dithering
// hides the difference.
constexpr int k_speed = 8;

std::uint32_t pixel_key(const std::uint8_t* p, int channels)
{
    const std::uint32_t alpha = channels == 4 ? p[3] : 0xFF;
    return (alpha << 24) | (p[2] << 16) | (p[1] << 8) | p[0];
}

// Nearest palette entry for a colour, cached per 6-bit-per-channel cell:
// a photograph touches far fewer cells than it has pixels, and the error
// of using the cell's centre is diffused like any other.
class NearestColour
{
public:
    explicit NearestColour(const std::vector<std::uint32_t>& palette)
        : m_palette(palette), m_cache(1 << 18, -1)
    {
    }

    int operator()(int b, int g, int r)
    {
        const int key = ((b >> 2) << 12) | ((g >> 2) << 6) | (r >> 2);
        if (m_cache[static_cast<std::size_t>(key)] < 0)
            m_cache[static_cast<std::size_t>(key)] =
                static_cast<std::int16_t>(search((b | 2) & ~1, (g | 2) & ~1, (r | 2) & ~1));
        return m_cache[static_cast<std::size_t>(key)];
    }

private:
    // Green weighs most and blue least, roughly as the eye sees them.
    int search(int b, int g, int r) const
    {
        int best = 0;
        int best_distance = INT32_MAX;
        for (std::size_t i = 0; i < m_palette.size(); ++i) {
            const int db = static_cast<int>(m_palette[i] & 0xFF) - b;
            const int dg = static_cast<int>((m_palette[i] >> 8) & 0xFF) - g;
            const int dr = static_cast<int>((m_palette[i] >> 16) & 0xFF) - r;
            const int distance = 2 * db * db + 4 * dg * dg + 3 * dr * dr;
            if (distance < best_distance) {
                best_distance = distance;
                best = static_cast<int>(i);
            }
        }
        return best;
    }

    const std::vector<std::uint32_t>& m_palette;
    std::vector<std::int16_t> m_cache;
};

std::uint8_t clamp_byte(int v)
{
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Floyd-Steinberg error diffusion in serpentine order, errors in 1/16 units.
cv::Mat dither(const cv::Mat& bgr, const std::vector<std::uint32_t>& palette)
{
    NearestColour nearest(palette);
    cv::Mat out(bgr.rows, bgr.cols, CV_8UC1);
    const int width = bgr.cols;
    std::vector<int> current(static_cast<std::size_t>(width + 2) * 3, 0);
    std::vector<int> next(current.size(), 0);
    for (int y = 0; y < bgr.rows; ++y) {
        const bool forward = y % 2 == 0;
        const int step = forward ? 1 : -1;
        const std::uint8_t* in = bgr.ptr<std::uint8_t>(y);
        std::uint8_t* dst = out.ptr<std::uint8_t>(y);
        std::fill(next.begin(), next.end(), 0);
        for (int i = 0; i < width; ++i) {
            const int x = forward ? i : width - 1 - i;
            int* err = &current[static_cast<std::size_t>(x + 1) * 3];
            int value[3];
            for (int c = 0; c < 3; ++c)
                value[c] = clamp_byte(in[x * 3 + c] + (err[c] + 8) / 16);
            const int index = nearest(value[0], value[1], value[2]);
            dst[x] = static_cast<std::uint8_t>(index);
            const std::uint32_t chosen = palette[static_cast<std::size_t>(index)];
            for (int c = 0; c < 3; ++c) {
                const int e = value[c] - static_cast<int>((chosen >> (8 * c)) & 0xFF);
                const std::ptrdiff_t side = static_cast<std::ptrdiff_t>(step) * 3;
                err[side + c] += e * 7;
                int* below = &next[static_cast<std::size_t>(x + 1) * 3 + c];
                below[-side] += e * 3;
                below[0] += e * 5;
                below[side] += e;
            }
        }
        std::swap(current, next);
    }
    return out;
}

} // namespace

std::optional<Quantized> exact_palette(const cv::Mat& colour)
{
    const int channels = colour.channels();
    std::unordered_map<std::uint32_t, std::uint8_t> index_of;
    Quantized out;
    out.indices.create(colour.rows, colour.cols, CV_8UC1);
    for (int y = 0; y < colour.rows; ++y) {
        const std::uint8_t* p = colour.ptr<std::uint8_t>(y);
        std::uint8_t* dst = out.indices.ptr<std::uint8_t>(y);
        for (int x = 0; x < colour.cols; ++x, p += channels) {
            const std::uint32_t key = pixel_key(p, channels);
            auto it = index_of.find(key);
            if (it == index_of.end()) {
                if (out.palette.size() == 256)
                    return std::nullopt;
                it = index_of.emplace(key, static_cast<std::uint8_t>(out.palette.size())).first;
                out.palette.push_back(key);
            }
            dst[x] = it->second;
        }
    }
    return out;
}

namespace {

struct LiqRun
{
    LiqPtr<liq_attr> attr;
    cv::Mat rgba; // must outlive image
    LiqPtr<liq_image> image;
    LiqPtr<liq_result> result;
};

// Runs libimagequant's palette search on a picture.
LiqRun find_palette(const cv::Mat& colour)
{
    LiqRun run;
    cv::cvtColor(colour, run.rgba,
                 colour.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGBA);
    run.attr.reset(liq_attr_create());
    if (!run.attr)
        throw std::bad_alloc();
    liq_set_speed(run.attr.get(), k_speed);
    liq_set_max_colors(run.attr.get(), 256);
    run.image.reset(
        liq_image_create_rgba(run.attr.get(), run.rgba.data, run.rgba.cols, run.rgba.rows, 0));
    if (!run.image)
        throw ImageError("colour reduction: cannot take the picture");
    liq_result* raw = nullptr;
    if (liq_image_quantize(run.image.get(), run.attr.get(), &raw) != LIQ_OK || raw == nullptr)
        throw ImageError("colour reduction failed");
    run.result.reset(raw);
    liq_set_dithering_level(run.result.get(), 1.0f);
    return run;
}

std::vector<std::uint32_t> palette_of(liq_result* result)
{
    const liq_palette* palette = liq_get_palette(result);
    std::vector<std::uint32_t> out;
    for (unsigned i = 0; i < palette->count; ++i) {
        const liq_color c = palette->entries[i];
        out.push_back((std::uint32_t{c.a} << 24) | (c.r << 16) | (c.g << 8) | c.b);
    }
    return out;
}

// The palette of a large picture is found on a reduced copy: a palette
// depends on the colour distribution, which area reduction keeps, and the
// search time falls with the pixel count.
cv::Mat palette_sample(const cv::Mat& bgr)
{
    constexpr double k_sample_pixels = 500'000;
    const double pixels = static_cast<double>(bgr.total());
    if (pixels <= 2 * k_sample_pixels)
        return bgr;
    const double scale = std::sqrt(k_sample_pixels / pixels);
    cv::Mat sample;
    cv::resize(bgr, sample, cv::Size(), scale, scale, cv::INTER_AREA);
    return sample;
}

} // namespace

// Opaque pictures: libimagequant's palette, then our own cached-lookup
// Floyd-Steinberg, several times faster than libimagequant's remapping.
// Pictures with alpha go all the way through libimagequant, which weighs
// transparency in its palette and its dithering.
Quantized quantize(const cv::Mat& colour)
{
    Quantized out;
    if (colour.channels() == 3) {
        const LiqRun run = find_palette(palette_sample(colour));
        out.palette = palette_of(run.result.get());
        out.indices = dither(colour, out.palette);
        return out;
    }
    const LiqRun run = find_palette(colour);
    out.indices.create(colour.rows, colour.cols, CV_8UC1);
    if (liq_write_remapped_image(run.result.get(), run.image.get(), out.indices.data,
                                 out.indices.total()) != LIQ_OK)
        throw ImageError("colour reduction: remapping failed");
    out.palette = palette_of(run.result.get());
    return out;
}

Quantized reduce_colours(const cv::Mat& colour)
{
    if (auto exact = exact_palette(colour))
        return std::move(*exact);
    return quantize(colour);
}

} // namespace imgctl
