// TJPEGImage: the framework's own JPEG picture class, decoded with
// libjpeg-turbo into BGRA.
//
// Loading reads the file and checks its header at once (a file that is no
// JPEG fails there); the pixels are decoded when first asked for, once per
// scale, and kept. A picture that will only be shown scaled down into a
// small area (the preview's 240 x 180) is decoded at the smallest DCT
// scale that still covers that area: a 24 MP photo decodes at 1/8 scale.
// The pixels are in sRGB: a photo with an ICC profile (Adobe RGB, Display
// P3) is converted by it, so it shows as it does in the conversion's BMP.
#pragma once

#include "graphics/graphic.h"
#include "imagelib/metadata.h"

#include <memory>
#include <string>

namespace zumo {

class TJPEGImage : public TGraphic
{
public:
    static const char* ClassName() { return "TJPEGImage"; }

    void Assign(const TGraphic& source) override;
    bool Empty() const override { return m_width == 0 || m_height == 0; }
    // The picture's own size, whatever scale it was decoded at.
    std::int32_t Height() const override { return m_height; }
    std::int32_t Width() const override { return m_width; }
    // A JPEG keeps the size it was loaded with.
    void SetHeight(std::int32_t) override {}
    void SetWidth(std::int32_t) override {}
    // The whole JPEG from the current position; reads its header. Throws
    // EInvalidGraphic for data that is no JPEG or a picture beyond the
    // picture library's size limits; the picture is unchanged then.
    void LoadFromStream(TStream& stream) override;
    // Encodes the pixels again (quality 90).
    void SaveToStream(TStream& stream) override;
    // The pixels at full size. Throws EInvalidGraphic when the data cannot
    // be decoded; a failed decode is remembered and reported again without
    // decoding again.
    TPixelImage ToPixels() const override;
    std::shared_ptr<const TPixelImage> DisplayPixels(std::int32_t fit_width,
                                                     std::int32_t fit_height) const override;

    // The DCT scale as a divisor (1, 2, 4 or 8) for showing the picture
    // scaled into fit_width x fit_height: the largest one whose picture is
    // still at least that wide and high. 1 for (0, 0).
    static int ScaleDivisorFor(std::int32_t width, std::int32_t height, std::int32_t fit_width,
                               std::int32_t fit_height);

private:
    std::shared_ptr<const TPixelImage> decoded(int divisor) const;

    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> m_file; // null after Assign
    // Decoded pixels, by divisor; the full-size ones also after Assign.
    mutable std::shared_ptr<const TPixelImage> m_full;
    mutable std::shared_ptr<const TPixelImage> m_reduced;
    mutable int m_reduced_divisor = 0;
    mutable std::string m_failure; // why decoding failed, once it has
    imgctl::Upright m_upright;     // from the EXIF orientation, applied by each decode
    // The embedded ICC profile, by which each decode converts to sRGB.
    std::shared_ptr<const std::vector<std::uint8_t>> m_icc;
};

} // namespace zumo
