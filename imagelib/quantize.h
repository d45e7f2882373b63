// Reduction to at most 256 colours with a palette.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

struct Quantized
{
    cv::Mat indices;                    // CV_8UC1
    std::vector<std::uint32_t> palette; // 0xAARRGGBB, at most 256 entries
};

// The picture's own colours, when there are at most 256 of them.
std::optional<Quantized> exact_palette(const cv::Mat& colour);

// libimagequant with Floyd-Steinberg dithering. Throws ImageError.
Quantized quantize(const cv::Mat& colour);

// exact_palette when it fits, quantize otherwise.
Quantized reduce_colours(const cv::Mat& colour);

} // namespace imgctl
