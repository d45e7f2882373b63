#include "imagelib/memory_reuse.h"

// Any C library header defines __GLIBC__ where the C library is glibc; the
// test below needs one before it.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace imgctl {

void reuse_freed_memory()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

} // namespace imgctl
