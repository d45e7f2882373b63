// Import plug-in for PNG through libpng's simplified reading interface.
#include "plugins/common/plugin_kit.h"

#include <png.h>

#include <cstring>
#include <memory>

namespace {

struct ImageFree
{
    void operator()(png_image* image) const { png_image_free(image); }
};

bool is_png(const std::uint8_t* head)
{
    return png_sig_cmp(head, 0, 8) == 0;
}

// Reads the header into image; false when the data are no PNG.
bool begin(std::span<const std::uint8_t> data, png_image& image)
{
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    return data.size() >= 8 && is_png(data.data()) &&
           png_image_begin_read_from_memory(&image, data.data(), data.size()) != 0;
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    png_image image;
    bool ok = begin(data, image);
    std::unique_ptr<png_image, ImageFree> guard(&image);
    if (!ok)
        return SUSIE_UNKNOWN_FORMAT;
    header.width = static_cast<std::int32_t>(image.width);
    header.height = static_cast<std::int32_t>(image.height);
    header.bit_count = (image.format & PNG_FORMAT_FLAG_ALPHA) ? 32 : 24;
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    png_image image;
    bool ok = begin(data, image);
    std::unique_ptr<png_image, ImageFree> guard(&image);
    if (!ok)
        return SUSIE_UNKNOWN_FORMAT;
    if (!spikit::size_acceptable(image.width, image.height))
        return SUSIE_NO_MEMORY;
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
    // 16-bit samples are taken as stored (sRGB), scaled to 8 bits.
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    picture.width = static_cast<std::int32_t>(image.width);
    picture.height = static_cast<std::int32_t>(image.height);
    picture.bit_count = alpha ? 32 : 24;
    picture.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) == 0)
        return SUSIE_BROKEN_DATA;
    return SUSIE_OK;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo PNG plug-in (libpng " PNG_LIBPNG_VER_STRING ")", {{"*.png", "PNG file"}}},
    is_png,
    read_header,
    decode};
