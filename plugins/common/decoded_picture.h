// The bridge from the picture library's decoders (imagelib/decoders) to a
// plug-in built on the kit: a plug-in for one of those formats reads the
// header and decodes with the very code the conversion uses, and only turns
// the result into the kit's 24 or 32-bit picture here.
#pragma once

#include "imagelib/decoders/decoders.h"
#include "plugins/common/plugin_kit.h"

namespace spikit {

// The Susie result for a decoder's failure.
inline int susie_result(const decoders::DecodeError& error)
{
    switch (error.fault()) {
    case decoders::Fault::TooLarge:
        return SUSIE_NO_MEMORY;
    case decoders::Fault::Unsupported:
        return SUSIE_UNKNOWN_FORMAT;
    case decoders::Fault::Broken:
        break;
    }
    return SUSIE_BROKEN_DATA;
}

// One sample as 8 bits: 16-bit samples rounded from the full 0..65535 range.
inline std::uint8_t sample8(const decoders::Decoded& d, std::size_t at)
{
    return d.bits == 16 ? static_cast<std::uint8_t>((d.pixels16[at] * 255u + 32767u) / 65535u)
                        : d.pixels8[at];
}

// A decoded picture as B G R (A) in 8 bits, grey spread to the three
// colours, upright.
inline void to_picture(const decoders::Decoded& d, Picture& picture)
{
    const bool alpha = d.channels == 2 || d.channels == 4;
    const std::size_t pixels = std::size_t(d.width) * std::size_t(d.height);
    const std::size_t in_channels = static_cast<std::size_t>(d.channels);
    const std::size_t out_channels = alpha ? 4 : 3;
    const std::size_t samples = d.bits == 16 ? d.pixels16.size() : d.pixels8.size();
    if (samples < pixels * in_channels)
        throw decoders::DecodeError("decoder returned too few samples", decoders::Fault::Broken);
    picture.width = d.width;
    picture.height = d.height;
    picture.bit_count = alpha ? 32 : 24;
    picture.pixels.allocate(pixels * out_channels);
    std::uint8_t* out = picture.pixels.data();
    for (std::size_t i = 0; i < pixels; ++i, out += out_channels) {
        const std::size_t at = i * in_channels;
        if (in_channels <= 2) {
            out[0] = out[1] = out[2] = sample8(d, at);
        } else {
            out[0] = sample8(d, at);
            out[1] = sample8(d, at + 1);
            out[2] = sample8(d, at + 2);
        }
        if (alpha)
            out[3] = sample8(d, at + in_channels - 1);
    }
    orient(picture, d.orientation);
}

// The kit's header reader and decoder for a file of `format`; anything
// else is not this plug-in's.
template <decoders::Format format>
int read_decoded_header(std::span<const std::uint8_t> data, Header& header)
{
    if (decoders::sniff(data) != format)
        return SUSIE_UNKNOWN_FORMAT;
    try {
        const decoders::Header found = decoders::read_header(data);
        header.width = found.width;
        header.height = found.height;
        header.bit_count = found.alpha ? 32 : 24;
        return SUSIE_OK;
    } catch (const decoders::DecodeError& error) {
        return susie_result(error);
    }
}

template <decoders::Format format>
int decode_picture(std::span<const std::uint8_t> data, Picture& picture)
{
    if (decoders::sniff(data) != format)
        return SUSIE_UNKNOWN_FORMAT;
    try {
        to_picture(decoders::decode(data), picture);
        return SUSIE_OK;
    } catch (const decoders::DecodeError& error) {
        return susie_result(error);
    }
}

template <decoders::Format format> bool is_format(const std::uint8_t* head)
{
    return decoders::sniff({head, SUSIE_HEAD_SIZE}) == format;
}

} // namespace spikit
