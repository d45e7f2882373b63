// Import plug-in for JPEG XL: the picture library's decoder (libjxl),
// so that the preview shows the pixels the conversion reads.
#include "plugins/common/decoded_plugin.h"

namespace {

bool is_jxl(const std::uint8_t* head)
{
    return spikit::head_is(decoders::Format::Jxl, head);
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    return spikit::decoded_header(decoders::Format::Jxl, data, header);
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    return spikit::decoded_picture(decoders::Format::Jxl, data, picture);
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo JPEG XL plug-in (libjxl)", {{"*.jxl", "JPEG XL file"}}},
    is_jxl,
    read_header,
    decode};
