#include "platform/local_mem.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <malloc.h>
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

LocalHandle local_alloc(std::size_t size)
{
    return std::calloc(size == 0 ? 1 : size, 1);
}

void* local_lock(LocalHandle handle)
{
    return handle;
}

void local_unlock(LocalHandle) {}

void local_free(LocalHandle handle)
{
    std::free(handle);
}

std::size_t local_size(LocalHandle handle)
{
    // glibc (and the sanitizers' allocator) report the usable size of a
    // block, which is never less than what was asked for.
    return handle ? ::malloc_usable_size(handle) : 0;
}

#endif

} // namespace platform
