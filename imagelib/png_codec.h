// PNG through libpng: every colour type and bit depth read (16-bit samples
// rounded to 8, after a conversion to sRGB where there is one; alpha kept), written as RGB, RGBA or
// palette, interlaced (Adam7) on request.
#pragma once

#include "imagelib/atomic_file.h"
#include "imagelib/imgctl.h"
#include "imagelib/metadata.h"

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

enum class Interlace { Off, On };

bool looks_like_png(const std::vector<std::uint8_t>& bytes);

// BGR (CV_8UC3) or BGRA (CV_8UC4). Throws ImageError("PNG: ...").
// With `metadata`, also collects eXIf, iCCP, the XMP iTXt chunk and pHYs,
// before and after the picture data.
//
// Colour as the loader takes it: with Colour::ToSrgb (and for a grey
// profile, whatever `colour` says) a picture with an iCCP profile is
// converted to sRGB as it is read, 16-bit samples at full precision and
// rounded once, and the profile is not collected. Otherwise the samples
// come as stored, 16-bit ones rounded to round(v * 255 / 65535).
cv::Mat decode_png(const std::vector<std::uint8_t>& bytes, Metadata* metadata = nullptr,
                   Colour colour = Colour::KeepProfile);

// Colour pixels, BGR or BGRA. With `metadata`: eXIf, iCCP, XMP (iTXt
// "XML:com.adobe.xmp") and pHYs; PNG has no place for IPTC.
void encode_png(AtomicFile& out, const cv::Mat& colour, Interlace interlace,
                const OutputMetadata* metadata = nullptr);
// Palette pixels: indices CV_8UC1, palette 0xAARRGGBB.
void encode_png_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette, Interlace interlace,
                        const OutputMetadata* metadata = nullptr);

} // namespace imgctl
