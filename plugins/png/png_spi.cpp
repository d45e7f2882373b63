// Import plug-in for PNG through libpng's full reading interface, set up as
// the picture library's decoder is (imagelib/png_read_setup.h: 8-bit BGR or
// BGRA, no gamma correction), so a file previews with the pixels it
// converts with.
// libpng's simplified interface is not used: Debian 12's libpng decodes
// 16-bit interlaced files wrongly through it, and it applies gAMA.
#include "imagelib/png_read_setup.h"
#include "plugins/common/plugin_kit.h"

#include <png.h>

#include <cstdio>
#include <cstring>

namespace {

bool is_png(const std::uint8_t* head)
{
    return png_sig_cmp(head, 0, 8) == 0;
}

struct Source
{
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
};

void read_source(png_structp png, png_bytep out, png_size_t length)
{
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    if (length > source->data.size() - source->at)
        png_error(png, "file truncated");
    std::memcpy(out, source->data.data() + source->at, length);
    source->at += length;
}

// Errors jump back to the function that called setjmp; those own nothing
// with a destructor and return false.
void on_error(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct Reader
{
    explicit Reader(std::span<const std::uint8_t> data) : source{data}
    {
        png = imgctl::create_png_reader(nullptr, on_error, on_warning);
        if (png)
            info = png_create_info_struct(png);
    }
    ~Reader() { png_destroy_read_struct(&png, &info, nullptr); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    png_structp png = nullptr;
    png_infop info = nullptr;
    Source source;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int channels = 0;
};

// Reads the header and sets up the transforms to 8-bit BGR or BGRA.
bool read_info(Reader& r)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_set_read_fn(r.png, &r.source, read_source);
    imgctl::limit_png_read(r.png);
    png_read_info(r.png, r.info);
    r.width = png_get_image_width(r.png, r.info);
    r.height = png_get_image_height(r.png, r.info);
    imgctl::set_png_read_transforms(r.png);
    png_read_update_info(r.png, r.info);
    r.channels = png_get_channels(r.png, r.info);
    return true;
}

bool read_rows(Reader& r, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_read_image(r.png, rows);
    return true;
}

// SUSIE_OK with the reader past the header, or the code to return.
int open(Reader& r, std::span<const std::uint8_t> data)
{
    if (data.size() < 8 || !is_png(data.data()))
        return SUSIE_UNKNOWN_FORMAT;
    if (!r.png || !r.info)
        return SUSIE_NO_MEMORY;
    if (!read_info(r) || (r.channels != 3 && r.channels != 4))
        return SUSIE_BROKEN_DATA;
    return SUSIE_OK;
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    Reader r(data);
    if (int result = open(r, data); result != SUSIE_OK)
        return result;
    header.width = static_cast<std::int32_t>(r.width);
    header.height = static_cast<std::int32_t>(r.height);
    header.bit_count = r.channels * 8;
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    Reader r(data);
    if (int result = open(r, data); result != SUSIE_OK)
        return result;
    if (!spikit::size_acceptable(r.width, r.height))
        return SUSIE_NO_MEMORY;
    const std::size_t stride = static_cast<std::size_t>(r.width) * r.channels;
    picture.width = static_cast<std::int32_t>(r.width);
    picture.height = static_cast<std::int32_t>(r.height);
    picture.bit_count = r.channels * 8;
    picture.pixels.resize(stride * r.height);
    std::vector<png_bytep> rows(r.height);
    for (png_uint_32 y = 0; y < r.height; ++y)
        rows[y] = picture.pixels.data() + y * stride;
    return read_rows(r, rows.data()) ? SUSIE_OK : SUSIE_BROKEN_DATA;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo PNG plug-in (libpng " PNG_LIBPNG_VER_STRING ")", {{"*.png", "PNG file"}}},
    is_png,
    read_header,
    decode};
