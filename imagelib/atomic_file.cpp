#include "imagelib/atomic_file.h"

#include "imagelib/image_error.h"
#include "platform/file_ops.h"
#include "platform/path.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imgctl {
namespace {

std::string reason(int error)
{
    return std::strerror(error);
}

// Writing through a symbolic link replaces the file it points to, not the
// link, as an ordinary open-and-truncate would.
std::string resolve_link(const std::string& path)
{
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

} // namespace

AtomicFile::AtomicFile(const std::string& target) : m_target(resolve_link(target))
{
    if (target.empty())
        throw ImageError("cannot write a file without a name");
    struct stat st = {};
    const bool replaces = stat(m_target.c_str(), &st) == 0;
    if (replaces && S_ISDIR(st.st_mode))
        fail("is a folder", EISDIR);
    refuse_read_only();
    // Mode 0666 lets the umask decide, as for any new file; a replaced
    // file's mode is copied below.
    if (!m_temp.create(platform::folder_part(m_target), 0666))
        fail("cannot create a temporary file: " + reason(errno), errno);
    if (replaces)
        fchmod(m_temp.fd(), st.st_mode & 07777);
    // The stream gets a descriptor of its own: the temporary file's stays
    // open until it is placed, as a file without a name needs it.
    const int fd = dup(m_temp.fd());
    m_stream = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (m_stream == nullptr) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        fail(reason(error), error);
    }
    // Encoders write row by row; a larger buffer saves most system calls.
    std::setvbuf(m_stream, nullptr, _IOFBF, std::size_t{256} * 1024);
}

AtomicFile::~AtomicFile()
{
    if (m_stream != nullptr)
        std::fclose(m_stream);
}

void AtomicFile::write(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_stream) != bytes.size())
        fail(reason(errno), errno);
}

void AtomicFile::commit()
{
    if (std::fflush(m_stream) != 0 || std::ferror(m_stream))
        fail(reason(errno), errno);
    std::FILE* stream = m_stream;
    m_stream = nullptr;
    if (std::fclose(stream) != 0)
        fail(reason(errno), errno);
    // Made read-only while we wrote: it stays.
    refuse_read_only();
    if (!m_temp.place(m_target, platform::IfExists::Replace))
        fail(reason(errno), errno);
}

void AtomicFile::refuse_read_only() const
{
    // A write-protected file is never replaced, also not by root, for whom
    // the rename over it would succeed.
    if (platform::file_is_read_only(m_target))
        fail("is read-only", EACCES);
}

void AtomicFile::fail(const std::string& what, int error) const
{
    throw ImageError(m_target + ": " + what, error != 0 ? Fault::System : Fault::Data, error);
}

namespace {

struct Descriptor
{
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

} // namespace

std::vector<std::uint8_t> read_file_bytes(const std::string& path)
{
    // Bigger than any picture within the pixel limit that is worth reading.
    constexpr off_t k_max_file = off_t{1} << 30;
    // Non-blocking, so that a named pipe given as a picture fails at once
    // instead of waiting for a writer.
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0)
        throw ImageError(path + ": " + reason(errno), Fault::System, errno);
    struct stat st = {};
    if (fstat(file.fd, &st) != 0)
        throw ImageError(path + ": " + reason(errno), Fault::System, errno);
    if (!S_ISREG(st.st_mode))
        throw ImageError(path + ": not a regular file", Fault::System, EINVAL);
    if (st.st_size > k_max_file)
        throw ImageError(path + ": file too large", Fault::TooLarge);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw ImageError(path + ": " + reason(errno), Fault::System, errno);
        if (n == 0)
            break; // the file shrank meanwhile
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

} // namespace imgctl
