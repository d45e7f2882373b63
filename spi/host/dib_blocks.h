// What a plug-in's BITMAPINFO says about the two blocks it hands over: the
// one reading of a header that the helper (which hands over only what the
// picture needs) and the program (which takes the blocks) share. The
// header is taken as 40 bytes, BI_BITFIELDS masks after it, then the colour
// table. All sizes are 64-bit: a plug-in may claim anything.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zumo::spihost {

inline constexpr std::int64_t k_dib_info_header = 40;
inline constexpr std::uint32_t k_dib_bi_rgb = 0;
inline constexpr std::uint32_t k_dib_bi_bitfields = 3;

struct DibLayout
{
    std::int64_t stored_header = 0; // the header's own size field
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bit_count = 0;
    std::uint32_t compression = 0;
    std::int64_t color_count = 0;
    std::int64_t mask_bytes = 0;
    // Where the plug-in's colour table starts: after the whole header, and
    // never inside the masks that follow a 40-byte one (a header of 41 to 51
    // bytes ends inside them).
    std::int64_t table_offset = 0;
    std::int64_t header_size = 0; // 40 + masks + colour table
    std::int64_t image_size = 0;  // padded rows times |height|; 0 beyond the limits
    // The bytes of the info block that the header, masks and table take.
    std::int64_t info_bytes() const { return table_offset + 4 * color_count; }
};

// Reads the first 40 bytes at header.
DibLayout dib_layout(const std::uint8_t* header);

// The header describes a picture the host can show, within the picture
// library's limits, and blocks of info_size and bits_size bytes hold what it
// describes.
bool layout_is_sane(const DibLayout& d, std::size_t info_size, std::size_t bits_size);

} // namespace zumo::spihost
