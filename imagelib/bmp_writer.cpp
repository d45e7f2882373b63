#include "imagelib/bmp_writer.h"

#include "imagelib/picture.h"

#include <cstring>

namespace imgctl {
namespace {

constexpr std::uint32_t k_file_header = 14;
constexpr std::uint32_t k_info_header = 40;
constexpr std::uint32_t k_96_dpi = 3780; // pixels per metre

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

std::vector<std::uint8_t> headers(int width, int height, int bit_count, std::uint32_t colours,
                                  std::size_t stride)
{
    const std::uint32_t offset = k_file_header + k_info_header + 4 * colours;
    const auto image_size = static_cast<std::uint32_t>(stride * static_cast<std::size_t>(height));
    std::vector<std::uint8_t> out;
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
    put32(out, k_96_dpi);
    put32(out, k_96_dpi);
    put32(out, colours);
    put32(out, 0);
    return out;
}

std::size_t stride_for(int width, int bit_count)
{
    return (static_cast<std::size_t>(width) * bit_count + 31) / 32 * 4;
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

void encode_bmp(AtomicFile& out, const cv::Mat& colour)
{
    const cv::Mat bgr = flatten_on_white(colour);
    const std::size_t stride = stride_for(bgr.cols, 24);
    out.write(headers(bgr.cols, bgr.rows, 24, 0, stride));
    std::vector<std::uint8_t> row(stride, 0);
    for (int y = bgr.rows - 1; y >= 0; --y) {
        std::memcpy(row.data(), bgr.ptr<std::uint8_t>(y), static_cast<std::size_t>(bgr.cols) * 3);
        out.write(row);
    }
}

void encode_bmp_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette)
{
    const std::size_t stride = stride_for(indices.cols, 8);
    std::vector<std::uint8_t> head =
        headers(indices.cols, indices.rows, 8, static_cast<std::uint32_t>(palette.size()), stride);
    for (const std::uint32_t entry : palette)
        put32(head, on_white(entry));
    out.write(head);
    std::vector<std::uint8_t> row(stride, 0);
    for (int y = indices.rows - 1; y >= 0; --y) {
        std::memcpy(row.data(), indices.ptr<std::uint8_t>(y),
                    static_cast<std::size_t>(indices.cols));
        out.write(row);
    }
}

} // namespace imgctl
