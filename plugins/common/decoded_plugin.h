// The plug-ins for formats the picture library's decoders read (WebP,
// TIFF, HEIF/AVIF, JPEG XL): the decoder's picture handed over as the
// plug-in's, so that the preview shows the pixels a conversion to BMP
// writes. The colours go to sRGB from the picture's ICC profile or code
// points on the way to 8 bits (by the picture library's own conversion),
// grey is spread over B, G and R, and the picture is stood upright from the
// orientation the decoder states.
#pragma once

#include "imagelib/decoders/decoders.h"
#include "plugins/common/plugin_kit.h"

namespace spikit {

// Whether the head buffer starts a file of `format`.
bool head_is(decoders::Format format, const std::uint8_t* head);

// A Susie result for each: SUSIE_UNKNOWN_FORMAT for another format or a
// variant the decoder refuses, SUSIE_BROKEN_DATA for a damaged file,
// SUSIE_NO_MEMORY for a picture beyond the limits.
int decoded_header(decoders::Format format, std::span<const std::uint8_t> data, Header& header);
int decoded_picture(decoders::Format format, std::span<const std::uint8_t> data, Picture& picture);

} // namespace spikit
