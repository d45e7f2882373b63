// Placeholder until the TIFF decoder is written: refuses every file.
#include "imagelib/decoders/formats.h"

namespace decoders {

Header tiff_header(std::span<const std::uint8_t>)
{
    throw DecodeError("TIFF: not decoded by this build", Fault::Unsupported);
}

Decoded decode_tiff(std::span<const std::uint8_t>)
{
    throw DecodeError("TIFF: not decoded by this build", Fault::Unsupported);
}

} // namespace decoders
