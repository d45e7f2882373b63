// The one set of picture size limits. The picture library's decoders and
// operations, the plug-in host, the preview's JPEG decoder and the shipped
// plug-ins all refuse the same pictures, so a picture that converts can be
// previewed and one the preview refuses is refused up front, not later with
// another decoder's message. Plain constants without dependencies, so that
// plug-ins built apart from the program include it too.
#pragma once

#include <cstdint>

namespace imgctl {

inline constexpr std::int64_t k_max_side = 65535;
inline constexpr std::int64_t k_max_pixels = 178'000'000;

// 1 <= width, height <= k_max_side and width * height <= k_max_pixels.
// Computed in 64 bits: any two 32-bit sides are safe to pass.
constexpr bool size_within_limits(std::int64_t width, std::int64_t height)
{
    return width > 0 && height > 0 && width <= k_max_side && height <= k_max_side &&
           width * height <= k_max_pixels;
}

} // namespace imgctl
