// Placeholder until the HEIF decoder is written: refuses every file.
#include "imagelib/decoders/formats.h"

namespace decoders {

Header heif_header(std::span<const std::uint8_t>)
{
    throw DecodeError("HEIF: not decoded by this build", Fault::Unsupported);
}

Decoded decode_heif(std::span<const std::uint8_t>)
{
    throw DecodeError("HEIF: not decoded by this build", Fault::Unsupported);
}

} // namespace decoders
