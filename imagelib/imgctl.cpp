#include "imagelib/imgctl.h"

#include "imagelib/bmp_reader.h"
#include "imagelib/bmp_writer.h"
#include "imagelib/colour.h"
#include "imagelib/decoded_picture.h"
#include "imagelib/gif_codec.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/limits.h"
#include "imagelib/metadata.h"
#include "imagelib/picture.h"
#include "imagelib/png_codec.h"
#include "imagelib/quantize.h"
#include "imagelib/transform.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace imgctl {
namespace {

enum class Accept { AnyFormat, GifOnly };

// Palette BMPs stay palette pictures, so that they are written back at
// their depth and reach GIF without a reduction.
// The resolution a BMP states goes on to the outputs like any other
// source's; 0 or a negative value states none.
Picture picture_from_bmp(const std::vector<std::uint8_t>& bytes, Metadata& metadata)
{
    DecodedBmp bmp = read_bmp(bytes);
    metadata.icc = bmp_embedded_profile(bytes);
    if (bmp.x_pixels_per_metre > 0 && bmp.y_pixels_per_metre > 0) {
        metadata.dpi_x = bmp.x_pixels_per_metre * 0.0254;
        metadata.dpi_y = bmp.y_pixels_per_metre * 0.0254;
    }
    Picture picture;
    if (!bmp.indices.empty()) {
        picture.indices = cv::Mat(bmp.height, bmp.width, CV_8UC1, bmp.indices.data()).clone();
        for (const std::uint32_t rgb : bmp.palette)
            picture.palette.push_back(0xFF000000u | rgb);
        return picture;
    }
    const cv::Mat bgra(bmp.height, bmp.width, CV_8UC4, bmp.bgra.data());
    if (bmp.has_alpha)
        picture.colour = bgra.clone();
    else
        cv::cvtColor(bgra, picture.colour, cv::COLOR_BGRA2BGR);
    return picture;
}

Picture picture_from_gif(const std::vector<std::uint8_t>& bytes)
{
    DecodedGif gif = decode_gif(bytes);
    Picture picture;
    picture.indices = std::move(gif.indices);
    picture.palette = std::move(gif.palette);
    picture.colour = std::move(gif.colour);
    return picture;
}

// The EXIF orientation is applied first of all: on a JPEG not decoded yet
// it becomes the pending mirror and turns, which later turns add to.
void turn_upright(Picture& picture, Metadata& metadata, Orientation orientation)
{
    if (orientation == Orientation::Ignore)
        return;
    const int stored = exif_orientation(metadata.exif);
    if (stored == 1)
        return;
    const Upright upright = upright_for(stored);
    if (picture.is_pending()) {
        picture.pending_mirror = upright.mirror;
        picture.pending_turns = upright.quarters;
    } else {
        picture.colour = make_upright(picture.colour, upright);
    }
    metadata.sideways = upright.quarters % 2 != 0;
}

// Pixels for an output that will not carry the profile go to sRGB, and the
// profile goes: now, or for a JPEG not decoded yet when it is decoded, at
// the scale it is decoded at. A palette picture converts its palette.
void settle_colour(Picture& picture, Metadata& metadata, Colour colour)
{
    if (metadata.icc.empty() || profile_kept(metadata.icc, colour))
        return;
    std::vector<std::uint8_t> icc = std::exchange(metadata.icc, {});
    if (picture.is_pending()) {
        picture.srgb_from = std::move(icc);
    } else if (picture.is_indexed() && !picture.palette.empty()) {
        const cv::Mat bgra(1, static_cast<int>(picture.palette.size()), CV_8UC4,
                           picture.palette.data()); // 0xAARRGGBB is B, G, R, A in memory
        to_srgb8(bgra, icc).copyTo(bgra);
    } else {
        picture.colour = to_srgb8(picture.colour, icc);
    }
}

// Reads the header at once, so that a file that is not a picture fails
// here. A JPEG keeps its bytes and is decoded when its pixels are needed.
Picture load_picture(const char* file_name, Accept accept, LoadOptions options)
{
    if (file_name == nullptr)
        throw ImageError("no file name");
    std::vector<std::uint8_t> bytes = read_file_bytes(file_name);
    if (looks_like_gif(bytes))
        return picture_from_gif(bytes);
    if (accept == Accept::GifOnly)
        throw ImageError(std::string(file_name) + ": not a GIF file", Fault::NotPicture);
    Picture picture;
    Metadata metadata;
    bool upright = false;
    if (looks_like_jpeg(bytes))
        picture.pending =
            std::make_unique<PendingJpeg>(read_jpeg_header(std::move(bytes), &metadata));
    else if (looks_like_png(bytes))
        picture.colour = decode_png(bytes, &metadata, options.colour);
    else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
        picture = picture_from_bmp(bytes, metadata);
    else if (decoders::sniff(bytes) != decoders::Format::Unknown) {
        // The decoder states the orientation to apply (its format's own,
        // or its EXIF block's); it is applied there, once.
        picture = decode_further_format(bytes, options.orientation, metadata, options.colour);
        upright = true;
    } else
        throw ImageError(std::string(file_name) +
                             ": not a BMP, JPEG, PNG, GIF, WebP, TIFF, HEIF or JPEG XL file",
                         Fault::NotPicture);
    if (!upright)
        turn_upright(picture, metadata, options.orientation);
    settle_colour(picture, metadata, options.colour);
    if (options.metadata == MetadataUse::Keep)
        picture.metadata = std::move(metadata);
    return picture;
}

thread_local std::optional<ImageError> t_last_load_failure;

HDIB load_handle(const char* file_name, Accept accept, LoadOptions options = {}) noexcept
{
    try {
        t_last_load_failure.reset();
        return add_picture(load_picture(file_name, accept, options));
    } catch (const ImageError& error) {
        t_last_load_failure = error;
    } catch (const std::bad_alloc&) {
        t_last_load_failure.emplace("out of memory", Fault::System, ENOMEM);
    } catch (const std::exception& error) {
        t_last_load_failure.emplace(error.what());
    } catch (...) {
        t_last_load_failure.emplace("unknown error");
    }
    return 0;
}

// The source's metadata edited for the picture about to be written; none
// when the source had none or it was stripped at load.
std::optional<OutputMetadata> output_metadata(const Picture& picture, int width, int height)
{
    if (picture.metadata.empty())
        return std::nullopt;
    return prepare_metadata(picture.metadata, width, height);
}

const OutputMetadata* pointer_to(const std::optional<OutputMetadata>& metadata)
{
    return metadata ? &*metadata : nullptr;
}

// OpenCV reports failures (an allocation too large, for one) with its own
// exception; callers of this library see ImageError.
template <typename Work> void guarded(const char* function, Work&& work)
{
    try {
        work();
    } catch (const cv::Exception& error) {
        throw ImageError(std::string(function) + ": " + error.what());
    }
}

Picture& decoded(HDIB dib)
{
    Picture& picture = find_picture(dib);
    ensure_decoded(picture);
    return picture;
}

const char* checked_name(const char* file_name)
{
    if (file_name == nullptr || *file_name == '\0')
        throw ImageError("no file name");
    return file_name;
}

int quarter_turns(std::int32_t angle, const char* function)
{
    if (angle % 90 != 0)
        throw ImageError(std::string(function) + ": angle " + std::to_string(angle) +
                         " is not a right angle");
    return static_cast<int>(((angle / 90) % 4 + 4) % 4);
}

void turn_right_angles(Picture& picture, int quarters)
{
    if (!picture.failure.empty())
        throw ImageError(picture.failure);
    if (quarters == 0)
        return;
    if (picture.is_pending() && !picture.pending_any_turn) {
        picture.pending_turns = (picture.pending_turns + quarters) % 4;
    } else {
        ensure_decoded(picture);
        if (picture.is_indexed())
            picture.indices = turn_quarters(picture.indices, quarters);
        else
            picture.colour = turn_quarters(picture.colour, quarters);
    }
    if (quarters % 2 != 0)
        picture.metadata.sideways = !picture.metadata.sideways;
}

// A JPEG not decoded yet keeps the turn for later, so that a reduction
// that follows can still decode it at a smaller scale. The resolution stays
// as the source states it: a turn by any angle has no horizontal and
// vertical of its own to swap it to.
void turn_any_angle(Picture& picture, double degrees, COLORREF background)
{
    if (!picture.failure.empty())
        throw ImageError(picture.failure);
    if (picture.is_pending() && !picture.pending_any_turn) {
        const cv::Size canvas =
            turned_size(picture_width(picture), picture_height(picture), degrees);
        check_dimensions("TurnDIBex", canvas.width, canvas.height);
        picture.pending_any_turn = PendingTurn{degrees, background};
        return;
    }
    ensure_colour(picture);
    picture.colour = turn_any(picture.colour, degrees, background);
}

cv::Size target_size(const Picture& picture, std::int32_t width, std::int32_t height)
{
    const std::int64_t w = picture_width(picture);
    const std::int64_t h = picture_height(picture);
    std::int64_t new_w = width;
    std::int64_t new_h = height;
    if (width == -1 && height > 0)
        new_w = std::max<std::int64_t>(
            1, std::llround(static_cast<double>(w) * height / static_cast<double>(h)));
    else if (height == -1 && width > 0)
        new_h = std::max<std::int64_t>(
            1, std::llround(static_cast<double>(h) * width / static_cast<double>(w)));
    else if (width <= 0 || height <= 0)
        throw ImageError("ResizeDIB: size " + std::to_string(width) + " x " +
                             std::to_string(height),
                         Fault::TooLarge);
    check_dimensions("ResizeDIB", new_w, new_h);
    return {static_cast<int>(new_w), static_cast<int>(new_h)};
}

// Shrink-on-load: the largest DCT scale that still leaves at least twice
// the target. DCT scaling is a crude filter that lets aliasing through; the
// Lanczos step after it needs a reduction of two or more to remove it and
// keep fine detail sharp. A reduction then runs in the same pass.
void decode_for_size(Picture& picture, cv::Size target)
{
    if (!picture.is_pending()) {
        ensure_decoded(picture);
        return;
    }
    int chosen = 1;
    for (const int denominator : {8, 4, 2}) {
        const cv::Size size = pending_size(picture, denominator);
        if (size.width >= 2 * target.width && size.height >= 2 * target.height) {
            chosen = denominator;
            break;
        }
    }
    const cv::Size size = pending_size(picture, chosen);
    if (target.width <= size.width && target.height <= size.height)
        decode_pending_reduced(picture, chosen, target);
    else
        decode_pending(picture, chosen);
}

cv::Mat colour_of(const Picture& picture)
{
    return picture.is_indexed() ? expand_palette(picture.indices, picture.palette) : picture.colour;
}

Interlace interlace_of(std::int32_t interlaced)
{
    return interlaced != 0 ? Interlace::On : Interlace::Off;
}

} // namespace

