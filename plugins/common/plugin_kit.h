// Shared parts of the import plug-ins built with zumo: the information
// table, reading the source (a file from an offset, or memory), and handing
// a decoded picture over as BITMAPINFO and bits in local-memory blocks while
// reporting progress. Nothing here throws past an entry point: the entry
// helpers turn every failure into a Susie result code.
#pragma once

#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace spikit {

// Pictures beyond this many pixels are refused before decoding.
constexpr std::int64_t k_max_pixels = 0x4000000;

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
// helpers catch.
using HeaderReader = int (*)(std::span<const std::uint8_t> data, Header& header);
using Decoder = int (*)(std::span<const std::uint8_t> data, Picture& picture);

bool size_acceptable(std::int64_t width, std::int64_t height);

int plugin_info(const PluginInfo& info, int infono, char* buf, int buflen);
int picture_info(const char* buf, susie_intptr len, unsigned int flag, SusiePictureInfo* info,
                 HeaderReader read_header);
int get_picture(const char* buf, susie_intptr len, unsigned int flag, susie_handle* pHBInfo,
                susie_handle* pHBm, SusieProgressCallback progress, susie_intptr data,
                Decoder decode);

} // namespace spikit
