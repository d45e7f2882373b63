// A Susie import plug-in for the host's tests, built in several variants by
// compile definitions. It reads the test format "ZTST":
//   "ZTST", width (u16), height (u16), bit count (u8: 1, 4, 8, 24 or 32)
// and generates the pixels from the position (see test_support.h), so the
// tests know every pixel without shipping picture files.
//
// Variants:
//   TP_NO_INFO            no GetPluginInfo at all
//   TP_VERSION="...."     the API version text (default "00IN")
//   TP_NO_VERSION         information 0 is not answered
//   TP_NO_GETPICTURE      no GetPicture entry
//   TP_ARCHIVE            exports the archive entries
//   TP_FILTERS=n          1: "*.ztst"; 2: "*.aaa;*.bbb;*.ccc"; 3: "*.jpg;*.jpeg";
//                         4: pattern 2 answered, 3 not; 5: every number answered
//   TP_FAIL               GetPicture fails
//   TP_LIAR               the bits block is smaller than the header says
//   TP_PREVIEW            exports GetPreview (a 1x1 picture)
//   TP_TEXT_INFO          GetPictureInfo hands over a text-information block
//   TP_ANY                IsSupported takes anything
//   TP_HEADER_SIZE=n      the BITMAPINFOHEADER claims n bytes (a V5 header: 124)
//   TP_BITFIELDS          32-bit pictures as BI_BITFIELDS with the usual masks
//   TP_TOP_DOWN           rows top-down, the height negative
//   TP_CRASH_INFO         GetPluginInfo dies of SIGSEGV
//   TP_CRASH_PICTURE      GetPicture dies of SIGSEGV
//   TP_HANG               GetPicture never returns
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

#ifndef TP_VERSION
#define TP_VERSION "00IN"
#endif
#ifndef TP_FILTERS
#define TP_FILTERS 1
#endif
#ifndef TP_HEADER_SIZE
#define TP_HEADER_SIZE 40
#endif

