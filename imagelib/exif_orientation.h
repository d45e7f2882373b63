// The EXIF orientation: reading it from a TIFF structure (an EXIF block) and
// what makes a stored picture upright. Header-only and without dependencies,
// so that the import plug-ins, built apart from the picture library, turn
// their pictures exactly as the conversion does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace imgctl {

// Bounded reads of a TIFF structure in either byte order.
class TiffView
{
public:
    explicit TiffView(std::span<const std::uint8_t> bytes) : m_bytes(bytes)
    {
        if (bytes.size() >= 8 && bytes[0] == 'I' && bytes[1] == 'I')
            m_little = true;
        else if (bytes.size() >= 8 && bytes[0] == 'M' && bytes[1] == 'M')
            m_little = false;
        else
            return;
        m_valid = u16(2) == 42;
    }
    bool valid() const { return m_valid; }
    bool fits(std::size_t at, std::size_t size) const
    {
        return at <= m_bytes.size() && size <= m_bytes.size() - at;
    }
    std::uint16_t u16(std::size_t at) const
    {
        const unsigned a = m_bytes[at], b = m_bytes[at + 1];
        return static_cast<std::uint16_t>(m_little ? a | (b << 8) : (a << 8) | b);
    }
    std::uint32_t u32(std::size_t at) const
    {
        const std::uint32_t lo = u16(at), hi = u16(at + 2);
        return m_little ? lo | (hi << 16) : (lo << 16) | hi;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    bool m_little = true;
    bool m_valid = false;
};

// The EXIF Orientation (1..8) in IFD0 of a TIFF structure. 1 when the tag is
// missing, holds a value outside 1..8, or the structure is broken.
inline int exif_orientation(std::span<const std::uint8_t> tiff)
{
    constexpr std::uint16_t k_orientation_tag = 0x0112;
    constexpr std::uint16_t k_type_short = 3;
    const TiffView view(tiff);
    if (!view.valid())
        return 1;
    const std::size_t ifd = view.u32(4);
    if (!view.fits(ifd, 2))
        return 1;
    const std::size_t entries = view.u16(ifd);
    if (!view.fits(ifd + 2, entries * 12))
        return 1;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + i * 12;
        if (view.u16(at) != k_orientation_tag)
            continue;
        if (view.u16(at + 2) != k_type_short || view.u32(at + 4) != 1)
            return 1;
        const int value = view.u16(at + 8);
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}

// What makes a stored picture upright: first a left-right mirror when
// `mirror`, then `quarters` quarter turns clockwise.
struct Upright
{
    bool mirror = false;
    int quarters = 0;
};

// Orientation 2..8 as a mirror followed by clockwise quarter turns: 5
// (transpose) is mirrored then turned three times, 7 (transverse) mirrored
// then turned once. Anything else is upright already.
inline Upright upright_for(int orientation)
{
    switch (orientation) {
    case 2:
        return {true, 0};
    case 3:
        return {false, 2};
    case 4:
        return {true, 2};
    case 5:
        return {true, 3};
    case 6:
        return {false, 1};
    case 7:
        return {true, 1};
    case 8:
        return {false, 3};
    default:
        return {false, 0};
    }
}

} // namespace imgctl
