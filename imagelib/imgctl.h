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
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace imgctl {

using HDIB = std::uint32_t;
using COLORREF = std::uint32_t;

class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

HDIB ToDIB(const char* file_name);
HDIB GIFtoDIB(const char* file_name);
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
struct DIBInfo {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bit_count = 0;   // 32 for a full-colour picture, 8 after DIBto8Bit
    bool has_alpha = false;
};
DIBInfo GetDIBInfo(HDIB dib);
// Pixels as BGRA, 4 bytes each, rows top-down without padding; a reduced
// picture is expanded through its palette.
std::vector<std::uint8_t> GetDIBPixels(HDIB dib);
// Number of live handles, to check that callers release what they load.
std::size_t LiveDIBCount();

} // namespace imgctl
