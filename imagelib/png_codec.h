// PNG through libpng: every colour type and bit depth read (16-bit samples
// rounded to 8, alpha kept), written as RGB, RGBA or palette, interlaced
// (Adam7) on request.
#pragma once

#include "imagelib/atomic_file.h"

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

enum class Interlace { Off, On };

bool looks_like_png(const std::vector<std::uint8_t>& bytes);

// BGR (CV_8UC3) or BGRA (CV_8UC4). Throws ImageError("PNG: ...").
cv::Mat decode_png(const std::vector<std::uint8_t>& bytes);

// Colour pixels, BGR or BGRA.
void encode_png(AtomicFile& out, const cv::Mat& colour, Interlace interlace);
// Palette pixels: indices CV_8UC1, palette 0xAARRGGBB.
void encode_png_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette, Interlace interlace);

} // namespace imgctl
