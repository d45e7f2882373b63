// WebP through libwebp: still pictures (lossy, lossless, with or without
// alpha) and the first frame of an animation on its canvas, with the EXIF,
// XMP and ICC chunks of an extended file handed on.
#include "imagelib/decoders/formats.h"
#include "imagelib/exif_orientation.h"
#include "imagelib/picture_limits.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace decoders {

namespace {

[[noreturn]] void fail(const std::string& fault, Fault kind = Fault::Broken)
{
    throw DecodeError("WebP: " + fault, kind);
}

struct DemuxDelete
{
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};
using Demux = std::unique_ptr<WebPDemuxer, DemuxDelete>;

struct WebPFreeBytes
{
    void operator()(std::uint8_t* bytes) const { WebPFree(bytes); }
};

WebPBitstreamFeatures features_of(std::span<const std::uint8_t> file)
{
    WebPBitstreamFeatures features{};
    switch (WebPGetFeatures(file.data(), file.size(), &features)) {
    case VP8_STATUS_OK:
        break;
    case VP8_STATUS_NOT_ENOUGH_DATA:
        fail("cut off in its header");
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        fail("a variant libwebp does not decode", Fault::Unsupported);
    default:
        fail("damaged header");
    }
    if (!imgctl::size_within_limits(features.width, features.height))
        fail("picture of " + std::to_string(features.width) + " x " +
                 std::to_string(features.height) + " pixels is beyond the limits",
             Fault::TooLarge);
    return features;
}

// The container of a complete file; null for a simple file (a bare VP8 or
// VP8L chunk has no metadata) or one the demuxer refuses.
Demux demux_of(std::span<const std::uint8_t> file)
{
    const WebPData data{file.data(), file.size()};
    return Demux(WebPDemux(&data));
}

std::vector<std::uint8_t> chunk(WebPDemuxer* demux, const char* fourcc)
{
    WebPChunkIterator it{};
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &it))
        return {};
    std::vector<std::uint8_t> bytes(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
    return bytes;
}

// Some writers put the JPEG APP1 name "Exif\0\0" in front of the TIFF
// structure of the EXIF chunk.
std::vector<std::uint8_t> exif_structure(std::vector<std::uint8_t> exif)
{
    static const std::uint8_t name[] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof name && std::memcmp(exif.data(), name, sizeof name) == 0)
        exif.erase(exif.begin(), exif.begin() + sizeof name);
    return imgctl::TiffView(exif).valid() ? exif : std::vector<std::uint8_t>{};
}

// WebP has no orientation of its own: the EXIF chunk's is the one to apply.
void take_metadata(WebPDemuxer* demux, Decoded& decoded)
{
    if (!demux)
        return;
    const std::uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
    if (flags & EXIF_FLAG)
        decoded.exif = exif_structure(chunk(demux, "EXIF"));
    if (flags & XMP_FLAG) {
        const std::vector<std::uint8_t> xmp = chunk(demux, "XMP ");
        decoded.xmp.assign(xmp.begin(), xmp.end());
    }
    if (flags & ICCP_FLAG)
        decoded.icc = chunk(demux, "ICCP");
    decoded.orientation = imgctl::exif_orientation(decoded.exif);
}

// What a canvas may hold beyond its first frame: as many pixels per byte of
// the file as the GIF decoder allows a screen (what 12-bit LZW codes expand
// to), so that a few bytes claiming a huge canvas around a tiny frame do not
// cost hundreds of megabytes, while real animations (kilobytes of frames)
// keep any canvas within the limits.
constexpr std::uint64_t k_canvas_pixels_per_byte = 4096;

