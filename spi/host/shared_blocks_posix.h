// A picture's blocks handed from the native helper to the program in shared
// memory instead of the channel's byte stream (Linux; elsewhere nothing is
// shared and the blocks go in the stream).
//
// The helper writes the blocks one after the other into a memfd sealed
// against shrinking, growing and further seals, and passes it over a Unix
// socket beside the channel (SCM_RIGHTS) just before its reply; the reply
// states the blocks' sizes. The program takes the descriptor, checks that it
// is a memfd sealed so and that it holds at least the stated bytes, and
// copies the blocks out with pread: it never maps what a hostile helper
// handed it, so no truncation can make it take SIGBUS, and the copy costs
// what a copy out of a mapping would.
//
// The helper keeps its memfd for the next picture when that fits (and is
// not much smaller): fresh shared memory for every picture costs more than
// the pipe (its pages are allocated and cleared each time, about 13 ms for
// 24 MB here), reused memory about as much. The program has copied the
// blocks before it asks for the next picture, so nothing it reads changes.
//
// Why a socket and not /proc/<pid>/fd/<n>: the descriptor travels with its
// message, needs neither /proc nor the right to inspect the helper (ptrace
// rules, a non-dumpable process), cannot name a descriptor that the helper
// reused meanwhile, and the pid the program knows is the helper's
// supervisor, not the process that serves the plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

namespace zumo::spihost {

// The helper's option that names the socket's descriptor.
inline constexpr const char* k_blocks_socket_option = "--blocks-socket=";

// An owned file descriptor.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return m_fd; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// ---- the helper's side

class SharedBlocksSender
{
public:
    // socket: the helper's end of the socket to the program.
    explicit SharedBlocksSender(int socket) : m_socket(socket) {}

    // Writes the pieces one after the other into the sealed memfd and sends
    // it over the socket. False when that cannot be done (no memfd in this
    // kernel, a seccomp filter, the socket gone): nothing was sent then, and
    // the blocks go in the stream.
    bool send(std::initializer_list<std::span<const std::uint8_t>> pieces);

private:
    int m_socket;
    UniqueFd m_memory;
    std::uint64_t m_capacity = 0;
};

// ---- the program's side

// A memfd from the helper, checked to hold at least the stated bytes and to
// be sealed so that it stays so.
class SharedBlocks
{
public:
    // Takes the next descriptor the helper sent over socket (without
    // waiting: it was sent before the reply that announced it) and checks it
    // against size. Throws ProtocolError naming the fault: nothing sent, more
    // than one descriptor, not a sealed memfd, fewer bytes than size.
    static SharedBlocks receive(int socket, std::uint64_t size);
    // Checks a descriptor already taken (owned from now on) as receive does.
    static SharedBlocks check(UniqueFd fd, std::uint64_t size);

    // Copies out.size() bytes from offset; false when the memory does not
    // hold them (it cannot, once checked) or cannot be read.
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    explicit SharedBlocks(UniqueFd fd, std::uint64_t size) : m_fd(std::move(fd)), m_size(size) {}

    UniqueFd m_fd;
    std::uint64_t m_size;
};

} // namespace zumo::spihost
