// Picture metadata carried from a loaded file to the written one: EXIF,
// XMP, IPTC, ICC profile and resolution, and the EXIF orientation.
//
// Loaders collect the blocks raw, as the file held them; nothing is parsed
// then except the orientation. prepare_metadata parses and edits them for
// the picture being written (Exiv2 for EXIF, XMP and IPTC). A block that
// cannot be parsed is left out; metadata never makes a picture fail.
#pragma once

#include "imagelib/exif_orientation.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// Sizes beyond these are not metadata a camera or an editor writes; such
// blocks are dropped unread.
inline constexpr std::size_t k_max_exif_bytes = 1u << 20;
inline constexpr std::size_t k_max_xmp_bytes = 4u << 20;
inline constexpr std::size_t k_max_icc_bytes = 4u << 20;

struct Metadata
{
    std::vector<std::uint8_t> exif; // TIFF structure ("II*\0" or "MM\0*" first)
    std::string xmp;                // XMP packet
    std::vector<std::uint8_t> iptc; // Photoshop resource blocks (JPEG APP13 after its name)
    std::vector<std::uint8_t> icc;  // ICC profile
    double dpi_x = 0;               // 0: the file states no resolution
    double dpi_y = 0;
    // Turned by an odd number of quarter turns since it was read (EXIF
    // orientation 5 to 8 applied, a turn by 90 or 270 degrees): every
    // resolution above, which states the stored picture's horizontal one
    // first, now has it across the columns of the output's rows.
    bool sideways = false;

    bool empty() const
    {
        return exif.empty() && xmp.empty() && iptc.empty() && icc.empty() && dpi_x <= 0;
    }
};

// Applies an Upright to pixels (any matrix type).
cv::Mat make_upright(const cv::Mat& pixels, Upright upright);

// The EXIF block of a JPEG APP1 segment or PNG eXIf chunk: the TIFF
// structure, without the "Exif\0\0" name some writers put in front. Empty
// when it is not one.
std::vector<std::uint8_t> exif_tiff_block(std::span<const std::uint8_t> payload);

// The EXIF orientation of a whole JPEG file, found by walking its segments
// up to the picture data: 1 when it states none or a valid one.
int jpeg_file_orientation(std::span<const std::uint8_t> file);

// The most XMP one JPEG APP1 segment holds: 65533 payload bytes less the
// 29-byte name in front of the packet.
inline constexpr std::size_t k_max_jpeg_xmp_bytes = 65533 - 29;

// Blocks ready to be written with a picture of a given size.
struct OutputMetadata
{
    std::vector<std::uint8_t> exif; // TIFF structure, without thumbnail
    std::string xmp;                // XMP packet
    // When xmp is longer than k_max_jpeg_xmp_bytes, smaller forms of it to
    // try in this order where it must fit in one JPEG segment: the packet
    // without wrapper, padding or formatting, then the source's own packet
    // when that one says nothing about turning the picture (the edits
    // lost there are only its stated size). Empty otherwise.
    std::vector<std::string> xmp_fallbacks;
    std::vector<std::uint8_t> iptc_irb; // Photoshop resource block holding the IPTC records
    std::vector<std::uint8_t> icc;      // an RGB profile
    double dpi_x = 0;                   // 0: none
    double dpi_y = 0;
};

// Parses and edits the source's blocks for an output of width x height:
// Orientation 1 (the output's pixels are as they are meant to be shown,
// whether the loader turned them upright or was told not to), pixel
// dimensions updated, the thumbnail dropped. The resolution falls back on the EXIF
// one when the container had none. A sideways source has its horizontal and
// vertical resolutions swapped, in dpi_x and dpi_y and in the EXIF and XMP
// tags. Never throws; what does not parse is left out.
OutputMetadata prepare_metadata(const Metadata& source, int width, int height) noexcept;

} // namespace imgctl
