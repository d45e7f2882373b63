// A Windows Susie import plug-in for the tests of the Windows plug-in host,
// built with mingw-w64 as a 32-bit ".spi" (stdcall, 32-bit values) and a
// 64-bit ".sph". It behaves as plug-ins in the wild do: the file is opened
// with the ANSI file functions (so its name must arrive in the process's
// ANSI code page), the blocks handed over are movable LocalAlloc blocks,
// and its format names are Shift-JIS texts.
//
// Formats (all numbers little-endian, rows top-down):
//   "ZRGB", width (u16), height (u16), then width x height R G B triples;
//   "ZPAL", width (u16), height (u16), bit count (u8: 1, 4 or 8), colour
//   count (u16, 1 .. 2^bits), the colours as R G B, then one index byte
//   per pixel.
// The first gives a 24-bit bitmap; the second a palette bitmap of its bit
// count and reports progress after every row, stopping when asked.
//
// Variants by compile definitions:
//   WTP_PALETTE   reads "ZPAL" instead of "ZRGB"
//   WTP_CRASH     GetPicture writes through a null pointer
//   WTP_HANG      GetPicture never returns
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

#ifdef WTP_PALETTE
constexpr char k_magic[4] = {'Z', 'P', 'A', 'L'};
// "zumo パレット画像" in Shift-JIS.
const char* const k_info[] = {"00IN", "zumo Windows palette test plug-in", "*.zpal",
                              "zumo \x83\x70\x83\x8c\x83\x62\x83\x67\x89\xe6\x91\x9c"};
#else
constexpr char k_magic[4] = {'Z', 'R', 'G', 'B'};
// "zumo RGB画像" in Shift-JIS.
const char* const k_info[] = {"00IN", "zumo Windows RGB test plug-in", "*.zrgb",
                              "zumo RGB\x89\xe6\x91\x9c"};
#endif

struct Source
{
    std::vector<std::uint8_t> bytes;
    bool ok = false;
};

// The bytes from the offset on: a file opened by its ANSI name, or memory.
Source read_source(const char* buf, susie_intptr len, unsigned int flag)
{
    Source source;
    if (!buf || len < 0)
        return source;
    if ((flag & 7) == SUSIE_SOURCE_MEMORY) {
        auto data = reinterpret_cast<const std::uint8_t*>(buf);
        source.bytes.assign(data, data + len);
        source.ok = true;
        return source;
    }
    HANDLE file = CreateFileA(buf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return source;
    LARGE_INTEGER size{};
    LARGE_INTEGER offset{};
    offset.QuadPart = len;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= len && size.QuadPart < (1 << 28) &&
        SetFilePointerEx(file, offset, nullptr, FILE_BEGIN)) {
        source.bytes.resize(static_cast<std::size_t>(size.QuadPart - len));
        DWORD read = 0;
        source.ok = source.bytes.empty() ||
                    (ReadFile(file, source.bytes.data(), static_cast<DWORD>(source.bytes.size()),
                              &read, nullptr) &&
                     read == source.bytes.size());
    }
    CloseHandle(file);
    return source;
}

unsigned u16(const std::uint8_t* p)
{
    return p[0] | p[1] << 8;
}

struct Header
{
    int width = 0;
    int height = 0;
    int bits = 24;
    int colours = 0;
    std::size_t data_offset = 8; // of the palette, then the pixels
};

bool read_header(const std::vector<std::uint8_t>& bytes, Header& header)
{
    if (bytes.size() < 8 || std::memcmp(bytes.data(), k_magic, 4) != 0)
        return false;
    header.width = static_cast<int>(u16(&bytes[4]));
    header.height = static_cast<int>(u16(&bytes[6]));
    if (header.width == 0 || header.height == 0)
        return false;
#ifdef WTP_PALETTE
    if (bytes.size() < 11)
        return false;
    header.bits = bytes[8];
    header.colours = static_cast<int>(u16(&bytes[9]));
    header.data_offset = 11 + 3 * static_cast<std::size_t>(header.colours);
    if ((header.bits != 1 && header.bits != 4 && header.bits != 8) || header.colours < 1 ||
        header.colours > (1 << header.bits))
        return false;
    std::size_t pixels = static_cast<std::size_t>(header.width) * header.height;
#else
    std::size_t pixels = 3 * static_cast<std::size_t>(header.width) * header.height;
#endif
    return bytes.size() >= header.data_offset + pixels;
}

void put32(std::uint8_t* p, std::uint32_t value)
{
    std::memcpy(p, &value, 4);
}

// A movable local-memory block, as plug-ins built with the Windows tools of
// their day return them; the host must lock it to reach the bytes.
HLOCAL alloc_block(std::size_t size, std::uint8_t*& data)
{
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
    data = block ? static_cast<std::uint8_t*>(LocalLock(block)) : nullptr;
    return block;
}

void free_block(HLOCAL block)
{
    if (block) {
        LocalUnlock(block);
        LocalFree(block);
    }
}

