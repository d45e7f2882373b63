// The yardstick for reductions: a plain float Lanczos3 of the full-size
// picture, and SSIM to score a reduced picture against it. Written for
// clarity, not speed, and shares no code with the picture library's filter.
#pragma once

#include <opencv2/core.hpp>

namespace bench {

// Float Lanczos3 of 8-bit BGR pixels to `size` (CV_32FC3, values 0..255).
// The kernel is widened by the reduction; pixel centres line up as
// (j + 0.5) * in / out - 0.5; the edge pixels are repeated.
cv::Mat reference_lanczos3(const cv::Mat& bgr, cv::Size size);

// Mean SSIM of two pictures of one size with three channels (any depth,
// values 0..255): per channel with an 11x11 Gaussian window (sigma 1.5),
// K1 0.01, K2 0.03, averaged over the pixels and then the three channels.
double mean_ssim(const cv::Mat& a, const cv::Mat& b);

} // namespace bench
