// Inputs the fuzz targets pass over: tiny files that state, legitimately,
// pictures of tens of millions of pixels (RLE and fax codes may skip whole
// rows, so a 200-byte file can describe 85 million pixels). The release
// program decodes one in a second or two, within the picture limits; an
// instrumented run spends a minute on it, and a fuzzer that keeps finding
// them stops on a timeout instead of searching. Limits and their refusals
// are covered by the tests; here the search stays on what is cheap to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

inline constexpr std::int64_t k_max_fuzz_pixels = 16'000'000;

inline std::int64_t read_le(std::span<const std::uint8_t> bytes, std::size_t at, int size)
{
    if (bytes.size() < at + static_cast<std::size_t>(size))
        return 0;
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    return size == 2 ? static_cast<std::int16_t>(value) : static_cast<std::int32_t>(value);
}

inline bool too_many_pixels(std::int64_t width, std::int64_t height)
{
    width = width < 0 ? -width : width;
    height = height < 0 ? -height : height;
    return width * height > k_max_fuzz_pixels;
}

// A BMP information block (from its size field on) that states a picture
// larger than the fuzzers decode.
inline bool dib_states_huge(std::span<const std::uint8_t> info)
{
    const std::int64_t header = read_le(info, 0, 4);
    if (header == 12)
        return too_many_pixels(read_le(info, 4, 2), read_le(info, 6, 2));
    return too_many_pixels(read_le(info, 4, 4), read_le(info, 8, 4));
}

// The same for a whole BMP file.
inline bool bmp_states_huge(std::span<const std::uint8_t> file)
{
    return file.size() >= 14 && file[0] == 'B' && file[1] == 'M' &&
           dib_states_huge(file.subspan(14));
}

} // namespace fuzz
