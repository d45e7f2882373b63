/* The Susie plug-in interface, for authors of import plug-ins that zumo
 * loads (and for the host itself).
 *
 * A plug-in is a dynamic library that exports the entry points below by
 * these exact names with C linkage. On Windows the library has the
 * extension ".spi"; on POSIX it is a shared library named "<name>.spi".
 *
 * Calling convention and widths:
 *  - 32-bit Windows: stdcall; every value is 32 bits wide (sources, lengths,
 *    handles and the callback data included). This is the classic layout.
 *  - Everywhere else (64-bit Windows, Linux, ...): the platform's C calling
 *    convention; sources, lengths, handles and the callback data are
 *    pointer-sized (susie_intptr, susie_handle), as 64-bit Windows plug-ins
 *    have them. Information numbers, flags and results stay 32-bit ints.
 *
 * Strings are NUL-terminated byte strings in the system's code page (UTF-8
 * on Linux).
 *
 * Memory handed to the host: GetPicture and GetPreview return two
 * local-memory handles that the host owns from then on. On Windows they come
 * from LocalAlloc; on POSIX from susie_local_alloc below, a malloc block
 * that keeps its exact size in front of the data (the host frees it with
 * free, so plug-in and host must share the C library's allocator, which is
 * the case for shared libraries of one process). A plain malloc block is
 * still taken, but the host can only learn the allocator's rounded-up size
 * of it, so its checks hold to that size, not to what was asked for.
 *  - the bitmap-information handle: a BITMAPINFO, i.e. a 40-byte
 *    BITMAPINFOHEADER followed by the colour table (4 bytes per entry,
 *    blue, green, red, 0), and for BI_BITFIELDS the three colour masks;
 *  - the pixel-bits handle: the pixel rows of that bitmap, each padded to a
 *    multiple of 4 bytes, bottom-up unless biHeight is negative.
 * The host checks that both blocks are as large as the header claims and
 * rejects the picture otherwise; it takes only the bytes the picture needs
 * (header, masks, colour table; padded rows times the height).
 */
#ifndef ZUMO_SUSIE_PLUGIN_H
#define ZUMO_SUSIE_PLUGIN_H

#include <stdint.h>
#ifndef _WIN32
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#endif

/* intptr_t and pointers are 32 bits on 32-bit Windows and pointer-sized
 * elsewhere, so one set of types covers both layouts. */
#if defined(_WIN32) && !defined(_WIN64)
#define SUSIE_API __stdcall
#else
#define SUSIE_API
#endif
typedef intptr_t susie_intptr;
typedef void* susie_handle; /* HLOCAL on Windows, a malloc block on POSIX */

#if defined(_WIN32)
#define SUSIE_EXPORT __declspec(dllexport)
#else
#define SUSIE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _WIN32
/* Local-memory blocks on POSIX: a 16-byte prefix (the size asked for, a
 * 64-bit value, then SUSIE_LOCAL_MAGIC), then the zero-filled data. The
 * handle is the malloc block; susie_local_lock gives the data. */
#define SUSIE_LOCAL_PREFIX 16
#define SUSIE_LOCAL_MAGIC 0x4B4F4C424D555A5Aull

static inline susie_handle susie_local_alloc(size_t size)
{
    uint64_t prefix[2];
    void* block;
    if (size > SIZE_MAX - SUSIE_LOCAL_PREFIX)
        return NULL;
    block = calloc(SUSIE_LOCAL_PREFIX + size, 1);
    if (!block)
        return NULL;
    prefix[0] = size;
    prefix[1] = SUSIE_LOCAL_MAGIC;
    memcpy(block, prefix, sizeof prefix);
    return block;
}

static inline void* susie_local_lock(susie_handle handle)
{
    return handle ? (char*)handle + SUSIE_LOCAL_PREFIX : NULL;
}

static inline void susie_local_free(susie_handle handle)
{
    free(handle);
}
#endif

/* Plug-in information numbers for GetPluginInfo. */
enum {
    SUSIE_INFO_API_VERSION = 0,  /* "00IN" import, "00AM" archive, "00XN" */
    SUSIE_INFO_TITLE = 1,        /* the plug-in's name, version, author */
    SUSIE_INFO_FIRST_PATTERN = 2 /* 2k: pattern ("*.png" or "*.jpg;*.jpeg"),
                                    2k+1: the format name for that pattern */
};

