// A hostile Susie import plug-in for the host's tests and fuzz target: it
// hands back whatever blocks its source describes, byte for byte, in blocks
// of exactly that size, so that the host's checks of a plug-in's result can
// be driven with any header, colour table and pixel block.
//
// Source ("ZRAW" format, little-endian):
//   "ZRAW", progress done (i32), progress total (i32), info size (u32),
//   the info block (BITMAPINFO as handed over), the bits block (the rest).
// GetPicture reports the progress pair once, then hands both blocks over.
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t k_fixed = 16;

std::uint32_t u32(const unsigned char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool read_source(const char* buf, susie_intptr len, unsigned int flag,
                 std::vector<unsigned char>& bytes)
{
    if (!buf || len < 0)
        return false;
    if ((flag & 7) == SUSIE_SOURCE_MEMORY) {
        bytes.assign(reinterpret_cast<const unsigned char*>(buf),
                     reinterpret_cast<const unsigned char*>(buf) + len);
        return true;
    }
    std::FILE* file = std::fopen(buf, "rb");
    if (!file)
        return false;
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(file) : -1;
    ok = size >= len && std::fseek(file, static_cast<long>(len), SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size - len));
        ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    std::fclose(file);
    return ok;
}

bool is_zraw(const void* p)
{
    return std::memcmp(p, "ZRAW", 4) == 0;
}

// An exactly sized copy that knows its size, so that the host's checks
// see the size handed over in any build, and a read past its end is a
// sanitizer fault.
void* block(const unsigned char* data, std::size_t size)
{
    void* out = susie_local_alloc(size);
    if (out && size > 0)
        std::memcpy(susie_local_lock(out), data, size);
    return out;
}

} // namespace

extern "C" {

int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
    static const char* const texts[] = {"00IN", "zumo raw test plug-in", "*.zraw", "Raw DIB"};
    if (infono < 0 || infono > 3 || !buf || buflen <= 0)
        return 0;
    std::snprintf(buf, static_cast<std::size_t>(buflen), "%s", texts[infono]);
    return static_cast<int>(std::strlen(buf));
}

int SUSIE_API IsSupported(const char*, const void* head)
{
    return head && is_zraw(head) ? 1 : 0;
}

int SUSIE_API GetPictureInfo(const char* buf, susie_intptr len, unsigned int flag,
                             SusiePictureInfo* info)
{
    std::vector<unsigned char> bytes;
    if (!info || !read_source(buf, len, flag, bytes) || bytes.size() < k_fixed ||
        !is_zraw(bytes.data()))
        return SUSIE_UNKNOWN_FORMAT;
    std::memset(info, 0, sizeof *info);
    return SUSIE_OK;
}

int SUSIE_API GetPicture(const char* buf, susie_intptr len, unsigned int flag,
                         susie_handle* pHBInfo, susie_handle* pHBm, SusieProgressCallback progress,
                         susie_intptr data)
{
    std::vector<unsigned char> bytes;
    if (!pHBInfo || !pHBm || !read_source(buf, len, flag, bytes) || bytes.size() < k_fixed ||
        !is_zraw(bytes.data()))
        return SUSIE_UNKNOWN_FORMAT;
    const std::size_t info_size = u32(&bytes[12]);
    if (info_size > bytes.size() - k_fixed)
        return SUSIE_BROKEN_DATA;
    if (progress &&
        progress(static_cast<int>(u32(&bytes[4])), static_cast<int>(u32(&bytes[8])), data) != 0)
        return SUSIE_ABORTED;
    const unsigned char* info = bytes.data() + k_fixed;
    *pHBInfo = block(info, info_size);
    *pHBm = block(info + info_size, bytes.size() - k_fixed - info_size);
    return SUSIE_OK;
}

} // extern "C"
