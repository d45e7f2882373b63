// The BMP writer: bottom-up rows, BITMAPINFOHEADER, 24 bits per pixel for
// colour and 8 bits with a colour table for palette pictures. BMP has no
// alpha here: transparent pixels are put on white.
#pragma once

#include "imagelib/atomic_file.h"

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// BGR or BGRA pixels.
void encode_bmp(AtomicFile& out, const cv::Mat& colour);
// Indices CV_8UC1 into a palette of at most 256 entries 0xAARRGGBB.
void encode_bmp_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette);

} // namespace imgctl
