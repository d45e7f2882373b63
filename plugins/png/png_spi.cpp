// Import plug-in for PNG through libpng's full reading interface, set up as
// the picture library's decoder is (imagelib/png_read_setup.h: 8-bit BGR or
// BGRA, no gamma correction), so a file previews with the pixels it
// converts with, and upright from its eXIf orientation as the conversion
// turns it.
// libpng's simplified interface is not used: Debian 12's libpng decodes
// 16-bit interlaced files wrongly through it, and it applies gAMA.
#include "imagelib/png_read_setup.h"
#include "plugins/common/plugin_kit.h"

#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace {

bool is_png(const std::uint8_t* head)
{
    return png_sig_cmp(head, 0, 8) == 0;
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
    imgctl::PngSource source;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int channels = 0;
    // The bytes of the image's filtered rows as stored (non-interlaced),
    // before inflating.
    std::uint64_t stored_bytes = 0;
};

// Reads the header and sets up the transforms to 8-bit BGR or BGRA.
bool read_info(Reader& r)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_set_read_fn(r.png, &r.source, imgctl::read_png_source);
    imgctl::limit_png_read(r.png);
    png_read_info(r.png, r.info);
    r.width = png_get_image_width(r.png, r.info);
    r.height = png_get_image_height(r.png, r.info);
    const std::uint64_t row_bits =
        std::uint64_t{r.width} * png_get_channels(r.png, r.info) * png_get_bit_depth(r.png, r.info);
    r.stored_bytes = std::uint64_t{r.height} * (1 + (row_bits + 7) / 8);
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

std::uint32_t be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// The orientation of the first eXIf chunk whose CRC holds, before or after
// the pixels (libpng keeps the same one for the conversion), found by
// walking the chunks, so that the header reports the upright size without
// decoding. 1 when there is none.
int exif_orientation_of(std::span<const std::uint8_t> data)
{
    std::size_t at = 8;
    while (data.size() - at >= 12) {
        const std::uint32_t length = be32(&data[at]);
        if (length > data.size() - at - 12)
            return 1;
        const std::uint8_t* type = &data[at + 4];
        if (std::memcmp(type, "IEND", 4) == 0)
            return 1;
        const std::uint32_t crc = be32(&data[at + 8 + length]);
        if (std::memcmp(type, "eXIf", 4) == 0 && crc32(0, type, length + 4) == crc)
            return imgctl::exif_orientation({type + 4, length});
        at += 12 + std::size_t{length};
    }
    return 1;
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
    spikit::orient_header(header, exif_orientation_of(data));
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    Reader r(data);
    if (int result = open(r, data); result != SUSIE_OK)
        return result;
    if (!spikit::size_acceptable(r.width, r.height))
        return SUSIE_NO_MEMORY;
    // The rows are deflated inside the file: it cannot hold more than zlib's
    // ratio allows (an interlaced image stores a little more, never less).
    if (!spikit::data_can_hold(data.size(), r.stored_bytes, spikit::k_deflate_ratio))
        return SUSIE_BROKEN_DATA;
    const std::size_t stride = static_cast<std::size_t>(r.width) * r.channels;
    picture.width = static_cast<std::int32_t>(r.width);
    picture.height = static_cast<std::int32_t>(r.height);
    picture.bit_count = r.channels * 8;
    picture.pixels.allocate(stride * r.height);
    std::vector<png_bytep> rows(r.height);
    for (png_uint_32 y = 0; y < r.height; ++y)
        rows[y] = picture.pixels.data() + y * stride;
    if (!read_rows(r, rows.data()))
        return SUSIE_BROKEN_DATA;
    spikit::orient(picture, exif_orientation_of(data));
    return SUSIE_OK;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo PNG plug-in (libpng " PNG_LIBPNG_VER_STRING ")", {{"*.png", "PNG file"}}},
    is_png,
    read_header,
    decode};
