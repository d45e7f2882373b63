// Size limits that every decoder checks before it allocates pixels, so that
// a file claiming absurd dimensions (a decompression bomb) is refused early.
#pragma once

#include "imagelib/image_error.h"
#include "imagelib/picture_limits.h"

#include <cstdint>

namespace imgctl {

// Throws ImageError("<format>: ...") unless 1 <= width, height <= k_max_side
// and width * height <= k_max_pixels.
inline void check_dimensions(const char* format, std::int64_t width, std::int64_t height)
{
    if (width <= 0 || height <= 0)
        throw ImageError(std::string(format) + ": empty picture");
    if (width > k_max_side || height > k_max_side)
        throw ImageError(std::string(format) + ": side longer than 65535 pixels", Fault::TooLarge);
    if (width * height > k_max_pixels)
        throw ImageError(std::string(format) + ": more than 178 million pixels", Fault::TooLarge);
}

} // namespace imgctl
