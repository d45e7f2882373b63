// Local-memory handles, as Susie plug-ins hand pictures over. On Windows the
// LocalAlloc family; on POSIX a handle is a malloc block: lock returns the
// pointer, unlock does nothing, free calls free (plug-ins and host share the
// process's one allocator).
#pragma once

#include <cstddef>

namespace platform {

using LocalHandle = void*;

// A movable block of size bytes, zero-filled; null when out of memory.
LocalHandle local_alloc(std::size_t size);
// The block's address; null for a null handle.
void* local_lock(LocalHandle handle);
void local_unlock(LocalHandle handle);
// Releases the block; a null handle is ignored.
void local_free(LocalHandle handle);
// Usable bytes of the block (at least what was asked for); 0 for null.
std::size_t local_size(LocalHandle handle);

} // namespace platform
