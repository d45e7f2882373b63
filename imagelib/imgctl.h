// The picture library: eleven functions that load, turn, resize, reduce and
// write pictures held by 32-bit handles.
//
// Handles: 0 names no picture. Every other call with 0, an unknown handle or
// an already deleted one throws ImageError; it never crashes.
// Loaders return 0 on any failure and never throw.
// Every other function throws ImageError (or std::bad_alloc) on failure; the
// caller decides how to report it.
//
// Units and directions:
//  - TurnDIB angle is in degrees: 0, 90, 180 or 270; 0 changes nothing.
//  - TurnDIBex angle is in thousandths of a degree, 0..360000.
//  - Positive angles turn clockwise, as an image viewer's "rotate right".
//  - TurnDIBex colour is a COLORREF, 0x00BBGGRR.
//  - ResizeDIB: width -1 keeps the aspect ratio; enlarges as well as reduces.
//  - Interlaced flags are 32-bit Booleans: 0 is false, anything else true
//    (callers pass -1).
//  - DIBtoJPG quality is 0..100 (clamped).
// Encoders replace an existing file atomically: the picture is written to a
// temporary file in the target's folder and renamed over the target when
// complete, so a failure leaves the old file as it was and no partial file.
//
// What the implementation chose where the interface leaves it open:
//  - Loaders look at the bytes, not the extension. A JPEG is decoded when
//    its pixels are first needed; a ResizeDIB to a smaller size before that
//    decodes it at the largest DCT scale (1/2, 1/4, 1/8) that still covers
//    the target. Damaged or truncated picture data is an error, not a
//    partly grey picture.
//  - TurnDIBex: bilinear; the canvas grows to hold the whole turned
//    picture; exact for multiples of 90 degrees.
//  - ResizeDIB: Lanczos3 when shrinking (past four times, a whole-factor
//    box shrink to about twice the target first), bicubic when enlarging
//    both sides; the kept side is rounded to the nearest pixel, at least 1.
//  - DIBto8Bit: a picture with at most 256 colours keeps them exactly;
//    otherwise libimagequant finds the palette and the pixels are
//    dithered (Floyd-Steinberg). The reserved arguments are ignored.
//  - DIBtoBMP: 24 bits, or 8 bits with a colour table for a reduced
//    picture. BMP and JPEG have no alpha: transparency is put on white.
//  - DIBtoGIF: one frame; alpha below 128 becomes the transparent colour.
//  - DIBtoJPG: 4:2:0 chroma subsampling; the reserved argument is ignored.
//  - Loaders turn a picture upright from its EXIF Orientation (JPEG APP1,
//    PNG eXIf) before anything else, and keep its metadata: JPEG and PNG
//    output carry EXIF (Orientation 1, pixel dimensions of the output, no
//    thumbnail), XMP, the ICC profile and the resolution, JPEG also IPTC;
//    BMP output the resolution; GIF none. Metadata that does not parse is
//    left out and never fails a picture. ToDIBex chooses otherwise.
//  - Limits: a side above 65535 or more than 178 million pixels is refused
//    by every loader and operation before memory is allocated.
#pragma once

#include "imagelib/image_error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace imgctl {

using HDIB = std::uint32_t;
using COLORREF = std::uint32_t;

HDIB ToDIB(const char* file_name);

// ToDIB with the choices the classic call makes fixed: turn upright from
// the EXIF orientation, and keep the metadata for the encoders (when not,
// outputs carry none, not even the resolution). Written EXIF and XMP say
// Orientation 1 either way: an output shows as its pixels stand, so a
// picture loaded without the turn (its tag stale, say) stays as stored.
//
// Colour: KeepProfile leaves the pixels as the file holds them, for an
// output that carries the source's ICC profile along (JPEG and PNG with the
// metadata kept). ToSrgb converts them to sRGB from the profile when they
// are decoded and drops the profile, for an output that cannot carry it (BMP,
// GIF) or may not (metadata stripped). A grey profile, which no output
// carries, is converted either way.
enum class Orientation { Apply, Ignore };
enum class MetadataUse { Keep, Strip };
enum class Colour { KeepProfile, ToSrgb };
struct LoadOptions
{
    Orientation orientation = Orientation::Apply;
    MetadataUse metadata = MetadataUse::Keep;
    Colour colour = Colour::KeepProfile;
};
HDIB ToDIBex(const char* file_name, LoadOptions options);
HDIB GIFtoDIB(const char* file_name);
// Why the last loader call of this thread returned 0 (out of memory counts
// as Fault::System with ENOMEM); empty after one that succeeded.
std::optional<ImageError> LastLoadFailure();
void TurnDIB(HDIB dib, std::int32_t angle);
void TurnDIBex(HDIB dib, std::int32_t angle, COLORREF colour);
void ResizeDIB(HDIB dib, std::int32_t width, std::int32_t height);
void DIBto8Bit(HDIB dib, std::int32_t reserved1, std::int32_t reserved2);
void DIBtoBMP(const char* file_name, HDIB dib);
void DIBtoPNG(const char* file_name, HDIB dib, std::int32_t interlaced);
void DIBtoGIF(const char* file_name, HDIB dib, std::int32_t interlaced);
void DIBtoJPG(const char* file_name, HDIB dib, std::int32_t quality, std::int32_t reserved);
void DeleteDIB(HDIB dib);

// Inspection, for the program's own checks and tests. Decodes a lazily
// loaded picture when needed.
struct DIBInfo
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bit_count = 0; // 32 for a full-colour picture, 8 after DIBto8Bit
    bool has_alpha = false;
};
DIBInfo GetDIBInfo(HDIB dib);
// Decodes a lazily loaded picture now, at the scale the calls so far leave
// it (a reduction has chosen its smaller scale already; otherwise the full
// size an encoder needs), so that damaged picture data shows before
// anything is written. Does nothing to a decoded picture. Throws
// ImageError, also for a picture whose decoding failed before.
void DecodeDIB(HDIB dib);
// Pixels as BGRA, 4 bytes each, rows top-down without padding; a reduced
// picture is expanded through its palette.
std::vector<std::uint8_t> GetDIBPixels(HDIB dib);
// Number of live handles, to check that callers release what they load.
std::size_t LiveDIBCount();

} // namespace imgctl