HDIB ToDIB(const char* file_name)
{
    return load_handle(file_name, Accept::AnyFormat);
}

HDIB ToDIBex(const char* file_name, LoadOptions options)
{
    return load_handle(file_name, Accept::AnyFormat, options);
}

HDIB GIFtoDIB(const char* file_name)
{
    return load_handle(file_name, Accept::GifOnly);
}

std::optional<ImageError> LastLoadFailure()
{
    return t_last_load_failure;
}

void TurnDIB(HDIB dib, std::int32_t angle)
{
    guarded("TurnDIB",
            [&] { turn_right_angles(find_picture(dib), quarter_turns(angle, "TurnDIB")); });
}

void TurnDIBex(HDIB dib, std::int32_t angle, COLORREF colour)
{
    guarded("TurnDIBex", [&] {
        Picture& picture = find_picture(dib);
        const std::int32_t normal = angle % 360000;
        if (normal % 90000 == 0) {
            turn_right_angles(picture, quarter_turns(normal / 1000, "TurnDIBex"));
            return;
        }
        turn_any_angle(picture, normal / 1000.0, colour);
    });
}

void ResizeDIB(HDIB dib, std::int32_t width, std::int32_t height)
{
    guarded("ResizeDIB", [&] {
        Picture& picture = find_picture(dib);
        if (!picture.failure.empty())
            throw ImageError(picture.failure);
        const cv::Size target = target_size(picture, width, height);
        decode_for_size(picture, target);
        if (target.width == picture_width(picture) && target.height == picture_height(picture))
            return;
        ensure_colour(picture);
        picture.colour = resize_colour(picture.colour, target);
    });
}

