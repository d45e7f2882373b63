// Import plug-in for WebP: the picture library's WebP decoder (still
// pictures, and the first frame of an animation, as the GIF plug-in shows a
// GIF's first frame), so that preview and conversion show the same pixels.
#include "plugins/common/decoded_plugin.h"

namespace {

bool is_webp(const std::uint8_t* head)
{
    return spikit::head_is(decoders::Format::WebP, head);
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    return spikit::decoded_header(decoders::Format::WebP, data, header);
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    return spikit::decoded_picture(decoders::Format::WebP, data, picture);
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo WebP plug-in (libwebp)", {{"*.webp", "WebP file"}}},
    is_webp,
    read_header,
    decode};
