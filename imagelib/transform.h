// Pixel work on colour (CV_8UC3/CV_8UC4) and index (CV_8UC1) matrices.
// Angles turn clockwise for positive values, as an image viewer's
// "rotate right" does.
#pragma once

#include "imagelib/imgctl.h"

#include <opencv2/core.hpp>

namespace imgctl {

// Quarter turns clockwise (any integer, taken modulo 4). Exact, no filtering.
cv::Mat turn_quarters(const cv::Mat& pixels, int quarters);

// Turns by `degrees` clockwise with bilinear filtering. The canvas grows to
// hold the whole turned picture; uncovered area takes `background`
// (COLORREF 0x00BBGGRR, opaque). Right angles are exact. A non-empty
// `canvas` sets the canvas size instead (the picture stays centred), for a
// picture reduced before its turn that must land on the size promised.
cv::Mat turn_any(const cv::Mat& colour, double degrees, COLORREF background, cv::Size canvas = {});

// Canvas size after turning width x height by `degrees`.
cv::Size turned_size(int width, int height, double degrees);

// Bicubic when the picture grows in both directions; otherwise a box
// shrink to about twice the target and Lanczos3 (see resample.h).
// Transparent pixels do not bleed their colour into neighbours.
cv::Mat resize_colour(const cv::Mat& colour, cv::Size size);

} // namespace imgctl
