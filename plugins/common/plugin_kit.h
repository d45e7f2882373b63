// Shared parts of the import plug-ins built with zumo: the information
// table, reading the source (a file from an offset, or memory), and handing
// a decoded picture over as BITMAPINFO and bits in local-memory blocks while
// reporting progress, and the exported entry points themselves. Nothing
// throws past an entry point: every failure becomes a Susie result code.
#pragma once

#define SUSIE_PLUGIN_IMPLEMENTATION
#include "imagelib/exif_orientation.h"
#include "imagelib/picture_limits.h"
#include "spi/susie_plugin.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace spikit {

struct PluginInfo
{
    const char* api_version; // "00IN"
    const char* title;
    std::vector<std::pair<const char*, const char*>> patterns; // pattern, format name
};

// Pixel storage that leaves a fresh block unwritten: a decoder that fails on
// a file's first rows has touched only those rows, not the whole size the
// header claimed (a vector would write, and in an unoptimised build loop
// over, every byte first).
class Pixels
{
public:
    // A block of `size` bytes, unwritten; what was held before is dropped.
    void allocate(std::size_t size)
    {
        m_bytes = size ? std::make_unique_for_overwrite<std::uint8_t[]>(size) : nullptr;
        m_size = size;
    }
    void assign(std::size_t size, std::uint8_t value)
    {
        allocate(size);
        std::fill_n(m_bytes.get(), size, value);
    }
    std::uint8_t* data() { return m_bytes.get(); }
    const std::uint8_t* data() const { return m_bytes.get(); }
    std::size_t size() const { return m_size; }
    std::uint8_t& operator[](std::size_t i) { return m_bytes[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return m_bytes[i]; }

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::size_t m_size = 0;
};

// A decoded picture, rows top-down without padding: one index per pixel
// for 8 bits (with palette, 0x00RRGGBB), B G R for 24, B G R A for 32.
struct Picture
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bit_count = 24;
    std::vector<std::uint32_t> palette;
    Pixels pixels;
};

struct Header
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bit_count = 24;
};

// Both return SUSIE_OK or a Susie error code; they may throw, the entry
// points catch.
using HeaderReader = int (*)(std::span<const std::uint8_t> data, Header& header);
using Decoder = int (*)(std::span<const std::uint8_t> data, Picture& picture);

// What a plug-in built on the kit supplies. The kit defines the exported
// entry points on top of it: is_supported gets the head buffer (never null,
// SUSIE_HEAD_SIZE bytes); read_header and decode get the whole source.
struct Plugin
{
    PluginInfo info;
    bool (*is_supported)(const std::uint8_t* head);
    HeaderReader read_header;
    Decoder decode;
};

// Defined once by each plug-in.
extern const Plugin k_plugin;

// The picture library's limits (imagelib/picture_limits.h): a plug-in refuses
// before decoding what the host and the conversion would refuse.
bool size_acceptable(std::int64_t width, std::int64_t height);

// The most stored bytes one byte of compressed data can expand to. A header
// may claim any size; the data after it can only hold so much, so a file is
// refused before the picture is allocated when its data could not possibly
// fill it.
inline constexpr std::uint64_t k_deflate_ratio = 1032; // zlib: 258 bytes per 2 bits
inline constexpr std::uint64_t k_lzw_ratio = 4096;     // 12-bit codes of up to 4096 bytes
inline constexpr std::uint64_t k_packbits_ratio = 64;  // 2 bytes for a run of 128

// Whether `present` bytes of compressed data, at most `ratio` times
// expanded, can hold `needed` stored bytes.
bool data_can_hold(std::uint64_t present, std::uint64_t needed, std::uint64_t ratio);

// Stands a picture stored with an EXIF or TIFF orientation (1..8; anything
// else counts as 1) upright, as the picture library does: pixels remapped,
// width and height swapped for the sideways orientations 5 to 8.
// orient_header gives the header the upright size.
void orient(Picture& picture, int orientation);
void orient_header(Header& header, int orientation);

} // namespace spikit
