// Placeholder until the JXL decoder is written: refuses every file.
#include "imagelib/decoders/formats.h"

namespace decoders {

Header jxl_header(std::span<const std::uint8_t>)
{
    throw DecodeError("JXL: not decoded by this build", Fault::Unsupported);
}

Decoded decode_jxl(std::span<const std::uint8_t>)
{
    throw DecodeError("JXL: not decoded by this build", Fault::Unsupported);
}

} // namespace decoders
