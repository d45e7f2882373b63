// Decoders for the picture formats read beyond BMP, JPEG, PNG and GIF: WebP,
// TIFF, HEIF/AVIF and JPEG XL. Plain C++ on Debian's reference libraries,
// without OpenCV or Qt, so that the picture library and the shipped preview
// plug-ins decode a format with the very same code: a limit or a fix lands
// in both, and conversion and preview show the same pixels.
//
// Every decoder checks the picture limits (imagelib/picture_limits.h) before
// it allocates pixels and bounds what it allocates by what the file could
// hold, so a hostile file costs seconds and megabytes, not gigabytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace decoders {

enum class Format {
    Unknown,
    WebP,
    Tiff,
    Heif, // HEIC, HEIF and AVIF: one container, several codecs
    Jxl,  // JPEG XL, bare code stream or ISO container
};

// The format a file's first bytes name; Unknown for anything else
// (including the four formats the picture library reads itself).
Format sniff(std::span<const std::uint8_t> head);

// "WebP", "TIFF", "HEIF", "JPEG XL".
const char* format_name(Format format);

enum class Fault {
    Broken,      // damaged, cut off or not the format at all
    TooLarge,    // beyond the picture limits or what the file could hold
    Unsupported, // valid, but a variant that is not decoded (a codec Debian lacks)
};

// What every decoder throws; the message names the format and the fault:
// "TIFF: cut off in strip 3".
class DecodeError : public std::runtime_error
{
public:
    DecodeError(const std::string& message, Fault fault)
        : std::runtime_error(message), m_fault(fault)
    {
    }
    Fault fault() const { return m_fault; }

private:
    Fault m_fault;
};

// A colour description given by code points (ITU-T H.273) instead of an
// ICC profile, as HEIF and AVIF files often carry it.
struct Nclx
{
    std::uint16_t primaries = 2; // 1 BT.709/sRGB, 9 BT.2020, 12 Display P3; 2 unspecified
    std::uint16_t transfer = 2;  // 13 sRGB, 1 BT.709, 16 PQ, 18 HLG; 2 unspecified
    std::uint16_t matrix = 2;
    bool full_range = true;
};

struct Header
{
    Format format = Format::Unknown;
    int width = 0;  // as shown: after the orientation is applied
    int height = 0; //
    bool alpha = false;
};

// A decoded picture: rows top-down without padding, samples in B G R (A)
// order for 3 and 4 channels (the order both the picture library and the
// plug-ins' DIBs use), alpha straight (not premultiplied).
struct Decoded
{
    int width = 0; // as stored, before `orientation` is applied
    int height = 0;
    int channels = 3;                    // 1 grey, 2 grey + alpha, 3 BGR, 4 BGRA
    int bits = 8;                        // 8 or 16 per sample
    std::vector<std::uint8_t> pixels8;   // when bits == 8
    std::vector<std::uint16_t> pixels16; // when bits == 16, full 0..65535 range

    // Orientation still to apply, as an EXIF orientation 1..8. A decoder
    // that applies the format's own transformations (HEIF's rotation and
    // mirror, JPEG XL's orientation) sets 1, so that the EXIF block it
    // hands on is never applied a second time.
    int orientation = 1;

    std::vector<std::uint8_t> exif; // TIFF structure ("II*\0" or "MM\0*" first)
    std::string xmp;                // XMP packet
    std::vector<std::uint8_t> icc;  // ICC profile as stored
    std::optional<Nclx> nclx;       // colour description when there is no profile
    double dpi_x = 0;               // 0: the file states no resolution
    double dpi_y = 0;
};

// The one rounding of a 16-bit sample to 8 bits, wherever it is done:
// round(v * 255 / 65535), computed without a division (equal for every v).
inline std::uint8_t eight_bits(std::uint16_t v)
{
    return static_cast<std::uint8_t>((v * 65281u + 8388608u) >> 24);
}

// What the caller does with samples of more than 8 bits.
enum class Depth {
    AsStored, // hands them on at 16 bits
    Eight,    // it only rounds them by eight_bits: a decoder may do that as it
              // reads, and save holding the 16-bit picture (the TIFF decoder
              // does for grey and RGB without associated alpha or a grey
              // profile, whose conversion wants the 16 bits)
};

// Both throw DecodeError. read_header reads no more than it needs to tell
// the size; decode decodes the first picture of the file (the first frame
// of an animation, the first page of a TIFF, the primary image of a HEIF).
Header read_header(std::span<const std::uint8_t> file);
Decoded decode(std::span<const std::uint8_t> file, Depth depth = Depth::AsStored);

} // namespace decoders
