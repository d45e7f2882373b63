// Import plug-in for JPEG XL: the picture library's decoder (libjxl), so
// the preview shows the pixels the conversion reads.
#include "plugins/common/decoded_picture.h"

using decoders::Format;

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo JPEG XL plug-in (libjxl)", {{"*.jxl", "JPEG XL file"}}},
    spikit::is_format<Format::Jxl>,
    spikit::read_decoded_header<Format::Jxl>,
    spikit::decode_picture<Format::Jxl>};