/* Source kinds passed in the flag argument (the host sets no other bits). */
enum {
    SUSIE_SOURCE_FILE = 0,  /* source: file name; length: offset of the data */
    SUSIE_SOURCE_MEMORY = 1 /* source: address of the data; length: bytes */
};

/* Result codes. The host only tests "0 means success"; these are the usual
 * values for the other cases. */
enum {
    SUSIE_OK = 0,
    SUSIE_NOT_IMPLEMENTED = -1,
    SUSIE_ABORTED = 1, /* the progress callback asked to stop */
    SUSIE_UNKNOWN_FORMAT = 2,
    SUSIE_BROKEN_DATA = 3,
    SUSIE_NO_MEMORY = 4,
    SUSIE_MEMORY_ERROR = 5,
    SUSIE_FILE_READ_ERROR = 6,
    SUSIE_INTERNAL_ERROR = 8
};

/* Size of the head buffer that IsSupported receives: at least this many
 * bytes of the start of the data, zero bytes past the end of short data. */
#define SUSIE_HEAD_SIZE 2048

/* Picture information record filled by GetPictureInfo. Packed; 26 bytes on
 * 32-bit Windows, where hInfo sits at bytes 22-25. With pointer-sized
 * handles hInfo sits at bytes 22-29. hInfo is a local-memory handle to the
 * picture's text information (or 0); the host releases it. */
#pragma pack(push, 1)
typedef struct SusiePictureInfo
{
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t x_density;
    uint16_t y_density;
    int16_t colorDepth;
    susie_handle hInfo;
} SusiePictureInfo;
#pragma pack(pop)

/* Progress callback handed to GetPicture/GetPreview. done of total is the
 * progress; data is the value the host passed. A non-zero result asks the
 * plug-in to stop (it should then free what it allocated and return
 * SUSIE_ABORTED). */
typedef int(SUSIE_API* SusieProgressCallback)(int done, int total, susie_intptr data);

/* Entry-point signatures, for the host's look-ups. */
typedef int(SUSIE_API* SusieGetPluginInfo)(int infono, char* buf, int buflen);
typedef int(SUSIE_API* SusieIsSupported)(const char* filename, const void* head);
typedef int(SUSIE_API* SusieGetPictureInfo)(const char* buf, susie_intptr len, unsigned int flag,
                                            SusiePictureInfo* info);
typedef int(SUSIE_API* SusieGetPicture)(const char* buf, susie_intptr len, unsigned int flag,
                                        susie_handle* pHBInfo, susie_handle* pHBm,
                                        SusieProgressCallback progress, susie_intptr data);
typedef int(SUSIE_API* SusieConfigurationDlg)(void* parent, int fnc);

/* Declarations for plug-in authors. Define SUSIE_PLUGIN_IMPLEMENTATION
 * before including this header in the plug-in's sources to get them. */
#ifdef SUSIE_PLUGIN_IMPLEMENTATION
/* Writes the text of information number infono (at most buflen bytes,
 * NUL-terminated) and returns its length; 0 when there is no such number. */
SUSIE_EXPORT int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen);
/* Non-zero when the plug-in decodes the data whose first bytes are in head
 * (SUSIE_HEAD_SIZE bytes). filename may be empty. */
SUSIE_EXPORT int SUSIE_API IsSupported(const char* filename, const void* head);
SUSIE_EXPORT int SUSIE_API GetPictureInfo(const char* buf, susie_intptr len, unsigned int flag,
                                          SusiePictureInfo* info);
SUSIE_EXPORT int SUSIE_API GetPicture(const char* buf, susie_intptr len, unsigned int flag,
                                      susie_handle* pHBInfo, susie_handle* pHBm,
                                      SusieProgressCallback progress, susie_intptr data);
SUSIE_EXPORT int SUSIE_API GetPreview(const char* buf, susie_intptr len, unsigned int flag,
                                      susie_handle* pHBInfo, susie_handle* pHBm,
                                      SusieProgressCallback progress, susie_intptr data);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZUMO_SUSIE_PLUGIN_H */
