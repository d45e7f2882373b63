// Import plug-in for WebP through libwebp: still pictures, and the first
// frame of an animation (as the GIF plug-in shows a GIF's first frame).
#include "plugins/common/plugin_kit.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

bool is_webp(const std::uint8_t* head)
{
    return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}

int features(std::span<const std::uint8_t> data, WebPBitstreamFeatures& f)
{
    if (data.size() < 12 || !is_webp(data.data()))
        return SUSIE_UNKNOWN_FORMAT;
    if (WebPGetFeatures(data.data(), data.size(), &f) != VP8_STATUS_OK)
        return SUSIE_BROKEN_DATA;
    return SUSIE_OK;
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    WebPBitstreamFeatures f{};
    if (int result = features(data, f); result != SUSIE_OK)
        return result;
    header.width = f.width;
    header.height = f.height;
    header.bit_count = f.has_alpha ? 32 : 24;
    return SUSIE_OK;
}

struct DemuxDelete
{
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};

struct WebPFreeBytes
{
    void operator()(std::uint8_t* bytes) const { WebPFree(bytes); }
};

// The first frame on the animation's canvas, which starts transparent; BGRA,
// or BGR when every pixel of it is opaque. The first frame is a key frame:
// it is drawn as decoded, without blending. The frame is decoded before the
// canvas is allocated, so a file that only claims a large canvas costs no
// more than its frame.
int decode_first_frame(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    const WebPData webp{data.data(), data.size()};
    // Complete files only: a frame whose data is cut off is refused here.
    std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemux(&webp));
    if (!demux)
        return SUSIE_BROKEN_DATA;
    const std::uint32_t canvas_width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    const std::uint32_t canvas_height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    if (!spikit::size_acceptable(canvas_width, canvas_height))
        return SUSIE_NO_MEMORY;
    WebPIterator frame{};
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame))
        return SUSIE_BROKEN_DATA;
    int frame_width = 0, frame_height = 0;
    std::unique_ptr<std::uint8_t, WebPFreeBytes> decoded(
        frame.complete
            ? WebPDecodeBGRA(frame.fragment.bytes, frame.fragment.size, &frame_width, &frame_height)
            : nullptr);
    const int left = frame.x_offset, top = frame.y_offset;
    WebPDemuxReleaseIterator(&frame);
    if (!decoded || frame_width <= 0 || frame_height <= 0 ||
        std::uint64_t(left) + frame_width > canvas_width ||
        std::uint64_t(top) + frame_height > canvas_height)
        return SUSIE_BROKEN_DATA;

    const std::size_t width = canvas_width, height = canvas_height;
    const std::size_t frame_row = static_cast<std::size_t>(frame_width) * 4;
    const bool covers = left == 0 && top == 0 && std::size_t(frame_width) == width &&
                        std::size_t(frame_height) == height;
    bool opaque = covers;
    for (std::size_t i = 0; i < frame_row * frame_height && opaque; i += 4)
        opaque = decoded.get()[i + 3] == 255;
    picture.width = static_cast<std::int32_t>(width);
    picture.height = static_cast<std::int32_t>(height);
    picture.bit_count = opaque ? 24 : 32;
    if (opaque) {
        picture.pixels.allocate(width * height * 3);
        for (std::size_t i = 0; i < width * height; ++i)
            std::copy_n(decoded.get() + i * 4, 3, picture.pixels.data() + i * 3);
        return SUSIE_OK;
    }
    picture.pixels.assign(width * height * 4, 0);
    for (int y = 0; y < frame_height; ++y)
        std::copy_n(decoded.get() + y * frame_row, frame_row,
                    picture.pixels.data() + ((top + y) * width + left) * 4);
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    WebPBitstreamFeatures f{};
    if (int result = features(data, f); result != SUSIE_OK)
        return result;
    if (!spikit::size_acceptable(f.width, f.height))
        return SUSIE_NO_MEMORY;
    if (f.has_animation)
        return decode_first_frame(data, picture);
    picture.width = f.width;
    picture.height = f.height;
    picture.bit_count = f.has_alpha ? 32 : 24;
    const std::size_t channels = f.has_alpha ? 4 : 3;
    const std::size_t stride = static_cast<std::size_t>(f.width) * channels;
    // Left unwritten until decoded: a file cut short after its header fails
    // having touched only the rows it held.
    picture.pixels.allocate(stride * static_cast<std::size_t>(f.height));
    std::uint8_t* out = f.has_alpha
                            ? WebPDecodeBGRAInto(data.data(), data.size(), picture.pixels.data(),
                                                 picture.pixels.size(), static_cast<int>(stride))
                            : WebPDecodeBGRInto(data.data(), data.size(), picture.pixels.data(),
                                                picture.pixels.size(), static_cast<int>(stride));
    return out ? SUSIE_OK : SUSIE_BROKEN_DATA;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo WebP plug-in (libwebp)", {{"*.webp", "WebP file"}}},
    is_webp,
    read_header,
    decode};