namespace {

int g_stop_requests = 0;
int g_calls = 0;
std::string g_last_name;
int g_last_flag = -1;
long long g_last_length = -1;

struct Source
{
    std::vector<unsigned char> bytes;
    bool ok = false;
};

Source read_source(const char* buf, susie_intptr len, unsigned int flag)
{
    Source s;
    g_last_flag = static_cast<int>(flag);
    g_last_length = static_cast<long long>(len);
    if ((flag & 7) == SUSIE_SOURCE_MEMORY) {
        if (buf && len >= 0) {
            s.bytes.assign(reinterpret_cast<const unsigned char*>(buf),
                           reinterpret_cast<const unsigned char*>(buf) + len);
            s.ok = true;
        }
        return s;
    }
    std::FILE* file = std::fopen(buf, "rb");
    if (!file)
        return s;
    std::fseek(file, static_cast<long>(len), SEEK_SET);
    unsigned char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        s.bytes.insert(s.bytes.end(), chunk, chunk + n);
    std::fclose(file);
    s.ok = true;
    return s;
}

bool is_ztst(const unsigned char* p)
{
    return std::memcmp(p, "ZTST", 4) == 0;
}

struct Header
{
    int width, height, bits;
};

bool parse(const Source& s, Header& h)
{
    if (!s.ok || s.bytes.size() < 9 || !is_ztst(s.bytes.data()))
        return false;
    h.width = s.bytes[4] | s.bytes[5] << 8;
    h.height = s.bytes[6] | s.bytes[7] << 8;
    h.bits = s.bytes[8];
    return h.width > 0 && h.height > 0 &&
           (h.bits == 1 || h.bits == 4 || h.bits == 8 || h.bits == 24 || h.bits == 32);
}

void put32(unsigned char* p, unsigned v)
{
    std::memcpy(p, &v, 4);
}

// Pixel (x, y): index (x + 2y) mod 2^bits for palettised pictures, whose
// palette entry i is (r, g, b) = (i*16 mod 256, 255 - i, i*7 mod 256); for
// 24/32 bits (b, g, r) = (x*8, y*8, x+y) and alpha 255.
[[maybe_unused]] int make_picture(const Header& h, susie_handle* info_out, susie_handle* bits_out,
                                  SusieProgressCallback cb, susie_intptr data)
{
    int colours = h.bits <= 8 ? 1 << h.bits : 0;
    unsigned stride = ((static_cast<unsigned>(h.width) * h.bits + 31) / 32) * 4;
    unsigned image = stride * static_cast<unsigned>(h.height);
#ifdef TP_BITFIELDS
    const bool bitfields = h.bits == 32;
#else
    const bool bitfields = false;
#endif
    const unsigned header = TP_HEADER_SIZE;
    const unsigned table = header + (bitfields && header == 40 ? 12 : 0);
    unsigned char* info = static_cast<unsigned char*>(std::calloc(table + 4 * colours, 1));
#ifdef TP_LIAR
    unsigned char* bits = static_cast<unsigned char*>(std::calloc(image / 2 + 1, 1));
#else
    unsigned char* bits = static_cast<unsigned char*>(std::calloc(image, 1));
#endif
    put32(info, header);
    put32(info + 4, static_cast<unsigned>(h.width));
#ifdef TP_TOP_DOWN
    put32(info + 8, static_cast<unsigned>(-h.height));
#else
    put32(info + 8, static_cast<unsigned>(h.height));
#endif
    info[12] = 1;
    info[14] = static_cast<unsigned char>(h.bits);
    if (bitfields) {
        put32(info + 16, 3);
        put32(info + 40, 0xFF0000);
        put32(info + 44, 0xFF00);
        put32(info + 48, 0xFF);
    }
    for (int i = 0; i < colours; ++i) {
        info[table + 4 * i] = static_cast<unsigned char>(i * 7);
        info[table + 1 + 4 * i] = static_cast<unsigned char>(255 - i);
        info[table + 2 + 4 * i] = static_cast<unsigned char>(i * 16);
    }
    int total = h.height;
    if (cb && cb(0, total, data) != 0) {
        ++g_stop_requests;
        std::free(info);
        std::free(bits);
        return SUSIE_ABORTED;
    }
#ifndef TP_LIAR
    for (int y = 0; y < h.height; ++y) {
#ifdef TP_TOP_DOWN
        unsigned char* row = bits + static_cast<unsigned>(y) * stride;
#else
        unsigned char* row = bits + static_cast<unsigned>(h.height - 1 - y) * stride;
#endif
        for (int x = 0; x < h.width; ++x) {
            if (h.bits <= 8) {
                unsigned index = static_cast<unsigned>(x + 2 * y) & ((1u << h.bits) - 1);
                unsigned bit = static_cast<unsigned>(x) * h.bits;
                row[bit / 8] |= static_cast<unsigned char>(index << (8 - h.bits - bit % 8));
            } else {
                unsigned char* p = row + x * (h.bits / 8);
                p[0] = static_cast<unsigned char>(x * 8);
                p[1] = static_cast<unsigned char>(y * 8);
                p[2] = static_cast<unsigned char>(x + y);
                if (h.bits == 32)
                    p[3] = 255;
            }
        }
    }
#endif
    if (cb && (cb(total / 2, total, data) != 0 || cb(total, total, data) != 0)) {
        ++g_stop_requests;
        std::free(info);
        std::free(bits);
        return SUSIE_ABORTED;
    }
    *info_out = info;
    *bits_out = bits;
    return SUSIE_OK;
}

[[maybe_unused]] int answer(const char* text, char* buf, int buflen)
{
    std::snprintf(buf, static_cast<std::size_t>(buflen), "%s", text);
    return static_cast<int>(std::strlen(buf));
}

} // namespace

