#include "imagelib/picture.h"

#include "imagelib/colour.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/resample.h"
#include "imagelib/transform.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_map>

namespace imgctl {

Picture::Picture() = default;
Picture::~Picture() = default;
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;

cv::Size pending_size(const Picture& picture, int denominator)
{
    int w = jpeg_scaled_side(picture.pending->width, denominator);
    int h = jpeg_scaled_side(picture.pending->height, denominator);
    if (picture.pending_turns % 2 != 0)
        std::swap(w, h);
    if (picture.pending_any_turn)
        return turned_size(w, h, picture.pending_any_turn->degrees);
    return {w, h};
}

int picture_width(const Picture& picture)
{
    if (picture.is_pending())
        return pending_size(picture, 1).width;
    return picture.is_indexed() ? picture.indices.cols : picture.colour.cols;
}

int picture_height(const Picture& picture)
{
    if (picture.is_pending())
        return pending_size(picture, 1).height;
    return picture.is_indexed() ? picture.indices.rows : picture.colour.rows;
}

bool picture_has_alpha(const Picture& picture)
{
    if (picture.is_indexed()) {
        for (const std::uint32_t entry : picture.palette) {
            if ((entry >> 24) != 0xFF)
                return true;
        }
        return false;
    }
    return !picture.is_pending() && picture.colour.channels() == 4;
}

namespace {

cv::Mat decode_and_turn(const Picture& picture, int denominator)
{
    const Upright upright{picture.pending_mirror, picture.pending_turns};
    cv::Mat pixels = make_upright(
        to_srgb8(decode_jpeg(*picture.pending, denominator), picture.srgb_from), upright);
    if (picture.pending_any_turn) {
        const PendingTurn turn = *picture.pending_any_turn;
        pixels = turn_any(pixels, turn.degrees, turn.background);
    }
    return pixels;
}

// The reduction runs on the picture as stored, its rows straight from the
// decoder, so the full decoded picture is never held; the turns follow on
// the small result. Quarter turns are exact either way. A turn by any angle
// after the reduction costs a little sharpness against turning first, and
// saves turning (and holding) the large picture.
cv::Mat decode_into_reduction(const Picture& picture, int denominator, cv::Size target)
{
    const PendingJpeg& jpeg = *picture.pending;
    const cv::Size stored(jpeg_scaled_side(jpeg.width, denominator),
                          jpeg_scaled_side(jpeg.height, denominator));
    const bool sideways = picture.pending_turns % 2 != 0;
    cv::Size reduced = target;
    if (picture.pending_any_turn) {
        // The same share of the canvas as the target is of the full canvas.
        const cv::Size canvas = pending_size(picture, denominator);
        const cv::Size upright = sideways ? cv::Size(stored.height, stored.width) : stored;
        reduced =
            cv::Size(std::max(1, static_cast<int>(std::lround(static_cast<double>(upright.width) *
                                                              target.width / canvas.width))),
                     std::max(1, static_cast<int>(std::lround(static_cast<double>(upright.height) *
                                                              target.height / canvas.height))));
    }
    if (sideways)
        reduced = cv::Size(reduced.height, reduced.width);
    RowResampler resampler(stored, CV_8UC3, reduced);
    decode_jpeg_rows(jpeg, denominator, [&](const std::uint8_t* row) { resampler.add_row(row); });
    // The mirror of an EXIF orientation keeps the size: exact on the result too.
    // Converted before the turn by any angle, whose background is an sRGB colour.
    cv::Mat pixels = make_upright(to_srgb8(resampler.result(), picture.srgb_from),
                                  Upright{picture.pending_mirror, picture.pending_turns});
    if (picture.pending_any_turn) {
        const PendingTurn turn = *picture.pending_any_turn;
        pixels = turn_any(pixels, turn.degrees, turn.background, target);
    }
    return pixels;
}

// Runs `decode`, which makes the pixels of a pending picture, and leaves the
// picture decoded or marked failed.
template <typename Decode> void settle_pending(Picture& picture, Decode&& decode)
{
    if (!picture.failure.empty())
        throw ImageError(picture.failure);
    if (!picture.is_pending())
        return;
    try {
        picture.colour = decode();
    } catch (const ImageError& error) {
        picture.failure = error.what();
        picture.pending.reset();
        throw;
    }
    picture.pending.reset();
    picture.srgb_from.clear();
    picture.pending_mirror = false;
    picture.pending_turns = 0;
    picture.pending_any_turn.reset();
}

} // namespace

void decode_pending(Picture& picture, int denominator)
{
    settle_pending(picture, [&] { return decode_and_turn(picture, denominator); });
}

void decode_pending_reduced(Picture& picture, int denominator, cv::Size target)
{
    settle_pending(picture, [&] { return decode_into_reduction(picture, denominator, target); });
}

void ensure_decoded(Picture& picture)
{
    decode_pending(picture, 1);
}

void ensure_colour(Picture& picture)
{
    ensure_decoded(picture);
    if (!picture.is_indexed())
        return;
    picture.colour = expand_palette(picture.indices, picture.palette);
    picture.indices.release();
    picture.palette.clear();
}

cv::Mat expand_palette(const cv::Mat& indices, const std::vector<std::uint32_t>& palette)
{
    bool alpha = false;
    std::uint32_t table[256];
    for (std::size_t i = 0; i < 256; ++i) {
        table[i] = i < palette.size() ? palette[i] : 0xFF000000u;
        alpha = alpha || (table[i] >> 24) != 0xFF;
    }
    cv::Mat out(indices.rows, indices.cols, alpha ? CV_8UC4 : CV_8UC3);
    const int channels = out.channels();
    for (int y = 0; y < indices.rows; ++y) {
        const std::uint8_t* in = indices.ptr<std::uint8_t>(y);
        std::uint8_t* dst = out.ptr<std::uint8_t>(y);
        for (int x = 0; x < indices.cols; ++x, dst += channels) {
            const std::uint32_t argb = table[in[x]];
            dst[0] = argb & 0xFF;
            dst[1] = (argb >> 8) & 0xFF;
            dst[2] = (argb >> 16) & 0xFF;
            if (alpha)
                dst[3] = argb >> 24;
        }
    }
    return out;
}

cv::Mat flatten_on_white(const cv::Mat& colour)
{
    if (colour.channels() == 3)
        return colour;
    cv::Mat out(colour.rows, colour.cols, CV_8UC3);
    for (int y = 0; y < colour.rows; ++y) {
        const std::uint8_t* in = colour.ptr<std::uint8_t>(y);
        std::uint8_t* dst = out.ptr<std::uint8_t>(y);
        for (int x = 0; x < colour.cols; ++x, in += 4, dst += 3) {
            const unsigned a = in[3];
            for (int c = 0; c < 3; ++c)
                dst[c] = static_cast<std::uint8_t>((in[c] * a + 255 * (255 - a) + 127) / 255);
        }
    }
    return out;
}

namespace {

struct HandleTable
{
    std::mutex mutex;
    std::unordered_map<HDIB, std::unique_ptr<Picture>> pictures;
    HDIB next = 1;
};

HandleTable& table()
{
    static HandleTable instance;
    return instance;
}

} // namespace

// Handles count up and are not reused soon, so that a handle used after
// DeleteDIB names nothing rather than another picture.
HDIB add_picture(Picture picture)
{
    auto owned = std::make_unique<Picture>(std::move(picture));
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    while (t.next == 0 || t.pictures.contains(t.next))
        ++t.next;
    const HDIB dib = t.next++;
    t.pictures.emplace(dib, std::move(owned));
    return dib;
}

Picture& find_picture(HDIB dib)
{
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.pictures.find(dib);
    if (it == t.pictures.end())
        throw ImageError("unknown picture handle " + std::to_string(dib));
    return *it->second;
}

void remove_picture(HDIB dib)
{
    std::unique_ptr<Picture> doomed;
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.pictures.find(dib);
    if (it == t.pictures.end())
        throw ImageError("unknown picture handle " + std::to_string(dib));
    doomed = std::move(it->second);
    t.pictures.erase(it);
}

std::size_t picture_count()
{
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    return t.pictures.size();
}

} // namespace imgctl
