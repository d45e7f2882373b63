#include "spi/host/dib_blocks.h"

#include "imagelib/picture_limits.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace zumo::spihost {
namespace {

template <typename T> T read_le(const std::uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

} // namespace

DibLayout dib_layout(const std::uint8_t* header)
{
    DibLayout d;
    d.stored_header = read_le<std::uint32_t>(header);
    d.width = read_le<std::int32_t>(header + 4);
    d.height = read_le<std::int32_t>(header + 8);
    d.bit_count = read_le<std::uint16_t>(header + 14);
    d.compression = read_le<std::uint32_t>(header + 16);
    const std::uint32_t used = read_le<std::uint32_t>(header + 32);
    d.color_count = used != 0          ? used
                    : d.bit_count == 1 ? 2
                    : d.bit_count == 4 ? 16
                    : d.bit_count == 8 ? 256
                                       : 0;
    d.mask_bytes = d.compression == k_dib_bi_bitfields ? 12 : 0;
    d.table_offset = std::max(d.stored_header, k_dib_info_header + d.mask_bytes);
    d.header_size = k_dib_info_header + d.mask_bytes + 4 * d.color_count;
    // Only sizes within the limits are multiplied: 32-bit sides times a
    // 32-bit stride overflow even 64 bits. Others are refused anyway.
    const std::int64_t rows = d.height < 0 ? -static_cast<std::int64_t>(d.height) : d.height;
    if (imgctl::size_within_limits(d.width, rows)) {
        const std::int64_t stride = ((std::int64_t{d.width} * d.bit_count + 31) / 32) * 4;
        d.image_size = stride * rows;
    }
    return d;
}

bool layout_is_sane(const DibLayout& d, std::size_t info_size, std::size_t bits_size)
{
    static constexpr std::array<std::uint16_t, 6> depths{1, 4, 8, 16, 24, 32};
    if (d.stored_header < k_dib_info_header ||
        std::find(depths.begin(), depths.end(), d.bit_count) == depths.end())
        return false;
    if (d.compression != k_dib_bi_rgb &&
        !(d.compression == k_dib_bi_bitfields && (d.bit_count == 16 || d.bit_count == 32)))
        return false;
    const std::int64_t rows = d.height < 0 ? -static_cast<std::int64_t>(d.height) : d.height;
    if (!imgctl::size_within_limits(d.width, rows) || d.color_count > 256)
        return false;
    return info_size >= static_cast<std::size_t>(k_dib_info_header) &&
           d.info_bytes() <= static_cast<std::int64_t>(info_size) &&
           d.image_size <= static_cast<std::int64_t>(bits_size);
}

} // namespace zumo::spihost
