// How a process that converts picture after picture keeps its memory.
#pragma once

namespace imgctl {

// Keeps the memory that one picture freed for the next, instead of handing
// it back to the system and taking it again page by page. With glibc's
// defaults every picture of a batch of 1600 x 1200 photos turned and reduced
// paid a third of its time in page faults on fresh memory. Blocks up to 32
// MiB come from the heap, whose free top is given back only above 64 MiB.
// Call once at start-up, before the first picture; does nothing where the C
// library has no such settings.
void reuse_freed_memory();

// While one of these lives (on any thread), blocks of 256 KiB and more that
// the heap cannot serve from memory it holds come straight from the system
// and go back to it when freed, instead of growing the heap; the setting
// above returns when the last one ends. For decoders whose large blocks come and
// go in an order the heap cannot reuse: decoding a 12 MP HEIC photo, libheif
// and libde265 (on two threads, so in two arenas) left 160 MB resident for
// about 100 MB they held at any one time. Other threads' large blocks in
// the meantime cost fresh pages, nothing more. Does nothing unless
// reuse_freed_memory() was called in this module.
class FreshLargeBlocks
{
public:
    FreshLargeBlocks();
    ~FreshLargeBlocks();
    FreshLargeBlocks(const FreshLargeBlocks&) = delete;
    FreshLargeBlocks& operator=(const FreshLargeBlocks&) = delete;

private:
    bool m_counted;
};

} // namespace imgctl
