// The libpng read set-up that the picture library's PNG decoder and the PNG
// import plug-in share, so that a file previews with the pixels it converts
// with. Header-only: the plug-in is built apart from the library.
#pragma once

#include "imagelib/picture_limits.h"

#include <png.h>

namespace imgctl {

// Before png_read_info: libpng refuses wider or taller pictures before it
// allocates rows, and ancillary chunks larger than 16 MiB.
inline void limit_png_read(png_structp png)
{
    png_set_user_limits(png, static_cast<png_uint_32>(k_max_side),
                        static_cast<png_uint_32>(k_max_side));
    png_set_chunk_malloc_max(png, 16u << 20);
}

// After png_read_info: 8-bit BGR, or BGRA when the file has alpha or tRNS,
// from any colour type and depth (16-bit samples scaled, grey to RGB,
// palette expanded), interlace passes combined. No gamma correction: the
// samples are taken as stored, whatever gAMA says.
inline void set_png_read_transforms(png_structp png)
{
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
}

} // namespace imgctl