void DIBto8Bit(HDIB dib, std::int32_t, std::int32_t)
{
    guarded("DIBto8Bit", [&] {
        Picture& picture = decoded(dib);
        if (picture.is_indexed())
            return;
        Quantized reduced = reduce_colours(picture.colour);
        picture.indices = std::move(reduced.indices);
        picture.palette = std::move(reduced.palette);
        picture.colour.release();
    });
}

void DIBtoBMP(const char* file_name, HDIB dib)
{
    guarded("DIBtoBMP", [&] {
        const Picture& picture = decoded(dib);
        const std::optional<OutputMetadata> metadata =
            output_metadata(picture, picture_width(picture), picture_height(picture));
        const BmpResolution resolution = bmp_resolution(pointer_to(metadata));
        AtomicFile out(checked_name(file_name));
        if (picture.is_indexed())
            encode_bmp_indexed(out, picture.indices, picture.palette, resolution);
        else
            encode_bmp(out, picture.colour, resolution);
        out.commit();
    });
}

void DIBtoPNG(const char* file_name, HDIB dib, std::int32_t interlaced)
{
    guarded("DIBtoPNG", [&] {
        const Picture& picture = decoded(dib);
        const std::optional<OutputMetadata> metadata =
            output_metadata(picture, picture_width(picture), picture_height(picture));
        AtomicFile out(checked_name(file_name));
        if (picture.is_indexed())
            encode_png_indexed(out, picture.indices, picture.palette, interlace_of(interlaced),
                               pointer_to(metadata));
        else
            encode_png(out, picture.colour, interlace_of(interlaced), pointer_to(metadata));
        out.commit();
    });
}

