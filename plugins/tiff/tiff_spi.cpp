// Import plug-in for TIFF: the picture library's TIFF decoder (the first
// page, shown upright from its Orientation tag), so that preview and
// conversion show the same pixels and refuse the same hostile files.
#include "plugins/common/decoded_plugin.h"

namespace {

bool is_tiff(const std::uint8_t* head)
{
    return spikit::head_is(decoders::Format::Tiff, head);
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    return spikit::decoded_header(decoders::Format::Tiff, data, header);
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    return spikit::decoded_picture(decoders::Format::Tiff, data, picture);
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo TIFF plug-in (libtiff)", {{"*.tif;*.tiff", "TIFF file"}}},
    is_tiff,
    read_header,
    decode};
