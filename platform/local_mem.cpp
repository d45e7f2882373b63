#include "platform/local_mem.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <optional>
#endif

namespace platform {

#ifdef _WIN32

LocalHandle local_alloc(std::size_t size)
{
    return ::LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
}

void* local_lock(LocalHandle handle)
{
    return handle ? ::LocalLock(static_cast<HLOCAL>(handle)) : nullptr;
}

void local_unlock(LocalHandle handle)
{
    if (handle)
        ::LocalUnlock(static_cast<HLOCAL>(handle));
}

void local_free(LocalHandle handle)
{
    if (handle)
        ::LocalFree(static_cast<HLOCAL>(handle));
}

std::size_t local_size(LocalHandle handle)
{
    return handle ? ::LocalSize(static_cast<HLOCAL>(handle)) : 0;
}

#else

namespace {

// The size a block from local_alloc (or a plug-in's susie_local_alloc)
// keeps in its prefix; nothing for a plain malloc block. Reads the prefix
// only where the allocator says the block has room for it, and believes a
// size only when it fits the block, so a plain block whose data happen to
// look like a prefix still never leads a reader past its end.
std::optional<std::size_t> prefixed_size(LocalHandle handle)
{
    const std::size_t usable = ::malloc_usable_size(handle);
    if (usable < k_local_prefix)
        return std::nullopt;
    std::uint64_t prefix[2];
    std::memcpy(prefix, handle, sizeof prefix);
    if (prefix[1] != k_local_magic || prefix[0] > usable - k_local_prefix)
        return std::nullopt;
    return static_cast<std::size_t>(prefix[0]);
}

} // namespace

LocalHandle local_alloc(std::size_t size)
{
    if (size > SIZE_MAX - k_local_prefix)
        return nullptr;
    void* block = std::calloc(k_local_prefix + size, 1);
    if (!block)
        return nullptr;
    const std::uint64_t prefix[2] = {size, k_local_magic};
    std::memcpy(block, prefix, sizeof prefix);
    return block;
}

void* local_lock(LocalHandle handle)
{
    if (!handle)
        return nullptr;
    return prefixed_size(handle) ? static_cast<char*>(handle) + k_local_prefix : handle;
}

void local_unlock(LocalHandle) {}

void local_free(LocalHandle handle)
{
    std::free(handle);
}

std::size_t local_size(LocalHandle handle)
{
    if (!handle)
        return 0;
    if (std::optional<std::size_t> size = prefixed_size(handle))
        return *size;
    return ::malloc_usable_size(handle);
}

#endif

} // namespace platform
