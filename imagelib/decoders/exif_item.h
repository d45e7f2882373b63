// EXIF as HEIF items and JPEG XL boxes carry it, shared by the two decoders
// that read those containers.
#pragma once

#include "imagelib/exif_orientation.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace decoders {

// The TIFF structure inside an EXIF item or box: a big-endian offset to the
// TIFF header comes first (usually 0; some writers point past an "Exif\0\0"
// they kept from JPEG, others keep it and write 0). Empty when the offset
// leads outside the item or to something that is no TIFF header.
inline std::vector<std::uint8_t> tiff_from_exif_item(std::span<const std::uint8_t> item)
{
    if (item.size() < 4)
        return {};
    const std::uint64_t offset =
        (std::uint64_t(item[0]) << 24) | (item[1] << 16) | (item[2] << 8) | item[3];
    if (offset > item.size() - 4)
        return {};
    std::span<const std::uint8_t> tiff = item.subspan(4 + offset);
    static const std::uint8_t jpeg_prefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (tiff.size() >= 6 && std::equal(jpeg_prefix, jpeg_prefix + 6, tiff.begin()))
        tiff = tiff.subspan(6);
    if (!imgctl::TiffView(tiff).valid())
        return {};
    return {tiff.begin(), tiff.end()};
}

// Sets the Orientation in IFD0 of a TIFF structure to 1 (upright) where it
// is a well-formed SHORT. Both containers define their own rotation that
// decoders apply; the EXIF tag is informative only there, and a stale 6
// left in the block would turn the picture a second time wherever the block
// goes next (a loader that honours EXIF, the EXIF of a written JPEG).
inline void mark_exif_upright(std::vector<std::uint8_t>& tiff)
{
    constexpr std::uint16_t k_orientation_tag = 0x0112;
    constexpr std::uint16_t k_type_short = 3;
    const imgctl::TiffView view(tiff);
    if (!view.valid())
        return;
    const std::size_t ifd = view.u32(4);
    if (!view.fits(ifd, 2))
        return;
    const std::size_t entries = view.u16(ifd);
    if (!view.fits(ifd + 2, entries * 12))
        return;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + i * 12;
        if (view.u16(at) != k_orientation_tag)
            continue;
        if (view.u16(at + 2) == k_type_short && view.u32(at + 4) == 1) {
            const bool little = tiff[0] == 'I';
            tiff[at + 8] = little ? 1 : 0;
            tiff[at + 9] = little ? 0 : 1;
        }
        return;
    }
}

} // namespace decoders
