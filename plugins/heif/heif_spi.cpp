// Import plug-in for HEIF, HEIC and AVIF: the picture library's decoder (libheif),
// so that the preview shows the pixels the conversion reads.
#include "plugins/common/decoded_plugin.h"

namespace {

bool is_heif(const std::uint8_t* head)
{
    return spikit::head_is(decoders::Format::Heif, head);
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    return spikit::decoded_header(decoders::Format::Heif, data, header);
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    return spikit::decoded_picture(decoders::Format::Heif, data, picture);
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo HEIF/AVIF plug-in (libheif)", {{"*.heic;*.heif;*.avif", "HEIF/AVIF file"}}},
    is_heif,
    read_header,
    decode};
