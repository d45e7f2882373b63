// The libpng read set-up that the picture library's PNG decoder and the PNG
// import plug-in share, so that a file previews with the pixels it converts
// with. Header-only: the plug-in is built apart from the library.
#pragma once

#include "imagelib/picture_limits.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

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

// A PNG file held in memory, handed to libpng by read_png_source. An
// ancillary chunk longer than k_png_chunk_limit is passed over before
// libpng sees it: libpng 1.6 would refuse some of them (tEXt) and fail the
// whole file, and copy others. Such chunks are never metadata worth
// keeping (their limits in metadata.h are far lower), so the picture loads
// without them and no copy of them is made. A critical chunk other than
// IDAT over the limit fails the file; libpng bounds IDAT by the picture's
// size itself.
struct PngSource
{
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
    std::size_t next_chunk = 8; // where the next chunk starts, after the signature
};

namespace png_detail {

inline std::uint32_t chunk_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// At a chunk start: passes over oversized ancillary chunks and notes where
// the chunk libpng gets next ends. A chunk that runs past the end of the
// file is handed on as it is, for libpng to find the file truncated.
inline void enter_chunk(png_structp png, PngSource& source)
{
    constexpr std::uint64_t k_frame = 12; // length, type, CRC
    while (source.data.size() - source.at >= 8) {
        const std::uint8_t* header = source.data.data() + source.at;
        const std::uint64_t length = chunk_be32(header);
        const std::uint64_t end = source.at + k_frame + length;
        const bool ancillary = (header[4] & 0x20) != 0;
        const bool idat = std::memcmp(header + 4, "IDAT", 4) == 0;
        // A type that is not four letters is libpng's to refuse.
        const bool named = std::all_of(header + 4, header + 8, [](std::uint8_t c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        });
        if (length <= k_png_chunk_limit || idat || !named || end > source.data.size()) {
            source.next_chunk = static_cast<std::size_t>(std::min<std::uint64_t>(end, SIZE_MAX));
            return;
        }
        if (!ancillary) {
            char message[80];
            std::snprintf(message, sizeof message, "%.4s chunk of %llu bytes is too large",
                          reinterpret_cast<const char*>(header + 4),
                          static_cast<unsigned long long>(length));
            png_error(png, message);
        }
        source.at = static_cast<std::size_t>(end);
    }
    source.next_chunk = SIZE_MAX;
}

} // namespace png_detail

// The read function for png_set_read_fn with a PngSource as its pointer.
inline void read_png_source(png_structp png, png_bytep out, png_size_t length)
{
    auto& source = *static_cast<PngSource*>(png_get_io_ptr(png));
    while (length > 0) {
        if (source.at == source.next_chunk)
            png_detail::enter_chunk(png, source);
        const std::size_t left = source.data.size() - source.at;
        const std::size_t in_chunk = source.next_chunk - source.at;
        const std::size_t n = std::min({length, left, in_chunk});
        if (n == 0)
            png_error(png, "file truncated");
        std::memcpy(out, source.data.data() + source.at, n);
        source.at += n;
        out += n;
        length -= n;
    }
}

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
