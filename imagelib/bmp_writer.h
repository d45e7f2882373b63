// The BMP writer: bottom-up rows, BITMAPINFOHEADER, 24 bits per pixel for
// colour and 8 bits with a colour table for palette pictures. BMP has no
// alpha here: transparent pixels are put on white.
#pragma once

#include "imagelib/atomic_file.h"
#include "imagelib/metadata.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// 96 dpi, what a BMP states when the source told no resolution.
inline constexpr std::uint32_t k_96_dpi_in_ppm = 3780; // pixels per metre

// The resolution a BMP states, in pixels per metre across and down; a
// scanner or fax picture may have different ones.
struct BmpResolution
{
    constexpr BmpResolution(std::uint32_t both = k_96_dpi_in_ppm) : x(both), y(both) {}
    constexpr BmpResolution(std::uint32_t across, std::uint32_t down) : x(across), y(down) {}
    std::uint32_t x;
    std::uint32_t y;
};

// The resolution of the metadata written with a picture (dots per inch,
// each rounded to whole pixels per metre), 96 dpi when it states none.
BmpResolution bmp_resolution(const OutputMetadata* metadata);

// BGR or BGRA pixels.
void encode_bmp(AtomicFile& out, const cv::Mat& colour, BmpResolution resolution = {});
// Indices CV_8UC1 into a palette of at most 256 entries 0xAARRGGBB.
void encode_bmp_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette, BmpResolution resolution = {});

// Bytes of one stored row of a BMP: width pixels padded to 4 bytes.
std::size_t bmp_stride(int width, int bit_count);
// The start of a bottom-up, uncompressed .bmp file: BITMAPFILEHEADER,
// BITMAPINFOHEADER and the colour table (entries 0x00RRGGBB). height rows
// of bmp_stride bytes, the last row first, complete the file.
std::vector<std::uint8_t> bmp_file_start(int width, int height, int bit_count,
                                         std::span<const std::uint32_t> colours,
                                         BmpResolution resolution);

} // namespace imgctl
