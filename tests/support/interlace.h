// Reads the interlace flag straight from the bytes of a written PNG or GIF
// file, so that tests check what the encoders wrote without decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace testsupport {

// Interlace method of a PNG: the last byte of IHDR.
inline bool png_interlaced(const std::vector<std::uint8_t>& png)
{
    return png.size() > 28 && png[28] == 1;
}

// Interlace flag of a GIF's first image descriptor, walking past the colour
// table and the extension blocks before it. Throws when there is no image
// descriptor.
inline bool gif_interlaced(const std::vector<std::uint8_t>& gif)
{
    std::size_t at = 13;
    if (gif.size() > 10 && (gif[10] & 0x80))
        at += 3u << ((gif[10] & 7) + 1);
    while (at < gif.size() && gif[at] == 0x21) {
        at += 2; // introducer and label, then sub-blocks
        while (at < gif.size() && gif[at] != 0)
            at += gif[at] + 1u;
        ++at;
    }
    if (at + 9 >= gif.size() || gif[at] != 0x2C)
        throw std::runtime_error("no image descriptor");
    return (gif[at + 9] & 0x40) != 0;
}

} // namespace testsupport
