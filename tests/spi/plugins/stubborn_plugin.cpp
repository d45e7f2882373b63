// A Susie import plug-in for "*.ztst" that never gets anywhere, for the
// tests of requests bounded in time. Variants by compile definition:
//   SP_PROGRESS_FOREVER   GetPicture reports progress every millisecond
//                         and never finishes, whatever the answers
//   SP_HANG_SUPPORTED     IsSupported never returns
//   SP_CRASH_SUPPORTED    IsSupported dies of SIGSEGV
//   SP_HANG_INFO          GetPluginInfo never returns
//   SP_CRASH_LOAD         dies of SIGSEGV as the library is loaded (a
//                         constructor), before any entry point is found
//   SP_HANG_LOAD          never finishes loading (a constructor that waits)
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

int answer(const char* text, char* buffer, int length)
{
    if (!buffer || length <= 0)
        return 0;
    int n = static_cast<int>(std::strlen(text));
    if (n >= length)
        n = length - 1;
    std::memcpy(buffer, text, static_cast<std::size_t>(n));
    buffer[n] = '\0';
    return n;
}

[[noreturn, maybe_unused]] void hang()
{
    for (;;)
        ::pause();
}

#if defined(SP_CRASH_LOAD) || defined(SP_HANG_LOAD)
[[gnu::constructor]] void on_load()
{
#ifdef SP_CRASH_LOAD
    std::raise(SIGSEGV);
#else
    hang();
#endif
}
#endif

} // namespace

extern "C" {

int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
#ifdef SP_HANG_INFO
    hang();
#endif
    static const char* const texts[] = {"00IN", "stubborn test plug-in", "*.ztst",
                                        "Z test picture"};
    if (infono < 0 || infono >= 4)
        return 0;
    return answer(texts[infono], buf, buflen);
}

int SUSIE_API IsSupported(const char*, const void* head)
{
#ifdef SP_HANG_SUPPORTED
    hang();
#endif
#ifdef SP_CRASH_SUPPORTED
    std::raise(SIGSEGV);
#endif
    return head && std::memcmp(head, "ZTST", 4) == 0 ? 1 : 0;
}

int SUSIE_API GetPictureInfo(const char*, susie_intptr, unsigned int, SusiePictureInfo* info)
{
    std::memset(info, 0, sizeof *info);
    info->width = info->height = 1;
    info->colorDepth = 24;
    return SUSIE_OK;
}

int SUSIE_API GetPicture(const char*, susie_intptr, unsigned int, susie_handle*, susie_handle*,
                         SusieProgressCallback progress, susie_intptr data)
{
#ifdef SP_PROGRESS_FOREVER
    for (int done = 0;; done = (done + 1) % 100) {
        if (progress)
            progress(done, 100, data); // a stop request is not heeded
        ::usleep(1000);
    }
#else
    (void)progress;
    (void)data;
    return SUSIE_BROKEN_DATA;
#endif
}

} // extern "C"
