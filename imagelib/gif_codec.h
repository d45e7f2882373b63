// GIF through giflib: the first frame of a file with its transparency, and
// a single-frame writer, interlaced on request.
#pragma once

#include "imagelib/atomic_file.h"
#include "imagelib/png_codec.h"

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

bool looks_like_gif(const std::vector<std::uint8_t>& bytes);

// The first frame. When it covers the logical screen the result is indexed
// (indices CV_8UC1, palette 0xAARRGGBB, the transparent entry with alpha 0);
// otherwise it is drawn on a transparent BGRA canvas of the screen's size.
struct DecodedGif
{
    cv::Mat indices;
    std::vector<std::uint32_t> palette;
    cv::Mat colour;
};
DecodedGif decode_gif(const std::vector<std::uint8_t>& bytes);

// Indices into a palette of at most 256 entries 0xAARRGGBB. Entries with
// alpha below 128 become the one transparent colour GIF has.
void encode_gif(AtomicFile& out, const cv::Mat& indices, const std::vector<std::uint32_t>& palette,
                Interlace interlace);

} // namespace imgctl
