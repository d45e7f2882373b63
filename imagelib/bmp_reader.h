// The BMP (Windows DIB) reader, shared by the picture library and the
// plug-in host. Every byte is untrusted: any fault throws imgctl::ImageError
// naming the fault; nothing is read outside the given spans.
#pragma once

#include "imagelib/image_error.h"

#include <cstdint>
#include <span>
#include <vector>

namespace imgctl {

struct DecodedBmp
{
    std::int32_t width = 0;
    std::int32_t height = 0;             // always positive; rows below are top-down
    std::int32_t bit_count = 0;          // as stored: 1, 4, 8, 16, 24 or 32
    std::vector<std::uint32_t> palette;  // 0x00RRGGBB entries, for 1, 4 and 8 bits
    std::vector<std::uint8_t> bgra;      // width * height * 4 bytes, top-down
    bool has_alpha = false;              // a 32-bit picture whose alpha is used
    std::int32_t x_pixels_per_metre = 0; // resolution as stated; 0 when none (or OS/2 core)
    std::int32_t y_pixels_per_metre = 0;
    // For 1, 4 and 8 bits: width * height palette indices, top-down, each
    // below palette.size() (the table has 2^bit_count entries; entries the
    // file did not hold are black). Empty for deeper pictures.
    std::vector<std::uint8_t> indices;
};

// A whole .bmp file: BITMAPFILEHEADER, then the info header.
DecodedBmp read_bmp(std::span<const std::uint8_t> file);

// A packed or split DIB as plug-ins and clipboards hand it over: the
// BITMAPINFO (header plus colour table) and the pixel bits apart.
DecodedBmp read_dib(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits);

} // namespace imgctl
