// Local-memory handles as plug-ins hand them over.
#include "platform/local_mem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

TEST(LocalMem, BlocksAreZeroedLockableAndSized)
{
    LocalHandle handle = local_alloc(100);
    ASSERT_NE(handle, nullptr);
    EXPECT_GE(local_size(handle), 100u);
    auto* bytes = static_cast<unsigned char*>(local_lock(handle));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(bytes[i], 0);
    bytes[99] = 7;
    local_unlock(handle);
    EXPECT_EQ(static_cast<unsigned char*>(local_lock(handle))[99], 7);
    local_free(handle);
}

TEST(LocalMem, ABlockFromMallocIsAHandle)
{
    // Plug-ins allocate with malloc; the host frees with local_free.
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
