// Import plug-in for HEIF, HEIC and AVIF: the picture library's decoder
// (libheif), so the preview shows the pixels the conversion reads.
#include "plugins/common/decoded_picture.h"

using decoders::Format;

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo HEIF/AVIF plug-in (libheif)", {{"*.heic;*.heif;*.avif", "HEIF/AVIF file"}}},
    spikit::is_format<Format::Heif>,
    spikit::read_decoded_header<Format::Heif>,
    spikit::decode_picture<Format::Heif>};
