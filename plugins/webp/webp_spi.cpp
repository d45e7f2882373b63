// Import plug-in for WebP (still pictures) through libwebp.
#include "plugins/common/plugin_kit.h"

#include <webp/decode.h>

#include <cstring>

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

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    WebPBitstreamFeatures f{};
    if (int result = features(data, f); result != SUSIE_OK)
        return result;
    if (f.has_animation)
        return SUSIE_UNKNOWN_FORMAT;
    if (!spikit::size_acceptable(f.width, f.height))
        return SUSIE_NO_MEMORY;
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
