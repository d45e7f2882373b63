// Import plug-in for WebP through libwebp: still pictures, and the first
// frame of an animation (as the GIF plug-in shows a GIF's first frame).
#include "plugins/common/plugin_kit.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

bool is_webp(const std::uint8_t* head)
{
    return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}

int features(std::span<const std::uint8_t> data, WebPBitstreamFeatures& f)
{
    if (data.size() < 12 || !is_webp(data.data()))
        return SUSIE_UNKNOWN_FORMAT;
    if (WebPGetFeatures(data.data(), data.size(), &f) != VP8_STATUS_OK)
        return SUSIE_BROKEN_DATA;
    return SUSIE_OK;
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    WebPBitstreamFeatures f{};
    if (int result = features(data, f); result != SUSIE_OK)
        return result;
    header.width = f.width;
    header.height = f.height;
    header.bit_count = f.has_alpha ? 32 : 24;
    return SUSIE_OK;
}

struct AnimDecoderDelete
{
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};

// The first frame on the animation's canvas, which starts transparent; BGRA,
// or BGR when every pixel of it is opaque.
int decode_first_frame(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return SUSIE_INTERNAL_ERROR;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData webp{data.data(), data.size()};
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDelete> decoder(
        WebPAnimDecoderNew(&webp, &options));
    WebPAnimInfo info{};
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info))
        return SUSIE_BROKEN_DATA;
    if (!spikit::size_acceptable(info.canvas_width, info.canvas_height))
        return SUSIE_NO_MEMORY;
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas)
        return SUSIE_BROKEN_DATA;
    const std::size_t pixels = static_cast<std::size_t>(info.canvas_width) * info.canvas_height;
    picture.width = static_cast<std::int32_t>(info.canvas_width);
    picture.height = static_cast<std::int32_t>(info.canvas_height);
    bool opaque = true;
    for (std::size_t i = 0; i < pixels && opaque; ++i)
        opaque = canvas[i * 4 + 3] == 255;
    picture.bit_count = opaque ? 24 : 32;
    if (!opaque) {
        picture.pixels.assign(canvas, canvas + pixels * 4);
        return SUSIE_OK;
    }
    picture.pixels.resize(pixels * 3);
    for (std::size_t i = 0; i < pixels; ++i)
        std::copy_n(canvas + i * 4, 3, picture.pixels.data() + i * 3);
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    WebPBitstreamFeatures f{};
    if (int result = features(data, f); result != SUSIE_OK)
        return result;
    // For an animation these are the canvas's sides: checked before the
    // animation decoder allocates two canvases of that size.
    if (!spikit::size_acceptable(f.width, f.height))
        return SUSIE_NO_MEMORY;
    if (f.has_animation)
        return decode_first_frame(data, picture);
    picture.width = f.width;
    picture.height = f.height;
    picture.bit_count = f.has_alpha ? 32 : 24;
    const std::size_t channels = f.has_alpha ? 4 : 3;
    const std::size_t stride = static_cast<std::size_t>(f.width) * channels;
    picture.pixels.resize(stride * static_cast<std::size_t>(f.height));
    std::uint8_t* out = f.has_alpha
                            ? WebPDecodeBGRAInto(data.data(), data.size(), picture.pixels.data(),
                                                 picture.pixels.size(), static_cast<int>(stride))
                            : WebPDecodeBGRInto(data.data(), data.size(), picture.pixels.data(),
                                                picture.pixels.size(), static_cast<int>(stride));
    return out ? SUSIE_OK : SUSIE_BROKEN_DATA;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo WebP plug-in (libwebp)", {{"*.webp", "WebP file"}}},
    is_webp,
    read_header,
    decode};
