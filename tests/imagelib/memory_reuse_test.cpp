// The scoped large-block setting, watched through glibc's count of blocks
// it mapped from the system.
#include "imagelib/memory_reuse.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define ZUMO_OWN_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUMO_OWN_MALLOC 1
#endif
#endif

namespace {

#if defined(__GLIBC__) && !defined(ZUMO_OWN_MALLOC)
// Whether a 1 MiB block (between the two limits) that the heap cannot serve
// from its free memory is mapped on its own rather than grown into the heap.
bool comes_from_system()
{
    malloc_trim(0);
    const std::size_t before = mallinfo2().hblks;
    void* volatile block = std::malloc(1 << 20); // volatile: not elided
    const bool mapped = mallinfo2().hblks > before;
    std::free(block);
    return mapped;
}

TEST(FreshLargeBlocks, AppliesWhileAnyScopeLives)
{
    std::optional<imgctl::FreshLargeBlocks> ignored;
    ignored.emplace(); // before the process opted in: nothing to change
    imgctl::reuse_freed_memory();
    EXPECT_FALSE(comes_from_system());
    ignored.reset();
    EXPECT_FALSE(comes_from_system()) << "a scope that changed nothing must restore nothing";

    std::optional<imgctl::FreshLargeBlocks> first, second;
    const struct Step
    {
        const char* what;
        void (*act)(std::optional<imgctl::FreshLargeBlocks>&,
                    std::optional<imgctl::FreshLargeBlocks>&);
        bool fresh;
    } steps[] = {
        {"first opened", [](auto& a, auto&) { a.emplace(); }, true},
        {"second opened", [](auto&, auto& b) { b.emplace(); }, true},
        {"first ended, second lives", [](auto& a, auto&) { a.reset(); }, true},
        {"last ended", [](auto&, auto& b) { b.reset(); }, false},
        {"opened again", [](auto& a, auto&) { a.emplace(); }, true},
        {"ended again", [](auto& a, auto&) { a.reset(); }, false},
    };
    for (const Step& step : steps) {
        step.act(first, second);
        EXPECT_EQ(comes_from_system(), step.fresh) << step.what;
    }
}
#else
TEST(FreshLargeBlocks, AppliesWhileAnyScopeLives)
{
    GTEST_SKIP() << "glibc's allocator is replaced or absent";
}
#endif

} // namespace