int decode(const std::vector<std::uint8_t>& bytes, const Header& header, susie_handle* pHBInfo,
           susie_handle* pHBm, SusieProgressCallback progress, susie_intptr data)
{
    const std::size_t stride =
        ((static_cast<std::size_t>(header.width) * header.bits + 31) / 32) * 4;
    std::uint8_t* info = nullptr;
    std::uint8_t* bits = nullptr;
    HLOCAL info_block = alloc_block(40 + 4 * static_cast<std::size_t>(header.colours), info);
    HLOCAL bits_block = alloc_block(stride * header.height, bits);
    if (!info || !bits) {
        free_block(info_block);
        free_block(bits_block);
        return SUSIE_NO_MEMORY;
    }
    put32(info, 40);
    put32(info + 4, static_cast<std::uint32_t>(header.width));
    put32(info + 8, static_cast<std::uint32_t>(header.height));
    info[12] = 1;
    info[14] = static_cast<std::uint8_t>(header.bits);
    put32(info + 20, static_cast<std::uint32_t>(stride * header.height));
    put32(info + 32, static_cast<std::uint32_t>(header.colours));
    for (std::size_t i = 0; i < static_cast<std::size_t>(header.colours); ++i) {
        info[40 + 4 * i] = bytes[11 + 3 * i + 2];
        info[41 + 4 * i] = bytes[11 + 3 * i + 1];
        info[42 + 4 * i] = bytes[11 + 3 * i];
    }
    const std::uint8_t* pixels = &bytes[header.data_offset];
    for (int y = 0; y < header.height; ++y) {
        std::uint8_t* row = bits + static_cast<std::size_t>(header.height - 1 - y) * stride;
        for (int x = 0; x < header.width; ++x) {
            if (header.bits == 24) {
                const std::uint8_t* rgb =
                    pixels + 3 * (static_cast<std::size_t>(y) * header.width + x);
                row[3 * x] = rgb[2];
                row[3 * x + 1] = rgb[1];
                row[3 * x + 2] = rgb[0];
                continue;
            }
            unsigned index = pixels[static_cast<std::size_t>(y) * header.width + x];
            if (index >= static_cast<unsigned>(header.colours))
                index = 0;
            int per_byte = 8 / header.bits;
            int shift = (per_byte - 1 - x % per_byte) * header.bits;
            row[x / per_byte] = static_cast<std::uint8_t>(row[x / per_byte] | index << shift);
        }
#ifdef WTP_PALETTE
        if (progress && progress(y + 1, header.height, data) != 0) {
            free_block(info_block);
            free_block(bits_block);
            return SUSIE_ABORTED;
        }
#else
        (void)progress;
        (void)data;
#endif
    }
    LocalUnlock(info_block);
    LocalUnlock(bits_block);
    *pHBInfo = info_block;
    *pHBm = bits_block;
    return SUSIE_OK;
}

} // namespace

extern "C" {

int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
    if (!buf || buflen <= 0 || infono < 0 || infono >= static_cast<int>(std::size(k_info)))
        return 0;
    int length = static_cast<int>(std::strlen(k_info[infono]));
    if (length >= buflen)
        length = buflen - 1;
    std::memcpy(buf, k_info[infono], static_cast<std::size_t>(length));
    buf[length] = '\0';
    return length;
}

int SUSIE_API IsSupported(const char*, const void* head)
{
    return head && std::memcmp(head, k_magic, 4) == 0 ? 1 : 0;
}

int SUSIE_API GetPictureInfo(const char* buf, susie_intptr len, unsigned int flag,
                             SusiePictureInfo* info)
{
    Source source = read_source(buf, len, flag);
    Header header;
    if (!info || !source.ok)
        return SUSIE_FILE_READ_ERROR;
    if (!read_header(source.bytes, header))
        return SUSIE_UNKNOWN_FORMAT;
    std::memset(info, 0, sizeof *info);
    info->width = header.width;
    info->height = header.height;
    info->colorDepth = static_cast<std::int16_t>(header.bits);
    return SUSIE_OK;
}

int SUSIE_API GetPicture(const char* buf, susie_intptr len, unsigned int flag,
                         susie_handle* pHBInfo, susie_handle* pHBm, SusieProgressCallback progress,
                         susie_intptr data)
{
#ifdef WTP_CRASH
    *static_cast<volatile int*>(nullptr) = 1;
#endif
#ifdef WTP_HANG
    for (;;)
        Sleep(INFINITE);
#endif
    if (!pHBInfo || !pHBm)
        return SUSIE_INTERNAL_ERROR;
    *pHBInfo = nullptr;
    *pHBm = nullptr;
    Source source = read_source(buf, len, flag);
    Header header;
    if (!source.ok)
        return SUSIE_FILE_READ_ERROR;
    if (!read_header(source.bytes, header))
        return SUSIE_UNKNOWN_FORMAT;
    return decode(source.bytes, header, pHBInfo, pHBm, progress, data);
}

} // extern "C"
