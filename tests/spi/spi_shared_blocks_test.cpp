// The shared memory in which the native helper hands a picture's blocks
// over: what the helper sends passes the program's checks with its bytes in
// order, and whatever else a hostile helper may send over the socket is
// refused before a byte of it is read.
#include "spi/host/shared_blocks_posix.h"
#include "spi/host/spi_protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace zumo::spihost;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Sends a byte with the descriptors fds (none: a plain message).
void send_fds(int socket, std::initializer_list<int> fds)
{
    char byte = 'B';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (fds.size() > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        std::memcpy(CMSG_DATA(header), std::data(fds), fds.size() * sizeof(int));
    }
    ASSERT_EQ(::sendmsg(socket, &message, 0), 1);
}

// A memfd holding size bytes with the given seals.
UniqueFd memfd(std::size_t size, int seals)
{
    UniqueFd fd(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_GE(fd.get(), 0);
    EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
    if (seals != 0) {
        EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, seals), 0);
    }
    return fd;
}

struct SocketPair
{
    SocketPair()
    {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        helper.reset(ends[0]);
        program.reset(ends[1]);
    }
    UniqueFd helper;
    UniqueFd program;
};

constexpr int k_sealed = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

} // namespace

// Picture after picture, the second smaller (the helper's memory is
// reused for it) and the third far smaller (new memory).
TEST(SharedBlocks, WhatTheHelperSendsComesBackInOrder)
{
    SocketPair pair;
    SharedBlocksSender sender(pair.helper.get());
    for (std::size_t bits_size : {4900 * 3 + 1, 4900 * 2 + 3, 12}) {
        SCOPED_TRACE(bits_size);
        Bytes info(40, static_cast<std::uint8_t>(bits_size));
        Bytes bits(bits_size);
        for (std::size_t i = 0; i < bits.size(); ++i)
            bits[i] = static_cast<std::uint8_t>(i * 7 + bits_size);
        ASSERT_TRUE(sender.send({info, bits}));
        SharedBlocks shared = SharedBlocks::receive(pair.program.get(), info.size() + bits.size());
        Bytes got_info(info.size()), got_bits(bits.size());
        ASSERT_TRUE(shared.read(0, got_info));
        ASSERT_TRUE(shared.read(info.size(), got_bits));
        EXPECT_EQ(got_info, info);
        EXPECT_EQ(got_bits, bits);
        // Nothing past what was stated, even where the offset would wrap.
        Bytes one(1);
        EXPECT_FALSE(shared.read(info.size() + bits.size(), one));
        EXPECT_FALSE(shared.read(~std::uint64_t{0}, one));
    }
}

// One row per way a helper may get the memory wrong: each is refused with
// its reason, and the descriptors it sent are closed.
TEST(SharedBlocks, HostileMemoryIsRefused)
{
    struct Case
    {
        const char* what;
        std::function<void(int socket)> send; // over the helper's end
        const char* says;
    };
    auto sending = [](std::function<UniqueFd()> make) {
        return [make](int socket) {
            UniqueFd fd = make();
            send_fds(socket, {fd.get()});
        };
    };
    const Case cases[] = {
        {"size stated larger than the memory", sending([] { return memfd(99, k_sealed); }),
         "smaller than stated"},
        {"unsealed memory", sending([] { return memfd(100, 0); }), "not sealed"},
        {"memory that may still shrink",
         sending([] { return memfd(100, F_SEAL_GROW | F_SEAL_SEAL); }), "not sealed"},
        {"memory whose seals may still change",
         sending([] { return memfd(100, F_SEAL_SHRINK | F_SEAL_GROW); }), "not sealed"},
        {"a pipe", sending([] {
             int ends[2];
             EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
             ::close(ends[1]);
             return UniqueFd(ends[0]);
         }),
         "not sealable"},
        {"an ordinary file", sending([] { return UniqueFd(::open("/proc/self/exe", O_RDONLY)); }),
         "not sealable"},
        {"a message without memory", [](int socket) { send_fds(socket, {}); }, "not handed over"},
        {"two memories",
         [](int socket) {
             UniqueFd a = memfd(100, k_sealed), b = memfd(100, k_sealed);
             send_fds(socket, {a.get(), b.get()});
         },
         "more than one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SocketPair pair;
        c.send(pair.helper.get());
        const int next_fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        ::close(next_fd);
        try {
            SharedBlocks::receive(pair.program.get(), 100);
            ADD_FAILURE() << "accepted";
        } catch (const ProtocolError& e) {
            EXPECT_NE(std::strstr(e.what(), c.says), nullptr) << e.what();
        }
        // The lowest free descriptor is free again: none was kept open.
        const int after = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        ::close(after);
        EXPECT_EQ(after, next_fd);
    }
}
