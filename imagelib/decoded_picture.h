// Pictures of the formats read by the decoders library (WebP, TIFF,
// HEIF/AVIF, JPEG XL) made into the picture library's own: 8-bit BGR or
// BGRA, upright, with their metadata.
#pragma once

#include "imagelib/decoders/decoders.h"
#include "imagelib/imgctl.h"
#include "imagelib/metadata.h"
#include "imagelib/picture.h"

#include <cstdint>
#include <span>

namespace imgctl {

// The one step that takes a decoded picture to 8 bits per sample: a 16-bit
// sample v becomes round(v * 255 / 65535), and pixels16 is released. An
// 8-bit picture is left as it is.
void to_8bit(decoders::Decoded& decoded);

// A decoded picture as a Picture: to 8 bits, grey expanded to BGR (grey with
// alpha to BGRA), alpha kept, and the decoder's orientation applied unless
// `orientation` says Ignore. The EXIF, XMP, ICC blocks and the resolution go
// to `metadata` (blocks beyond the metadata limits are dropped).
//
// With Colour::ToSrgb (and for a grey profile, which no encoder writes) the
// pixels are converted to sRGB on their way to 8 bits, 16-bit sources at full
// precision, and the profile is dropped. With KeepProfile they are only
// rounded, and a colour description given by code points travels on as an
// ICC profile, so that the output still says what its colours are.
Picture picture_from_decoded(decoders::Decoded decoded, Orientation orientation, Metadata& metadata,
                             Colour colour = Colour::KeepProfile);

// Decodes a file of one of those formats (decoders::sniff names it). Throws
// ImageError with the decoder's message: Fault::TooLarge for a picture
// beyond the limits, Fault::Data for a damaged or unsupported one.
Picture decode_further_format(std::span<const std::uint8_t> file, Orientation orientation,
                              Metadata& metadata, Colour colour = Colour::KeepProfile);

} // namespace imgctl