void DIBtoGIF(const char* file_name, HDIB dib, std::int32_t interlaced)
{
    guarded("DIBtoGIF", [&] {
        const Picture& picture = decoded(dib);
        checked_name(file_name);
        if (picture.is_indexed()) {
            AtomicFile out(file_name);
            encode_gif(out, picture.indices, picture.palette, interlace_of(interlaced));
            out.commit();
            return;
        }
        // More than 256 colours: reduced on the way; the picture stays as it is.
        const Quantized reduced = reduce_colours(picture.colour);
        AtomicFile out(file_name);
        encode_gif(out, reduced.indices, reduced.palette, interlace_of(interlaced));
        out.commit();
    });
}

void DIBtoJPG(const char* file_name, HDIB dib, std::int32_t quality, std::int32_t)
{
    guarded("DIBtoJPG", [&] {
        const Picture& picture = decoded(dib);
        const cv::Mat bgr = flatten_on_white(colour_of(picture));
        const std::optional<OutputMetadata> metadata = output_metadata(picture, bgr.cols, bgr.rows);
        AtomicFile out(checked_name(file_name));
        encode_jpeg(out, bgr, quality, pointer_to(metadata));
        out.commit();
    });
}

void DeleteDIB(HDIB dib)
{
    remove_picture(dib);
}

DIBInfo GetDIBInfo(HDIB dib)
{
    const Picture& picture = find_picture(dib);
    if (!picture.failure.empty())
        throw ImageError(picture.failure);
    DIBInfo info;
    info.width = picture_width(picture);
    info.height = picture_height(picture);
    info.bit_count = picture.is_indexed() ? 8 : 32;
    info.has_alpha = picture_has_alpha(picture);
    return info;
}

void DecodeDIB(HDIB dib)
{
    guarded("DecodeDIB", [&] { decoded(dib); });
}

std::vector<std::uint8_t> GetDIBPixels(HDIB dib)
{
    const Picture& picture = decoded(dib);
    const cv::Mat colour = colour_of(picture);
    cv::Mat bgra(colour.rows, colour.cols, CV_8UC4);
    if (colour.channels() == 4)
        colour.copyTo(bgra);
    else
        cv::cvtColor(colour, bgra, cv::COLOR_BGR2BGRA);
    return {bgra.data, bgra.data + bgra.total() * 4};
}

std::size_t LiveDIBCount()
{
    return picture_count();
}

} // namespace imgctl
