// PNG files written by libpng from rows as the file stores them, for tests
// and fuzz seeds that need colour types, depths and chunks the picture
// library's encoder never writes (16-bit samples, grey, tRNS, gAMA).
// Header-only: fuzz/make_seeds.cpp is built apart from the project.
#pragma once

#include <png.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace testsupport {

struct RawPng
{
    int width = 0;
    int height = 0;
    int bit_depth = 8;
    int colour_type = PNG_COLOR_TYPE_RGB;
    std::vector<std::uint8_t> rows{}; // packed rows as PNG stores them, 16-bit samples big-endian
    std::vector<png_color> palette{};
    std::vector<png_byte> alpha{};             // tRNS of a palette
    bool interlaced = false;                   // Adam7
    std::optional<png_color_16> trns_colour{}; // tRNS of a grey or RGB picture
    std::vector<std::uint8_t> icc{};           // iCCP
    std::vector<std::uint8_t> exif{};          // eXIf: the TIFF structure
    std::optional<png_color_16> background{};  // bKGD
    double gamma = 0;                          // gAMA when above 0
};

namespace raw_png_detail {

inline void append(png_structp png, png_bytep data, png_size_t size)
{
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}

// Owns nothing with a destructor: libpng's errors jump back here.
inline bool write(png_structp png, png_infop info, const RawPng& image, png_bytepp rows,
                  std::vector<std::uint8_t>& out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, &out, append, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), image.bit_depth, image.colour_type,
                 image.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (!image.palette.empty())
        png_set_PLTE(png, info, image.palette.data(), static_cast<int>(image.palette.size()));
    if (!image.alpha.empty() || image.trns_colour)
        png_set_tRNS(png, info, image.alpha.empty() ? nullptr : image.alpha.data(),
                     static_cast<int>(image.alpha.size()),
                     image.trns_colour ? &*image.trns_colour : nullptr);
    if (!image.icc.empty())
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, image.icc.data(),
                     static_cast<png_uint_32>(image.icc.size()));
    if (!image.exif.empty())
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(image.exif.size()),
                       const_cast<png_bytep>(image.exif.data()));
    if (image.background)
        png_set_bKGD(png, info, &*image.background);
    if (image.gamma > 0)
        png_set_gAMA(png, info, image.gamma);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

} // namespace raw_png_detail

// Bytes in one stored row of the picture.
inline std::size_t raw_png_row_bytes(const RawPng& image)
{
    const int channels = image.colour_type == PNG_COLOR_TYPE_RGB          ? 3
                         : image.colour_type == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                         : image.colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                          : 1;
    return (static_cast<std::size_t>(image.width) * image.bit_depth * channels + 7) / 8;
}

// The file's bytes. Throws std::runtime_error when libpng refuses the
// picture (rows too short included).
inline std::vector<std::uint8_t> raw_png_bytes(const RawPng& image)
{
    const std::size_t stride = image.height > 0 ? image.rows.size() / image.height : 0;
    const std::size_t row_bytes = raw_png_row_bytes(image);
    if (image.width <= 0 || image.height <= 0 || stride < row_bytes)
        throw std::runtime_error("raw PNG: rows too short for the picture");
    std::vector<png_bytep> rows;
    for (int y = 0; y < image.height; ++y)
        rows.push_back(const_cast<png_bytep>(image.rows.data()) + y * stride);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    std::vector<std::uint8_t> out;
    const bool written =
        info != nullptr && raw_png_detail::write(png, info, image, rows.data(), out);
    png_destroy_write_struct(&png, &info);
    if (!written)
        throw std::runtime_error("raw PNG: libpng refused the picture");
    return out;
}

} // namespace testsupport
