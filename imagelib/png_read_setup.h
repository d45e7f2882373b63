// The libpng read set-up that the picture library's PNG decoder and the PNG
// import plug-in share, so that a file previews with the pixels it converts
// with. Header-only: the plug-in is built apart from the library.
#pragma once

#include "imagelib/picture_limits.h"

#include <png.h>

#include <cstdlib>

namespace imgctl {

inline constexpr png_alloc_size_t k_png_chunk_limit = 16u << 20;

// The most libpng itself ever needs at once while reading within the limits:
// a chunk of k_png_chunk_limit bytes and its terminating zero. Its row
// buffers (a row of k_max_side 16-bit RGBA samples, 512 KiB) stay far below.
inline constexpr png_alloc_size_t k_png_allocation_limit = k_png_chunk_limit + (1u << 16);

namespace png_detail {

// libpng 1.6 only warns about an ancillary chunk longer than the chunk limit
// and then allocates the length it claims all the same: a tEXt chunk of a
// few bytes that claims 1.8 GB got 1.8 GB. A refused allocation makes libpng
// skip that chunk (and the truncated file then fails where it ends).
inline png_voidp bounded_malloc(png_structp, png_alloc_size_t size)
{
    return size > k_png_allocation_limit ? nullptr : std::malloc(size);
}

inline void bounded_free(png_structp, png_voidp block)
{
    std::free(block);
}

} // namespace png_detail

// A libpng reader whose every allocation is bounded; nullptr when out of
// memory. Errors and warnings go to on_error and on_warning.
inline png_structp create_png_reader(png_voidp error_data, png_error_ptr on_error,
                                     png_error_ptr on_warning)
{
    return png_create_read_struct_2(PNG_LIBPNG_VER_STRING, error_data, on_error, on_warning,
                                    nullptr, png_detail::bounded_malloc, png_detail::bounded_free);
}

// Before png_read_info: libpng refuses wider or taller pictures before it
// allocates rows, and ancillary chunks larger than the chunk limit.
inline void limit_png_read(png_structp png)
{
    png_set_user_limits(png, static_cast<png_uint_32>(k_max_side),
                        static_cast<png_uint_32>(k_max_side));
    png_set_chunk_malloc_max(png, k_png_chunk_limit);
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
