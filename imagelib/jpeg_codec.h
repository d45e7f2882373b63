// JPEG through libjpeg-turbo: header check at load time, pixel decode later
// at a DCT scale of 1/1, 1/2, 1/4 or 1/8, and encoding with a quality.
#pragma once

#include "imagelib/atomic_file.h"
#include "imagelib/metadata.h"

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// A JPEG file whose header has been read and checked.
struct PendingJpeg
{
    std::vector<std::uint8_t> bytes;
    int width = 0;
    int height = 0;
};

bool looks_like_jpeg(const std::vector<std::uint8_t>& bytes);

// Reads and checks the header. Throws ImageError("JPEG: ...").
// With `metadata`, also collects the EXIF, XMP, IPTC and ICC blocks and the
// JFIF resolution; a damaged block is left out, the header still loads.
PendingJpeg read_jpeg_header(std::vector<std::uint8_t> bytes, Metadata* metadata = nullptr);

// Size of the picture decoded at 1/denominator: ceil(side / denominator).
int jpeg_scaled_side(int side, int denominator);

// Decodes the pixels as BGR at 1/denominator (1, 2, 4 or 8). A CMYK or
// YCCK picture's inks go through its CMYK ICC profile to sRGB when it has
// one, else become colours by the plain formula.
// Truncated or corrupt data throws ImageError rather than yielding a
// partly grey picture.
cv::Mat decode_jpeg(const PendingJpeg& jpeg, int denominator);

// The same, handing each BGR row (jpeg_scaled_side(width, denominator)
// pixels) to `each_row`, top to bottom, without holding the picture.
using RowHandler = std::function<void(const std::uint8_t* row)>;
void decode_jpeg_rows(const PendingJpeg& jpeg, int denominator, const RowHandler& each_row);

// From this quality up the encoder keeps the chroma at full resolution.
inline constexpr int k_full_chroma_quality = 90;

// Encodes BGR pixels (CV_8UC3), quality clamped to 1..100; chroma 4:4:4
// from k_full_chroma_quality up, 4:2:0 below. With `metadata`: its EXIF
// (APP1), XMP (APP1), IPTC (APP13), ICC profile (APP2) and resolution (JFIF
// density).
void encode_jpeg(AtomicFile& out, const cv::Mat& bgr, int quality,
                 const OutputMetadata* metadata = nullptr);

} // namespace imgctl
