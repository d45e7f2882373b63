// The per-format halves behind decoders.h: one pair per format, each in its
// own file. Only decoders.cpp calls them; file bytes are checked by sniff
// first.
#pragma once

#include "imagelib/decoders/decoders.h"

namespace decoders {

Header webp_header(std::span<const std::uint8_t> file);
Decoded decode_webp(std::span<const std::uint8_t> file);

Header tiff_header(std::span<const std::uint8_t> file);
Decoded decode_tiff(std::span<const std::uint8_t> file, Depth depth);

Header heif_header(std::span<const std::uint8_t> file);
Decoded decode_heif(std::span<const std::uint8_t> file);

Header jxl_header(std::span<const std::uint8_t> file);
Decoded decode_jxl(std::span<const std::uint8_t> file);

} // namespace decoders
