// Local-memory handles, as Susie plug-ins hand pictures over. On Windows the
// LocalAlloc family. On POSIX a handle is a malloc block that starts with a
// 16-byte prefix (the block's size as a u64, then k_local_magic): lock
// returns the address after it, unlock does nothing, free calls free. The
// size is the one asked for, kept by the block: the allocator's usable size
// is rounded up, and a check against it would take slack for data.
//
// spi/susie_plugin.h gives plug-ins the same layout (susie_local_alloc).
// A plain malloc block without the prefix is still a handle, as older
// plug-ins hand them: lock returns the block itself and its size is the
// allocator's usable size, the best this process can know of it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using LocalHandle = void*;

#ifndef _WIN32
inline constexpr std::size_t k_local_prefix = 16;
inline constexpr std::uint64_t k_local_magic = 0x4B4F4C424D555A5Aull; // "ZZUMBLOK"
#endif

// A movable block of size bytes, zero-filled; null when out of memory.
LocalHandle local_alloc(std::size_t size);
// The block's address; null for a null handle.
void* local_lock(LocalHandle handle);
void local_unlock(LocalHandle handle);
// Releases the block; a null handle is ignored.
void local_free(LocalHandle handle);
// Bytes of the block: exactly what was asked for, except for a plain malloc
// block (see above); 0 for null.
std::size_t local_size(LocalHandle handle);

} // namespace platform
