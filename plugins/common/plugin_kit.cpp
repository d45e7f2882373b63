#include "plugins/common/plugin_kit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace spikit {
namespace {

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A local-memory block that keeps its exact size in front of the data
// (susie_local_alloc): the host checks the header against what was asked
// for, not against the allocator's rounded-up size.
struct BlockFree
{
    void operator()(void* block) const { susie_local_free(block); }
};
using Block = std::unique_ptr<void, BlockFree>;

std::uint8_t* data_of(const Block& block)
{
    return static_cast<std::uint8_t*>(susie_local_lock(block.get()));
}

// The bytes of the source. A file is read whole from the offset on; memory
// is used in place.
int read_source(const char* buf, susie_intptr len, unsigned int flag,
                std::vector<std::uint8_t>& storage, std::span<const std::uint8_t>& data)
{
    if (!buf || len < 0)
        return SUSIE_FILE_READ_ERROR;
    if ((flag & 7) == SUSIE_SOURCE_MEMORY) {
        data = {reinterpret_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(len)};
        return SUSIE_OK;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(buf, "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0)
        return SUSIE_FILE_READ_ERROR;
    long size = std::ftell(file.get());
    if (size < len || std::fseek(file.get(), static_cast<long>(len), SEEK_SET) != 0)
        return SUSIE_FILE_READ_ERROR;
    storage.resize(static_cast<std::size_t>(size - len));
    if (!storage.empty() &&
        std::fread(storage.data(), 1, storage.size(), file.get()) != storage.size())
        return SUSIE_FILE_READ_ERROR;
    data = storage;
    return SUSIE_OK;
}

void put_u16(std::uint8_t* p, std::uint16_t value)
{
    std::memcpy(p, &value, 2);
}

void put_u32(std::uint8_t* p, std::uint32_t value)
{
    std::memcpy(p, &value, 4);
}

// Builds the two blocks, bottom-up rows padded to 4 bytes, asking the
// callback every few rows whether to go on.
int hand_over(const Picture& picture, susie_handle* pHBInfo, susie_handle* pHBm,
              SusieProgressCallback progress, susie_intptr data)
{
    const std::size_t colours = picture.bit_count == 8 ? picture.palette.size() : 0;
    const std::size_t bytes_per_pixel = static_cast<std::size_t>(picture.bit_count / 8);
    const std::size_t row_bytes = static_cast<std::size_t>(picture.width) * bytes_per_pixel;
    const std::size_t stride = (row_bytes + 3) & ~static_cast<std::size_t>(3);
    const std::size_t image_size = stride * static_cast<std::size_t>(picture.height);
    if (picture.pixels.size() < row_bytes * static_cast<std::size_t>(picture.height) ||
        colours > 256)
        return SUSIE_INTERNAL_ERROR;

    Block info(susie_local_alloc(40 + 4 * colours));
    Block bits(susie_local_alloc(image_size));
    if (!info || !bits)
        return SUSIE_NO_MEMORY;
    std::uint8_t* h = data_of(info);
    put_u32(h, 40);
    put_u32(h + 4, static_cast<std::uint32_t>(picture.width));
    put_u32(h + 8, static_cast<std::uint32_t>(picture.height));
    put_u16(h + 12, 1);
    put_u16(h + 14, static_cast<std::uint16_t>(picture.bit_count));
    put_u32(h + 20, static_cast<std::uint32_t>(image_size));
    put_u32(h + 32, static_cast<std::uint32_t>(colours));
    for (std::size_t i = 0; i < colours; ++i)
        put_u32(h + 40 + 4 * i, picture.palette[i] & 0xFFFFFF);

    const std::int32_t step = picture.height / 16 + 1;
    for (std::int32_t y = 0; y < picture.height; ++y) {
        if (progress && y % step == 0 && progress(y, picture.height, data) != 0)
            return SUSIE_ABORTED;
        std::memcpy(data_of(bits) + static_cast<std::size_t>(picture.height - 1 - y) * stride,
                    picture.pixels.data() + static_cast<std::size_t>(y) * row_bytes, row_bytes);
    }
    if (progress && progress(picture.height, picture.height, data) != 0)
        return SUSIE_ABORTED;
    *pHBInfo = info.release();
    *pHBm = bits.release();
    return SUSIE_OK;
}

int plugin_info(const PluginInfo& info, int infono, char* buf, int buflen)
{
    if (!buf || buflen <= 0 || infono < 0)
        return 0;
    const char* text = nullptr;
    if (infono == SUSIE_INFO_API_VERSION)
        text = info.api_version;
    else if (infono == SUSIE_INFO_TITLE)
        text = info.title;
    else {
        std::size_t pair = static_cast<std::size_t>(infono - SUSIE_INFO_FIRST_PATTERN) / 2;
        if (pair >= info.patterns.size())
            return 0;
        text = infono % 2 == 0 ? info.patterns[pair].first : info.patterns[pair].second;
    }
    std::size_t length = std::min(std::strlen(text), static_cast<std::size_t>(buflen - 1));
    std::memcpy(buf, text, length);
    buf[length] = '\0';
    return static_cast<int>(length);
}

int picture_info(const char* buf, susie_intptr len, unsigned int flag, SusiePictureInfo* info,
                 HeaderReader read_header)
{
    if (!info)
        return SUSIE_INTERNAL_ERROR;
    try {
        std::vector<std::uint8_t> storage;
        std::span<const std::uint8_t> data;
        if (int result = read_source(buf, len, flag, storage, data); result != SUSIE_OK)
            return result;
        Header header;
        if (int result = read_header(data, header); result != SUSIE_OK)
            return result;
        *info = SusiePictureInfo{};
        info->width = header.width;
        info->height = header.height;
        info->colorDepth = static_cast<std::int16_t>(header.bit_count);
        return SUSIE_OK;
    } catch (const std::bad_alloc&) {
        return SUSIE_NO_MEMORY;
    } catch (...) {
        return SUSIE_INTERNAL_ERROR;
    }
}

int get_picture(const char* buf, susie_intptr len, unsigned int flag, susie_handle* pHBInfo,
                susie_handle* pHBm, SusieProgressCallback progress, susie_intptr data,
                Decoder decode)
{
    if (!pHBInfo || !pHBm)
        return SUSIE_INTERNAL_ERROR;
    *pHBInfo = nullptr;
    *pHBm = nullptr;
    try {
        std::vector<std::uint8_t> storage;
        std::span<const std::uint8_t> source;
        if (int result = read_source(buf, len, flag, storage, source); result != SUSIE_OK)
            return result;
        if (progress && progress(0, 1, data) != 0)
            return SUSIE_ABORTED;
        Picture picture;
        if (int result = decode(source, picture); result != SUSIE_OK)
            return result;
        return hand_over(picture, pHBInfo, pHBm, progress, data);
    } catch (const std::bad_alloc&) {
        return SUSIE_NO_MEMORY;
    } catch (...) {
        return SUSIE_INTERNAL_ERROR;
    }
}

} // namespace

bool size_acceptable(std::int64_t width, std::int64_t height)
{
    return imgctl::size_within_limits(width, height);
}

bool data_can_hold(std::uint64_t present, std::uint64_t needed, std::uint64_t ratio)
{
    // A few bytes of slack for the stream's own framing.
    return needed <= (present + 16) * ratio;
}

void orient_header(Header& header, int orientation)
{
    if (imgctl::upright_for(orientation).quarters % 2 != 0)
        std::swap(header.width, header.height);
}

void orient(Picture& picture, int orientation)
{
    const imgctl::Upright upright = imgctl::upright_for(orientation);
    if (!upright.mirror && upright.quarters == 0)
        return;
    const std::size_t w = static_cast<std::size_t>(picture.width);
    const std::size_t h = static_cast<std::size_t>(picture.height);
    const std::size_t bytes = static_cast<std::size_t>(picture.bit_count / 8);
    const bool sideways = upright.quarters % 2 != 0;
    const std::size_t out_w = sideways ? h : w;
    Pixels out;
    out.allocate(picture.pixels.size());
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            // The mirror, then each clockwise quarter turn of a cw x ch
            // picture takes (tx, ty) to (ch - 1 - ty, tx).
            std::size_t tx = upright.mirror ? w - 1 - x : x, ty = y;
            std::size_t cw = w, ch = h;
            for (int q = 0; q < upright.quarters; ++q) {
                const std::size_t turned_x = ch - 1 - ty;
                ty = tx;
                tx = turned_x;
                std::swap(cw, ch);
            }
            std::memcpy(&out[(ty * out_w + tx) * bytes], &picture.pixels[(y * w + x) * bytes],
                        bytes);
        }
    }
    picture.pixels = std::move(out);
    if (sideways)
        std::swap(picture.width, picture.height);
}

} // namespace spikit

extern "C" {

int SUSIE_API GetPluginInfo(int infono, char* buf, int buflen)
{
    return spikit::plugin_info(spikit::k_plugin.info, infono, buf, buflen);
}

int SUSIE_API IsSupported(const char*, const void* head)
{
    return head && spikit::k_plugin.is_supported(static_cast<const std::uint8_t*>(head)) ? 1 : 0;
}

int SUSIE_API GetPictureInfo(const char* buf, susie_intptr len, unsigned int flag,
                             SusiePictureInfo* info)
{
    return spikit::picture_info(buf, len, flag, info, spikit::k_plugin.read_header);
}

int SUSIE_API GetPicture(const char* buf, susie_intptr len, unsigned int flag,
                         susie_handle* pHBInfo, susie_handle* pHBm, SusieProgressCallback progress,
                         susie_intptr data)
{
    return spikit::get_picture(buf, len, flag, pHBInfo, pHBm, progress, data,
                               spikit::k_plugin.decode);
}

} // extern "C"
