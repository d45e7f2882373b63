// Feeds arbitrary bytes to one shipped import plug-in through its exported
// entry points, as the host calls them: IsSupported with the zero-padded
// head, GetPictureInfo and GetPicture from memory. Built once per plug-in
// (the plug-in's sources are linked in). What a plug-in hands back must be
// local-memory blocks that know their size (susie_local_alloc) and hold
// what the header says: every byte of both blocks is read.
#define SUSIE_PLUGIN_IMPLEMENTATION
#include "imagelib/picture_limits.h"
#include "spi/susie_plugin.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int SUSIE_API progress(int done, int total, susie_intptr)
{
    if (done < 0 || total < 0 || done > total)
        std::abort();
    return 0;
}

template <typename T> T read(const std::uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The size a block from susie_local_alloc keeps in its prefix; a block
// without one is a fault: the host could check it only against the
// allocator's rounded-up size.
std::size_t block_size(susie_handle handle)
{
    std::uint64_t prefix[2];
    std::memcpy(prefix, handle, sizeof prefix);
    if (prefix[1] != SUSIE_LOCAL_MAGIC)
        std::abort();
    return static_cast<std::size_t>(prefix[0]);
}

// The blocks describe a bottom-up DIB of 8, 24 or 32 bits within the
// picture limits, and are at least as large as that DIB.
void check_picture(susie_handle info_handle, susie_handle bits_handle)
{
    const std::size_t info_block = block_size(info_handle);
    const std::size_t bits_block = block_size(bits_handle);
    const auto* info = static_cast<const std::uint8_t*>(susie_local_lock(info_handle));
    const auto* bits = static_cast<const std::uint8_t*>(susie_local_lock(bits_handle));
    if (info_block < 40)
        std::abort();
    const std::int32_t width = read<std::int32_t>(info + 4);
    const std::int32_t height = read<std::int32_t>(info + 8);
    const std::uint16_t bit_count = read<std::uint16_t>(info + 14);
    const std::uint32_t colours = read<std::uint32_t>(info + 32);
    if (read<std::uint32_t>(info) != 40 || !imgctl::size_within_limits(width, height) ||
        (bit_count != 8 && bit_count != 24 && bit_count != 32) || colours > 256 ||
        (bit_count != 8 && colours != 0))
        std::abort();
    const std::size_t info_size = 40 + 4 * std::size_t{colours};
    const std::size_t stride = (static_cast<std::size_t>(width) * bit_count + 31) / 32 * 4;
    const std::size_t image_size = stride * static_cast<std::size_t>(height);
    if (info_block < info_size || bits_block < image_size)
        std::abort();
    // Touch every byte, so that a short block is a sanitizer fault.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < info_size; ++i)
        sum += info[i];
    for (std::size_t i = 0; i < image_size; i += 97)
        sum += bits[i];
    sum += bits[image_size - 1];
    volatile std::uint32_t keep = sum;
    (void)keep;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    char text[256];
    for (int n = 0; n < 4; ++n)
        GetPluginInfo(n, text, 255);

    std::uint8_t head[SUSIE_HEAD_SIZE] = {};
    std::memcpy(head, data, std::min<std::size_t>(size, sizeof head));
    IsSupported("fuzz", head);

    const char* source = reinterpret_cast<const char*>(data);
    const auto length = static_cast<susie_intptr>(size);
    SusiePictureInfo picture_info{};
    if (GetPictureInfo(source, length, SUSIE_SOURCE_MEMORY, &picture_info) == SUSIE_OK)
        susie_local_free(picture_info.hInfo);

    susie_handle info = nullptr;
    susie_handle bits = nullptr;
    if (GetPicture(source, length, SUSIE_SOURCE_MEMORY, &info, &bits, progress, 0) == SUSIE_OK) {
        if (!info || !bits)
            std::abort();
        check_picture(info, bits);
    } else if (info || bits) {
        std::abort(); // a failure hands nothing over
    }
    susie_local_free(info);
    susie_local_free(bits);
    return 0;
}
