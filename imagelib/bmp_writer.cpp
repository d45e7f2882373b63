#include "imagelib/bmp_writer.h"

#include "imagelib/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace imgctl {
namespace {

constexpr std::uint32_t k_file_header = 14;
constexpr std::uint32_t k_info_header = 40;

void put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A palette entry with alpha, put on white.
std::uint32_t on_white(std::uint32_t argb)
{
    const unsigned a = argb >> 24;
    std::uint32_t rgb = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const unsigned c = (argb >> shift) & 0xFF;
        rgb |= ((c * a + 255 * (255 - a) + 127) / 255) << shift;
    }
    return rgb;
}

} // namespace

std::size_t bmp_stride(int width, int bit_count)
{
    return (static_cast<std::size_t>(width) * bit_count + 31) / 32 * 4;
}

std::vector<std::uint8_t> bmp_file_start(int width, int height, int bit_count,
                                         std::span<const std::uint32_t> colours,
                                         BmpResolution resolution)
{
    const auto colour_count = static_cast<std::uint32_t>(colours.size());
    const std::uint32_t offset = k_file_header + k_info_header + 4 * colour_count;
    const auto image_size =
        static_cast<std::uint32_t>(bmp_stride(width, bit_count) * static_cast<std::size_t>(height));
    std::vector<std::uint8_t> out;
    out.reserve(offset);
    out.push_back('B');
    out.push_back('M');
    put32(out, offset + image_size);
    put32(out, 0);
    put32(out, offset);
    put32(out, k_info_header);
    put32(out, static_cast<std::uint32_t>(width));
    put32(out, static_cast<std::uint32_t>(height)); // positive: rows bottom-up
    put16(out, 1);
    put16(out, static_cast<std::uint32_t>(bit_count));
    put32(out, 0); // BI_RGB
    put32(out, image_size);
    put32(out, resolution.x);
    put32(out, resolution.y);
    put32(out, colour_count);
    put32(out, 0);
    for (const std::uint32_t entry : colours)
        put32(out, entry & 0xFFFFFF);
    return out;
}

BmpResolution bmp_resolution(const OutputMetadata* metadata)
{
    if (metadata == nullptr || metadata->dpi_x <= 0 || metadata->dpi_y <= 0)
        return {};
    const auto ppm = [](double dpi) {
        return static_cast<std::uint32_t>(std::clamp(std::lround(dpi / 0.0254), 1L, 0x7FFFFFFFL));
    };
    return {ppm(metadata->dpi_x), ppm(metadata->dpi_y)};
}

void encode_bmp(AtomicFile& out, const cv::Mat& colour, BmpResolution resolution)
{
    const cv::Mat bgr = flatten_on_white(colour);
    const std::size_t stride = bmp_stride(bgr.cols, 24);
    out.write(bmp_file_start(bgr.cols, bgr.rows, 24, {}, resolution));
    std::vector<std::uint8_t> row(stride, 0);
    for (int y = bgr.rows - 1; y >= 0; --y) {
        std::memcpy(row.data(), bgr.ptr<std::uint8_t>(y), static_cast<std::size_t>(bgr.cols) * 3);
        out.write(row);
    }
}

void encode_bmp_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette, BmpResolution resolution)
{
    const std::size_t stride = bmp_stride(indices.cols, 8);
    std::vector<std::uint32_t> colours;
    colours.reserve(palette.size());
    for (const std::uint32_t entry : palette)
        colours.push_back(on_white(entry));
    out.write(bmp_file_start(indices.cols, indices.rows, 8, colours, resolution));
    std::vector<std::uint8_t> row(stride, 0);
    for (int y = indices.rows - 1; y >= 0; --y) {
        std::memcpy(row.data(), indices.ptr<std::uint8_t>(y),
                    static_cast<std::size_t>(indices.cols));
        out.write(row);
    }
}

} // namespace imgctl
