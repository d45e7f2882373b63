#include "imagelib/quantize.h"

#include "imagelib/imgctl.h"

#include <memory>
#include <unordered_map>

#include <libimagequant.h>
#include <opencv2/imgproc.hpp>

namespace imgctl {
namespace {

struct LiqDeleter {
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

Quantized quantize(const cv::Mat& colour)
{
    cv::Mat rgba;
    cv::cvtColor(colour, rgba, colour.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGBA);
    LiqPtr<liq_attr> attr(liq_attr_create());
    if (!attr)
        throw std::bad_alloc();
    liq_set_speed(attr.get(), k_speed);
    liq_set_max_colors(attr.get(), 256);
    LiqPtr<liq_image> image(liq_image_create_rgba(attr.get(), rgba.data, rgba.cols, rgba.rows, 0));
    if (!image)
        throw ImageError("colour reduction: cannot take the picture");
    liq_result* raw = nullptr;
    if (liq_image_quantize(image.get(), attr.get(), &raw) != LIQ_OK || raw == nullptr)
        throw ImageError("colour reduction failed");
    LiqPtr<liq_result> result(raw);
    liq_set_dithering_level(result.get(), 1.0f);
    Quantized out;
    out.indices.create(colour.rows, colour.cols, CV_8UC1);
    if (liq_write_remapped_image(result.get(), image.get(), out.indices.data, out.indices.total()) != LIQ_OK)
        throw ImageError("colour reduction: remapping failed");
    const liq_palette* palette = liq_get_palette(result.get());
    for (unsigned i = 0; i < palette->count; ++i) {
        const liq_color c = palette->entries[i];
        out.palette.push_back((std::uint32_t{c.a} << 24) | (c.r << 16) | (c.g << 8) | c.b);
    }
    return out;
}

Quantized reduce_colours(const cv::Mat& colour)
{
    if (auto exact = exact_palette(colour))
        return std::move(*exact);
    return quantize(colour);
}

} // namespace imgctl