// The first frame on the animation's canvas, which starts transparent; BGRA,
// or BGR when every pixel of it is opaque. The first frame is a key frame:
// it is drawn as decoded, without blending. The frame is decoded before the
// canvas is allocated, so a file that only claims a large canvas costs no
// more than its frame.
void decode_first_frame(WebPDemuxer* demux, std::size_t file_size, Decoded& decoded)
{
    if (!demux)
        fail("damaged or cut off animation");
    const std::uint32_t canvas_width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    const std::uint32_t canvas_height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    if (!imgctl::size_within_limits(canvas_width, canvas_height))
        fail("canvas beyond the limits", Fault::TooLarge);
    WebPIterator frame{};
    if (!WebPDemuxGetFrame(demux, 1, &frame))
        fail("animation without a frame");
    int frame_width = 0, frame_height = 0;
    std::unique_ptr<std::uint8_t, WebPFreeBytes> pixels(
        frame.complete
            ? WebPDecodeBGRA(frame.fragment.bytes, frame.fragment.size, &frame_width, &frame_height)
            : nullptr);
    const int left = frame.x_offset, top = frame.y_offset;
    WebPDemuxReleaseIterator(&frame);
    if (!pixels || frame_width <= 0 || frame_height <= 0)
        fail("damaged first frame");
    if (std::uint64_t(left) + frame_width > canvas_width ||
        std::uint64_t(top) + frame_height > canvas_height)
        fail("first frame outside the canvas");

    const std::uint64_t frame_pixels = std::uint64_t(frame_width) * frame_height;
    if (std::uint64_t(canvas_width) * canvas_height >
        frame_pixels + std::uint64_t(file_size) * k_canvas_pixels_per_byte)
        fail("a canvas of " + std::to_string(canvas_width) + " x " + std::to_string(canvas_height) +
             " is more than the file could fill");

    const std::size_t width = canvas_width, height = canvas_height;
    const std::size_t frame_row = static_cast<std::size_t>(frame_width) * 4;
    const bool covers = left == 0 && top == 0 && std::size_t(frame_width) == width &&
                        std::size_t(frame_height) == height;
    bool opaque = covers;
    for (std::size_t i = 0; i < frame_row * frame_height && opaque; i += 4)
        opaque = pixels.get()[i + 3] == 255;
    decoded.width = static_cast<int>(width);
    decoded.height = static_cast<int>(height);
    decoded.channels = opaque ? 3 : 4;
    if (opaque) {
        decoded.pixels8.resize(width * height * 3);
        for (std::size_t i = 0; i < width * height; ++i)
            std::copy_n(pixels.get() + i * 4, 3, decoded.pixels8.data() + i * 3);
        return;
    }
    decoded.pixels8.assign(width * height * 4, 0);
    for (int y = 0; y < frame_height; ++y)
        std::copy_n(pixels.get() + y * frame_row, frame_row,
                    decoded.pixels8.data() + ((top + y) * width + left) * 4);
}

// libwebp allocates its output without writing it, and fails before the
// pixels are copied into the vector: a file that claims a large picture and
// holds little data costs the rows it held, not the whole claimed size.
void decode_still(std::span<const std::uint8_t> file, const WebPBitstreamFeatures& features,
                  Decoded& decoded)
{
    int width = 0, height = 0;
    std::unique_ptr<std::uint8_t, WebPFreeBytes> pixels(
        features.has_alpha ? WebPDecodeBGRA(file.data(), file.size(), &width, &height)
                           : WebPDecodeBGR(file.data(), file.size(), &width, &height));
    if (!pixels)
        fail("damaged or cut off picture data");
    if (width != features.width || height != features.height)
        fail("picture data of another size than its header");
    decoded.width = width;
    decoded.height = height;
    decoded.channels = features.has_alpha ? 4 : 3;
    const std::size_t size = static_cast<std::size_t>(width) * height * decoded.channels;
    decoded.pixels8.assign(pixels.get(), pixels.get() + size);
}

} // namespace

Header webp_header(std::span<const std::uint8_t> file)
{
    const WebPBitstreamFeatures features = features_of(file);
    Header header{Format::WebP, features.width, features.height, features.has_alpha != 0};
    if (Demux demux = demux_of(file)) {
        Decoded metadata;
        take_metadata(demux.get(), metadata);
        if (imgctl::upright_for(metadata.orientation).quarters % 2 != 0)
            std::swap(header.width, header.height);
    }
    return header;
}

Decoded decode_webp(std::span<const std::uint8_t> file)
{
    const WebPBitstreamFeatures features = features_of(file);
    // Complete files only: the demuxer refuses a file whose chunks are cut
    // off, and a still picture's data must be all there for libwebp.
    const Demux demux = demux_of(file);
    Decoded decoded;
    if (features.has_animation)
        decode_first_frame(demux.get(), file.size(), decoded);
    else
        decode_still(file, features, decoded);
    take_metadata(demux.get(), decoded);
    return decoded;
}

} // namespace decoders
