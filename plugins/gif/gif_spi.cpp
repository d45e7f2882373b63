// Import plug-in for GIF through giflib: the first frame on the logical
// screen, widened to hold a frame that reaches past it. A frame that covers
// that canvas without a transparent colour is handed over with its palette
// (8 bits); otherwise as BGRA with the transparent colour and the uncovered
// canvas at alpha 0.
#include "plugins/common/plugin_kit.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct Reader
{
    std::span<const std::uint8_t> data;
    std::size_t position = 0;
};

int read_bytes(GifFileType* gif, GifByteType* out, int count)
{
    auto* reader = static_cast<Reader*>(gif->UserData);
    std::size_t n = std::min(static_cast<std::size_t>(std::max(count, 0)),
                             reader->data.size() - reader->position);
    std::memcpy(out, reader->data.data() + reader->position, n);
    reader->position += n;
    return static_cast<int>(n);
}

struct GifClose
{
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using Gif = std::unique_ptr<GifFileType, GifClose>;

bool is_gif(const std::uint8_t* head)
{
    return std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0;
}

Gif open(Reader& reader)
{
    if (reader.data.size() < 13 || !is_gif(reader.data.data()))
        return nullptr;
    int error = 0;
    return Gif(DGifOpen(&reader, read_bytes, &error));
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    Reader reader{data};
    Gif gif = open(reader);
    if (!gif)
        return SUSIE_UNKNOWN_FORMAT;
    header.width = gif->SWidth;
    header.height = gif->SHeight;
    header.bit_count = 8;
    return SUSIE_OK;
}

// Reads the records up to the first frame and all of its rows; the rest of
// the file is never looked at, so a damaged tail does not matter while a
// damaged first frame is refused.
int read_first_frame(GifFileType* gif, std::span<const std::uint8_t> data, spikit::Pixels& raster,
                     GraphicsControlBlock& control)
{
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return SUSIE_BROKEN_DATA;
        if (type == TERMINATE_RECORD_TYPE)
            return SUSIE_BROKEN_DATA;
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
                return SUSIE_BROKEN_DATA;
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
                DGifExtensionToGCB(block[0], block + 1, &control);
            while (block)
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                    return SUSIE_BROKEN_DATA;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE)
            continue;
        if (DGifGetImageDesc(gif) == GIF_ERROR)
            return SUSIE_BROKEN_DATA;
        const GifImageDesc& desc = gif->Image;
        if (desc.Width <= 0 || desc.Height <= 0 ||
            !spikit::size_acceptable(desc.Width, desc.Height))
            return SUSIE_BROKEN_DATA;
        // Every row is written below or the frame is refused.
        const std::uint64_t pixels = static_cast<std::uint64_t>(desc.Width) * desc.Height;
        if (!spikit::data_can_hold(data.size(), pixels, spikit::k_lzw_ratio))
            return SUSIE_BROKEN_DATA;
        raster.allocate(pixels);
        auto line = [&](int y) {
            return DGifGetLine(gif, &raster[static_cast<std::size_t>(y) * desc.Width],
                               desc.Width) != GIF_ERROR;
        };
        if (desc.Interlace) {
            static constexpr int starts[] = {0, 4, 2, 1};
            static constexpr int steps[] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = starts[pass]; y < desc.Height; y += steps[pass])
                    if (!line(y))
                        return SUSIE_BROKEN_DATA;
        } else {
            for (int y = 0; y < desc.Height; ++y)
                if (!line(y))
                    return SUSIE_BROKEN_DATA;
        }
        return SUSIE_OK;
    }
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    Reader reader{data};
    Gif gif = open(reader);
    if (!gif)
        return SUSIE_UNKNOWN_FORMAT;
    if (!spikit::size_acceptable(gif->SWidth, gif->SHeight))
        return SUSIE_NO_MEMORY;
    spikit::Pixels raster;
    GraphicsControlBlock control{};
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    if (int result = read_first_frame(gif.get(), data, raster, control); result != SUSIE_OK)
        return result;
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!map)
        return SUSIE_BROKEN_DATA;

    std::vector<std::uint32_t> palette(static_cast<std::size_t>(map->ColorCount));
    for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = static_cast<std::uint32_t>(map->Colors[i].Red) << 16 |
                     static_cast<std::uint32_t>(map->Colors[i].Green) << 8 | map->Colors[i].Blue;
    // A frame reaching past the logical screen widens the canvas, as the
    // picture library's GIF decoder does, so the preview shows what the
    // conversion writes.
    const int width = std::max(gif->SWidth, desc.Left + desc.Width);
    const int height = std::max(gif->SHeight, desc.Top + desc.Height);
    if (!spikit::size_acceptable(width, height))
        return SUSIE_NO_MEMORY;
    // A small frame placed far out on a wide screen asks for a canvas the
    // file holds nothing for: bounded like the frame's own pixels, so that a
    // few bytes cannot cost hundreds of megabytes.
    if (!spikit::data_can_hold(data.size(), static_cast<std::uint64_t>(width) * height,
                               spikit::k_lzw_ratio))
        return SUSIE_BROKEN_DATA;
    const bool covers =
        desc.Left == 0 && desc.Top == 0 && desc.Width == width && desc.Height == height;
    picture.width = width;
    picture.height = height;
    if (covers && control.TransparentColor == NO_TRANSPARENT_COLOR) {
        picture.bit_count = 8;
        picture.palette = palette;
        picture.pixels = std::move(raster);
        return SUSIE_OK;
    }
    picture.bit_count = 32;
    picture.pixels.assign(static_cast<std::size_t>(picture.width) * picture.height * 4, 0);
    for (int y = 0; y < desc.Height; ++y) {
        const int sy = desc.Top + y;
        for (int x = 0; x < desc.Width; ++x) {
            const int sx = desc.Left + x;
            int index = raster[static_cast<std::size_t>(y) * desc.Width + x];
            std::uint32_t colour = index < static_cast<int>(palette.size())
                                       ? palette[static_cast<std::size_t>(index)]
                                       : 0;
            std::uint8_t* out =
                &picture.pixels[(static_cast<std::size_t>(sy) * picture.width + sx) * 4];
            out[0] = static_cast<std::uint8_t>(colour);
            out[1] = static_cast<std::uint8_t>(colour >> 8);
            out[2] = static_cast<std::uint8_t>(colour >> 16);
            out[3] = index == control.TransparentColor ? 0 : 255;
        }
    }
    return SUSIE_OK;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo GIF plug-in (giflib)", {{"*.gif", "GIF file"}}}, is_gif, read_header, decode};
