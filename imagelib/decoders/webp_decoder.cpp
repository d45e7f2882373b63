// Placeholder until the WEBP decoder is written: refuses every file.
#include "imagelib/decoders/formats.h"

namespace decoders {

Header webp_header(std::span<const std::uint8_t>)
{
    throw DecodeError("WEBP: not decoded by this build", Fault::Unsupported);
}

Decoded decode_webp(std::span<const std::uint8_t>)
{
    throw DecodeError("WEBP: not decoded by this build", Fault::Unsupported);
}

} // namespace decoders
