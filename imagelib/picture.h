// The in-memory picture behind a handle, and the handle table.
//
// A picture holds its pixels in one of three forms:
//  - colour:  cv::Mat CV_8UC3 (BGR) or CV_8UC4 (BGRA, straight alpha);
//  - indexed: cv::Mat CV_8UC1 of palette indices, palette 0xAARRGGBB;
//  - pending: a JPEG whose header was read but whose pixels were not
//    decoded yet, with the turns asked for meanwhile (a mirror from the
//    EXIF orientation, quarter turns, then at most one turn by any angle).
//    A later reduction can then decode it at a smaller DCT scale.
#pragma once

#include "imagelib/imgctl.h"
#include "imagelib/metadata.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

struct PendingJpeg;

struct PendingTurn
{
    double degrees = 0; // clockwise
    COLORREF background = 0;
};

struct Picture
{
    Picture();
    ~Picture();
    Picture(Picture&&) noexcept;
    Picture& operator=(Picture&&) noexcept;

    cv::Mat colour;
    cv::Mat indices;
    std::vector<std::uint32_t> palette; // 0xAARRGGBB
    std::unique_ptr<PendingJpeg> pending;
    bool pending_mirror = false;                 // left-right, before the turns
    int pending_turns = 0;                       // quarter turns clockwise, 0..3
    std::optional<PendingTurn> pending_any_turn; // after the quarter turns
    std::string failure;                         // set when a lazy decode failed
    std::vector<std::uint8_t> srgb_from; // pending: ICC profile to convert from once decoded
    Metadata metadata;                   // from the loaded file, for the encoders

    bool is_indexed() const { return !indices.empty(); }
    bool is_pending() const { return pending != nullptr; }
};

// Size as the picture will be once decoded and turned.
int picture_width(const Picture& picture);
int picture_height(const Picture& picture);
bool picture_has_alpha(const Picture& picture);

// Size of a pending picture decoded at 1/denominator, after its turns.
cv::Size pending_size(const Picture& picture, int denominator);

// Decodes a pending picture at 1/denominator of its size (1, 2, 4 or 8) and
// applies the pending turns. Throws ImageError, and remembers the
// failure so that later calls report it without decoding again.
void decode_pending(Picture& picture, int denominator = 1);

// Decodes a pending picture at 1/denominator straight into a reduction to
// `target` (no larger than pending_size(picture, denominator)): the rows go
// from the decoder into the filter, so the full decoded picture is never
// held, and the pending turns are applied to the reduced picture. Throws and
// remembers failures as decode_pending does.
void decode_pending_reduced(Picture& picture, int denominator, cv::Size target);

// Makes sure the picture is decoded (indexed or colour).
void ensure_decoded(Picture& picture);

// Decodes and expands an indexed picture, so that `colour` holds the pixels.
void ensure_colour(Picture& picture);

// Turns an indexed picture into BGR, or BGRA when its palette has alpha.
cv::Mat expand_palette(const cv::Mat& indices, const std::vector<std::uint32_t>& palette);

// Copy of the colour pixels with transparency put on white: CV_8UC3.
cv::Mat flatten_on_white(const cv::Mat& colour);

// The handle table. add_picture never returns 0; find_picture and
// remove_picture throw ImageError for 0, unknown and deleted handles.
HDIB add_picture(Picture picture);
Picture& find_picture(HDIB dib);
void remove_picture(HDIB dib);
std::size_t picture_count();

} // namespace imgctl
