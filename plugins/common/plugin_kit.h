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

#include <cstdint>
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

// A decoded picture, rows top-down without padding: one index per pixel
// for 8 bits (with palette, 0x00RRGGBB), B G R for 24, B G R A for 32.
struct Picture
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bit_count = 24;
    std::vector<std::uint32_t> palette;
    std::vector<std::uint8_t> pixels;
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

// Stands a picture stored with an EXIF or TIFF orientation (1..8; anything
// else counts as 1) upright, as the picture library does: pixels remapped,
// width and height swapped for the sideways orientations 5 to 8.
// orient_header gives the header the upright size.
void orient(Picture& picture, int orientation);
void orient_header(Header& header, int orientation);

} // namespace spikit