extern "C" {

// For the tests: how often the host asked this plug-in to stop, how many
// GetPicture/GetPreview calls it got, and the last source it was given.
SUSIE_EXPORT int TestStopRequests()
{
    return g_stop_requests;
}
SUSIE_EXPORT int TestCalls()
{
    return g_calls;
}
SUSIE_EXPORT long long TestLastLength()
{
    return g_last_length;
}
SUSIE_EXPORT int TestLastFlag()
{
    return g_last_flag;
}
SUSIE_EXPORT const char* TestLastName()
{
    return g_last_name.c_str();
}
SUSIE_EXPORT void TestReset()
{
    g_stop_requests = g_calls = 0;
    g_last_flag = -1;
    g_last_length = -1;
    g_last_name.clear();
}

#ifndef TP_NO_INFO
int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
#ifdef TP_CRASH_INFO
    std::raise(SIGSEGV);
#endif
    if (infono == 0) {
#ifdef TP_NO_VERSION
        return 0;
#else
        return answer(TP_VERSION, buf, buflen);
#endif
    }
    if (infono == 1)
        return answer("zumo test plug-in", buf, buflen);
#if TP_FILTERS == 1
    static const char* const texts[] = {"*.ztst", "Z test picture"};
#elif TP_FILTERS == 2
    static const char* const texts[] = {"*.aaa;*.bbb;*.ccc", "Three letters"};
#elif TP_FILTERS == 3
    static const char* const texts[] = {"*.jpg;*.jpeg", "Test JPEG"};
#elif TP_FILTERS == 4
    static const char* const texts[] = {"*.half"};
#endif
#if TP_FILTERS == 5
    return answer(infono % 2 == 0 ? "*.x" : "Endless", buf, buflen);
#else
    int index = infono - 2;
    if (index < 0 || index >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return 0;
    return answer(texts[index], buf, buflen);
#endif
}
#endif

int SUSIE_API IsSupported(const char* filename, const void* head)
{
    g_last_name = filename ? filename : "(null)";
#ifdef TP_ANY
    (void)head;
    return 1;
#else
    return head && is_ztst(static_cast<const unsigned char*>(head)) ? 1 : 0;
#endif
}

int SUSIE_API GetPictureInfo(const char* buf, susie_intptr len, unsigned int flag,
                             SusiePictureInfo* info)
{
    Header h;
    if (!parse(read_source(buf, len, flag), h))
        return SUSIE_UNKNOWN_FORMAT;
    std::memset(info, 0, sizeof *info);
    info->width = h.width;
    info->height = h.height;
    info->colorDepth = static_cast<short>(h.bits);
#ifdef TP_TEXT_INFO
    char* text = static_cast<char*>(std::malloc(16));
    std::strcpy(text, "comment");
    info->hInfo = text;
#endif
    return SUSIE_OK;
}

#ifndef TP_NO_GETPICTURE
int SUSIE_API GetPicture(const char* buf, susie_intptr len, unsigned int flag,
                         susie_handle* pHBInfo, susie_handle* pHBm, SusieProgressCallback progress,
                         susie_intptr data)
{
    ++g_calls;
    Header h;
    if (!parse(read_source(buf, len, flag), h))
        return SUSIE_UNKNOWN_FORMAT;
#ifdef TP_CRASH_PICTURE
    std::raise(SIGSEGV);
#endif
#ifdef TP_HANG
    for (;;)
        ::pause();
#endif
#ifdef TP_FAIL
    (void)pHBInfo;
    (void)pHBm;
    (void)progress;
    (void)data;
    return SUSIE_BROKEN_DATA;
#else
    return make_picture(h, pHBInfo, pHBm, progress, data);
#endif
}
#endif

#ifdef TP_PREVIEW
int SUSIE_API GetPreview(const char* buf, susie_intptr len, unsigned int flag,
                         susie_handle* pHBInfo, susie_handle* pHBm, SusieProgressCallback progress,
                         susie_intptr data)
{
    ++g_calls;
    Header h;
    if (!parse(read_source(buf, len, flag), h))
        return SUSIE_UNKNOWN_FORMAT;
    h.width = h.height = 1;
    return make_picture(h, pHBInfo, pHBm, progress, data);
}
#endif

#ifdef TP_ARCHIVE
SUSIE_EXPORT int SUSIE_API GetArchiveInfo(const char*, susie_intptr, unsigned int, susie_handle*)
{
    return SUSIE_NOT_IMPLEMENTED;
}
SUSIE_EXPORT int SUSIE_API GetFileInfo(const char*, susie_intptr, const char*, unsigned int, void*)
{
    return SUSIE_NOT_IMPLEMENTED;
}
SUSIE_EXPORT int SUSIE_API GetFile(const char*, susie_intptr, char*, unsigned int, void*,
                                   susie_intptr)
{
    return SUSIE_NOT_IMPLEMENTED;
}
#endif

} // extern "C"
