#include "spi/host/shared_blocks_posix.h"

#include "spi/host/spi_protocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace zumo::spihost {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    return std::exchange(m_fd, -1);
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

#ifdef __linux__

namespace {

// What the program insists on: a size that can change no more, and no
// seal that could be lifted (none can) or added to make it so.
constexpr int k_required_seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

bool write_all_at(int fd, std::span<const std::uint8_t> data, off_t offset)
{
    while (!data.empty()) {
        const ssize_t n = ::pwrite(fd, data.data(), data.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data = data.subspan(static_cast<std::size_t>(n));
        offset += n;
    }
    return true;
}

} // namespace

bool SharedBlocksSender::send(std::initializer_list<std::span<const std::uint8_t>> pieces)
{
    std::uint64_t size = 0;
    for (std::span<const std::uint8_t> piece : pieces)
        size += piece.size();
    // A memfd twice as large as the picture is not kept: an idle helper
    // holds at most about one picture beside the plug-in's own memory.
    if (m_memory.get() < 0 || m_capacity < size || m_capacity / 2 > size) {
        m_memory.reset();
        UniqueFd memory(::memfd_create("zumo-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        if (memory.get() < 0 || ::ftruncate(memory.get(), static_cast<off_t>(size)) != 0 ||
            ::fcntl(memory.get(), F_ADD_SEALS, k_required_seals) != 0)
            return false;
        m_memory = std::move(memory);
        m_capacity = size;
    }
    off_t at = 0;
    for (std::span<const std::uint8_t> piece : pieces) {
        if (!write_all_at(m_memory.get(), piece, at)) {
            m_memory.reset();
            return false;
        }
        at += static_cast<off_t>(piece.size());
    }
    char byte = 'B';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = m_memory.get();
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    while ((sent = ::sendmsg(m_socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == 1;
}

SharedBlocks SharedBlocks::receive(int socket, std::uint64_t size)
{
    char byte = 0;
    iovec data{&byte, 1};
    // Room for a few descriptors, so that a helper sending more is seen
    // doing so (and all of them are closed) rather than cut short.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    while ((got = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)) < 0 &&
           errno == EINTR) {
    }
    std::vector<UniqueFd> fds;
    if (got > 0)
        for (cmsghdr* h = CMSG_FIRSTHDR(&message); h; h = CMSG_NXTHDR(&message, h)) {
            if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(h) + i * sizeof(int), sizeof fd);
                fds.emplace_back(fd);
            }
        }
    if (fds.empty())
        throw ProtocolError("picture memory announced but not handed over");
    if (fds.size() != 1 || (message.msg_flags & MSG_CTRUNC))
        throw ProtocolError("more than one picture memory handed over");
    return check(std::move(fds.front()), size);
}

SharedBlocks SharedBlocks::check(UniqueFd fd, std::uint64_t size)
{
    // Only a memfd (or another shared-memory file) answers F_GET_SEALS; a
    // pipe, socket or ordinary file does not.
    const int seals = ::fcntl(fd.get(), F_GET_SEALS);
    if (seals < 0)
        throw ProtocolError("picture memory is not sealable shared memory");
    if ((seals & k_required_seals) != k_required_seals)
        throw ProtocolError("picture memory not sealed against changes of its size");
    struct stat info
    {
    };
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw ProtocolError("picture memory is not shared memory");
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) < size)
        throw ProtocolError("picture memory smaller than stated");
    return SharedBlocks(std::move(fd), size);
}

bool SharedBlocks::read(std::uint64_t offset, std::span<std::uint8_t> out) const
{
    if (offset > m_size || out.size() > m_size - offset)
        return false;
    while (!out.empty()) {
        const ssize_t n = ::pread(m_fd.get(), out.data(), out.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out = out.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

#else

bool SharedBlocksSender::send(std::initializer_list<std::span<const std::uint8_t>>)
{
    return false;
}

SharedBlocks SharedBlocks::receive(int, std::uint64_t)
{
    throw ProtocolError("picture memory on a system without it");
}

SharedBlocks SharedBlocks::check(UniqueFd, std::uint64_t)
{
    throw ProtocolError("picture memory on a system without it");
}

bool SharedBlocks::read(std::uint64_t, std::span<std::uint8_t>) const
{
    return false;
}

#endif

} // namespace zumo::spihost
