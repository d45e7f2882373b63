// Colour management for OpenCV pictures: pixels described by an ICC
// profile or by H.273 code points converted to sRGB, for outputs that
// cannot carry the description (BMP, GIF, any output without metadata) and
// for the preview. The conversion itself is the decoders library's
// (imagelib/decoders/srgb.h), which the preview plug-ins share.
#pragma once

#include "imagelib/decoders/decoders.h"
#include "imagelib/decoders/srgb.h"
#include "imagelib/imgctl.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// Pixels converted to 8-bit sRGB. `pixels` is CV_8U or CV_16U (the full
// 0..65535 range) with 1 (grey), 2 (grey + alpha), 3 (BGR) or 4 (BGRA,
// straight alpha) channels; the result has the same channels, 8 bits each.
// Alpha passes through (16-bit alpha rounded to 8 bits). 16-bit pixels go
// through the transform at full precision and are rounded to 8 bits once,
// at the end.
//
// The ICC profile wins over `nclx` when it can be used. Nothing is
// converted when neither describes colours other than sRGB, or the profile
// does not parse, is neither RGB nor grey, or does not fit the pixels (a
// grey profile fits 1 to 4 channels: a grey picture may have been expanded
// to BGR; an RGB profile fits 3 or 4). Then 8-bit pixels come back as they
// are (sharing their data) and 16-bit ones are only rounded to 8 bits.
// Throws only what OpenCV's allocation throws.
cv::Mat to_srgb8(const cv::Mat& pixels, std::span<const std::uint8_t> icc,
                 const std::optional<decoders::Nclx>& nclx = std::nullopt);

// An ICC profile for H.273 code points, for an output that keeps the
// picture's colours as they are; empty for code points that to_srgb8 leaves
// unconverted.
using decoders::icc_for_nclx;

// The colours a profile describes, as far as the encoders care: only an
// RGB profile can go with an RGB output file.
using decoders::profile_space;
using decoders::ProfileSpace;

// Whether a picture's profile stays with its pixels as they are: when the
// output may carry it, unless it is grey (no encoder writes a grey profile
// for colour pixels). Otherwise the pixels are converted to sRGB.
inline bool profile_kept(std::span<const std::uint8_t> icc, Colour colour)
{
    return colour == Colour::KeepProfile && profile_space(icc) != ProfileSpace::Grey;
}

// The ICC profile a BMP file embeds (BITMAPV5HEADER with colour space
// PROFILE_EMBEDDED); empty when it has none or the offset and size do not
// fit in the file.
std::vector<std::uint8_t> bmp_embedded_profile(std::span<const std::uint8_t> file);

} // namespace imgctl
