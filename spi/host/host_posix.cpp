// zumo-spi-host on POSIX: serves one native plug-in library (a shared
// object "<name>.spi") over standard input and output.
//
//     zumo-spi-host [--blocks-socket=FD] PLUGIN
//
// With --blocks-socket, FD is a Unix socket to the program over which the
// pictures' blocks go in shared memory (see shared_blocks_posix.h).
//
// The protocol owns the two standard descriptors: they are moved aside
// first, and a plug-in that prints lands on standard error instead of in
// the middle of a message.
#include "spi/host/shared_blocks_posix.h"
#include "spi/host/spi_serve.h"
#include "spi/host/supervisor_posix.h"

#include "imagelib/memory_reuse.h"
#include "platform/dynlib.h"
#include "platform/local_mem.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using namespace zumo::spihost;

class FdChannel : public Channel
{
public:
    FdChannel(int in, int out) : m_in(in), m_out(out) {}

    bool read_exact(void* buffer, std::size_t count) override
    {
        auto* p = static_cast<char*>(buffer);
        while (count > 0) {
            ssize_t n = ::read(m_in, p, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }

    bool write_all(const void* buffer, std::size_t count) override
    {
        auto* p = static_cast<const char*>(buffer);
        while (count > 0) {
            ssize_t n = ::write(m_out, p, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int m_in;
    int m_out;
};

class DlLibrary : public PluginLibrary
{
public:
    explicit DlLibrary(platform::LibraryHandle handle) : m_handle(handle) {}
    ~DlLibrary() override { platform::free_library(m_handle); }
    void* symbol(const char* name) override { return platform::library_symbol(m_handle, name); }
    std::string file_name() override { return platform::library_file_name(m_handle); }

private:
    platform::LibraryHandle m_handle;
};

class PosixSystem : public HostSystem
{
public:
    // blocks_socket: -1 for none, and the blocks go in the stream.
    explicit PosixSystem(int blocks_socket)
    {
        if (blocks_socket >= 0)
            m_blocks.emplace(blocks_socket);
    }
    std::unique_ptr<PluginLibrary> load(const std::string& path) override
    {
        platform::LibraryHandle handle = platform::load_library(path);
        if (!handle)
            return nullptr;
        return std::make_unique<DlLibrary>(handle);
    }
    // Native plug-ins take the program's file names as they are.
    std::string plugin_path(const std::string& path) override { return path; }
    const void* lock(susie_handle handle) override { return platform::local_lock(handle); }
    void unlock(susie_handle handle) override { platform::local_unlock(handle); }
    std::size_t size(susie_handle handle) override { return platform::local_size(handle); }
    void free(susie_handle handle) override { platform::local_free(handle); }
    bool share_blocks(std::span<const std::uint8_t> info,
                      std::span<const std::uint8_t> bits) override
    {
        return m_blocks && m_blocks->send({info, bits});
    }

private:
    std::optional<SharedBlocksSender> m_blocks;
};

// The protocol's descriptors, moved off 0 and 1, which then point to
// /dev/null and standard error.
bool take_standard_descriptors(int& in, int& out)
{
    in = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (in < 0 || out < 0)
        return false;
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(2, 1) < 0)
        return false;
    ::close(null);
    return true;
}

// The descriptor of --blocks-socket=FD, kept away from the plug-in's
// children; -1 when the option names none that is open.
int blocks_socket(const char* option)
{
    const std::size_t prefix = std::strlen(k_blocks_socket_option);
    char* end = nullptr;
    const long fd = std::strtol(option + prefix, &end, 10);
    if (end == option + prefix || *end != '\0' || fd < 3 || fd > 65535 ||
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) != 0)
        return -1;
    return static_cast<int>(fd);
}

} // namespace

int main(int argc, char** argv)
{
    int blocks = -1;
    if (argc == 3 &&
        std::strncmp(argv[1], k_blocks_socket_option, std::strlen(k_blocks_socket_option)) == 0) {
        blocks = blocks_socket(argv[1]);
        --argc;
        ++argv;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: zumo-spi-host [--blocks-socket=FD] PLUGIN\n"
                             "Serves one Susie plug-in to zumo over standard input and output.\n");
        return 64;
    }
    // A program that went away shows as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int in = -1, out = -1;
    if (!take_standard_descriptors(in, out)) {
        std::perror("zumo-spi-host");
        return 71;
    }
    // A plug-in that hangs cannot end its helper, nor can one that forks
    // leave a process behind: a supervisor above the serving process ends
    // them all (see supervisor_posix.h).
    const std::string plugin = argv[1];
    return run_supervised(
        [&] {
            // Picture after picture: the plug-in's blocks reuse the memory
            // the last one freed instead of faulting in fresh pages each time.
            imgctl::reuse_freed_memory();
            FdChannel channel(in, out);
            PosixSystem system(blocks);
            return serve(channel, system, plugin);
        },
        {in, out, blocks});
}
