#include "plugins/common/decoded_plugin.h"

#include "imagelib/decoders/srgb.h"

namespace spikit {

namespace {

int result_for(const decoders::DecodeError& error)
{
    switch (error.fault()) {
    case decoders::Fault::Broken:
        return SUSIE_BROKEN_DATA;
    case decoders::Fault::TooLarge:
        return SUSIE_NO_MEMORY;
    case decoders::Fault::Unsupported:
        break;
    }
    return SUSIE_UNKNOWN_FORMAT;
}

// The picture in sRGB at 8 bits, converted from its profile or code points
// as a conversion to BMP converts it, so that the preview shows the pixels
// such a conversion writes; grey spread over B, G and R.
int hand_over(decoders::Decoded decoded, Picture& picture)
{
    const int channels = decoded.channels;
    const bool alpha = channels == 2 || channels == 4;
    const std::size_t pixels = static_cast<std::size_t>(decoded.width) * decoded.height;
    const std::size_t held = decoded.bits == 16 ? decoded.pixels16.size() : decoded.pixels8.size();
    if (channels < 1 || channels > 4 || held != pixels * channels)
        return SUSIE_INTERNAL_ERROR;
    decoders::to_srgb8(decoded);
    const std::uint8_t* from = decoded.pixels8.data();
    picture.width = decoded.width;
    picture.height = decoded.height;
    picture.bit_count = alpha ? 32 : 24;
    const std::size_t out = alpha ? 4 : 3;
    picture.pixels.allocate(pixels * out);
    for (std::size_t i = 0; i < pixels; ++i, from += channels) {
        std::uint8_t* to = &picture.pixels[i * out];
        if (channels <= 2) {
            to[0] = to[1] = to[2] = from[0];
        } else {
            for (std::size_t c = 0; c < 3; ++c)
                to[c] = from[c];
        }
        if (alpha)
            to[3] = from[channels - 1];
    }
    orient(picture, decoded.orientation);
    return SUSIE_OK;
}

} // namespace

bool head_is(decoders::Format format, const std::uint8_t* head)
{
    return decoders::sniff({head, SUSIE_HEAD_SIZE}) == format;
}

int decoded_header(decoders::Format format, std::span<const std::uint8_t> data, Header& header)
{
    if (decoders::sniff(data) != format)
        return SUSIE_UNKNOWN_FORMAT;
    try {
        const decoders::Header read = decoders::read_header(data);
        header.width = read.width;
        header.height = read.height;
        header.bit_count = read.alpha ? 32 : 24;
        return SUSIE_OK;
    } catch (const decoders::DecodeError& error) {
        return result_for(error);
    }
}

int decoded_picture(decoders::Format format, std::span<const std::uint8_t> data, Picture& picture)
{
    if (decoders::sniff(data) != format)
        return SUSIE_UNKNOWN_FORMAT;
    try {
        return hand_over(decoders::decode(data), picture);
    } catch (const decoders::DecodeError& error) {
        return result_for(error);
    }
}

} // namespace spikit
