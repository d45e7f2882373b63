#include "imagelib/memory_reuse.h"

// Any C library header defines __GLIBC__ where the C library is glibc; the
// test below needs one before it.
#include <cstdlib>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace imgctl {
namespace {

constexpr int k_heap_block_limit = 32 << 20;
constexpr int k_fresh_block_limit = 256 << 10;

// glibc has no way to read the setting back: the state is kept here.
std::mutex g_mutex;
bool g_reusing = false;
int g_fresh_scopes = 0;

void set_block_limit([[maybe_unused]] int bytes)
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, bytes);
#endif
}

} // namespace

void reuse_freed_memory()
{
#if defined(__GLIBC__)
    const std::lock_guard lock(g_mutex);
    g_reusing = true;
    if (g_fresh_scopes == 0)
        set_block_limit(k_heap_block_limit);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

FreshLargeBlocks::FreshLargeBlocks()
{
    const std::lock_guard lock(g_mutex);
    m_counted = g_reusing;
    if (m_counted && g_fresh_scopes++ == 0)
        set_block_limit(k_fresh_block_limit);
}

FreshLargeBlocks::~FreshLargeBlocks()
{
    const std::lock_guard lock(g_mutex);
    if (m_counted && --g_fresh_scopes == 0)
        set_block_limit(k_heap_block_limit);
}

} // namespace imgctl
