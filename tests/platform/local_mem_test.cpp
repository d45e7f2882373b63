// Local-memory handles as plug-ins hand them over.
#include "platform/local_mem.h"
#include "spi/susie_plugin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

TEST(LocalMem, BlocksAreZeroedLockableAndSized)
{
    LocalHandle handle = local_alloc(100);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(local_size(handle), 100u);
    auto* bytes = static_cast<unsigned char*>(local_lock(handle));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(bytes[i], 0);
    bytes[99] = 7;
    local_unlock(handle);
    EXPECT_EQ(static_cast<unsigned char*>(local_lock(handle))[99], 7);
    local_free(handle);
}

// The size checked against is the one asked for, also where the allocator
// rounds up (glibc gives 41, 48 and 51 bytes the same 56), and also for a
// block a plug-in allocated with the public header's function.
TEST(LocalMem, BlocksKnowTheirExactSize)
{
    for (std::size_t size : {0, 1, 40, 41, 48, 51, 52, 4095}) {
        SCOPED_TRACE(size);
        LocalHandle ours = local_alloc(size);
        EXPECT_EQ(local_size(ours), size);
        local_free(ours);
        susie_handle theirs = susie_local_alloc(size);
        EXPECT_EQ(local_size(theirs), size);
        EXPECT_EQ(local_lock(theirs), susie_local_lock(theirs));
        local_free(theirs);
    }
}

// A plain block whose data look like a prefix claiming more than the block
// holds is not believed: its size stays within the block.
TEST(LocalMem, APrefixClaimingMoreThanTheBlockIsNotBelieved)
{
    void* block = std::malloc(64);
    const std::uint64_t prefix[2] = {1u << 20, k_local_magic};
    std::memcpy(block, prefix, sizeof prefix);
    EXPECT_EQ(local_lock(block), block);
    EXPECT_GE(local_size(block), 64u);
    EXPECT_LT(local_size(block), 1u << 20);
    local_free(block);
}

TEST(LocalMem, ABlockFromMallocIsAHandle)
{
    // Older plug-ins allocate with malloc; the host frees with local_free.
    void* block = std::malloc(24);
    EXPECT_EQ(local_lock(block), block);
    EXPECT_GE(local_size(block), 24u);
    local_free(block);
    EXPECT_EQ(local_lock(nullptr), nullptr);
    EXPECT_EQ(local_size(nullptr), 0u);
    local_free(nullptr);
}

} // namespace
} // namespace platform
