// Hostile Susie import plug-ins for the bounds the helper keeps. They read
// files starting "ZHST" followed by a mode byte ('H': hang after the work,
// anything else: return a picture), built in variants:
//   HP_SPAWN     GetPicture starts three processes that would run for ever:
//                a forked child, a child in a session of its own (setsid) and
//                a daemon (setsid, then forked again, the middle one gone).
//                Each appends its pid to "<file>.pids"; GetPicture returns
//                once all three have.
//   HP_OVERSIZE  GetPicture hands a 4x4 24-bit picture over in a 512 MiB
//                pixel block (untouched, so it costs the plug-in nothing).
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "spi/susie_plugin.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

bool is_zhst(const void* p)
{
    return std::memcmp(p, "ZHST", 4) == 0;
}

// The mode byte of a file source; 0 when it is not one.
char mode_of(const char* buf, unsigned int flag)
{
    if ((flag & 7) != SUSIE_SOURCE_FILE || !buf)
        return 0;
    char head[5] = {};
    std::FILE* file = std::fopen(buf, "rb");
    if (!file)
        return 0;
    const std::size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    return n == sizeof head && is_zhst(head) ? head[4] : 0;
}

[[maybe_unused]] void append_pid(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    const std::string line = std::to_string(::getpid()) + "\n";
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

[[maybe_unused]] [[noreturn]] void linger(const std::string& pids)
{
    append_pid(pids);
    for (;;)
        ::pause();
}

[[maybe_unused]] void spawn_lingerers(const std::string& pids)
{
    if (::fork() == 0)
        linger(pids);
    if (::fork() == 0) {
        ::setsid();
        linger(pids);
    }
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::setsid();
        if (::fork() == 0)
            linger(pids);
        ::_exit(0);
    }
    // Until all three are written down, so that the test knows them.
    for (int waited = 0; waited < 5000; ++waited) {
        std::FILE* file = std::fopen(pids.c_str(), "r");
        int lines = 0;
        if (file) {
            for (int c; (c = std::fgetc(file)) != EOF;)
                lines += c == '\n';
            std::fclose(file);
        }
        if (lines >= 3)
            break;
        ::usleep(1000);
    }
}

unsigned char* put32(unsigned char* p, unsigned v)
{
    std::memcpy(p, &v, 4);
    return p;
}

} // namespace

extern "C" {

int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
    static const char* const texts[] = {"00IN", "zumo hostile test plug-in", "*.zhst", "Hostile"};
    if (infono < 0 || infono > 3 || !buf || buflen <= 0)
        return 0;
    std::snprintf(buf, static_cast<std::size_t>(buflen), "%s", texts[infono]);
    return static_cast<int>(std::strlen(buf));
}

int SUSIE_API IsSupported(const char*, const void* head)
{
    return head && is_zhst(head) ? 1 : 0;
}

int SUSIE_API GetPictureInfo(const char* buf, susie_intptr, unsigned int flag,
                             SusiePictureInfo* info)
{
    if (!info || !mode_of(buf, flag))
        return SUSIE_UNKNOWN_FORMAT;
    std::memset(info, 0, sizeof *info);
    return SUSIE_OK;
}

int SUSIE_API GetPicture(const char* buf, susie_intptr, unsigned int flag, susie_handle* pHBInfo,
                         susie_handle* pHBm, SusieProgressCallback, susie_intptr)
{
    const char mode = mode_of(buf, flag);
    if (!mode || !pHBInfo || !pHBm)
        return SUSIE_UNKNOWN_FORMAT;
#ifdef HP_SPAWN
    spawn_lingerers(std::string(buf) + ".pids");
#endif
    if (mode == 'H')
        for (;;)
            ::pause();
#ifdef HP_OVERSIZE
    const std::size_t bits_size = std::size_t{512} << 20;
#else
    const std::size_t bits_size = 48;
#endif
    susie_handle info = susie_local_alloc(40);
    susie_handle bits = susie_local_alloc(bits_size);
    if (!info || !bits) {
        susie_local_free(info);
        susie_local_free(bits);
        return SUSIE_NO_MEMORY;
    }
    auto* header = static_cast<unsigned char*>(susie_local_lock(info));
    put32(header, 40);
    put32(header + 4, 4);
    put32(header + 8, 4);
    header[12] = 1;
    header[14] = 24;
    *pHBInfo = info;
    *pHBm = bits;
    return SUSIE_OK;
}

} // extern "C"
