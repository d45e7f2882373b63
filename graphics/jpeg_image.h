// TJPEGImage: the framework's own JPEG picture class, decoded with
// libjpeg-turbo into BGRA at load time.
#pragma once

#include "graphics/graphic.h"

namespace zumo {

class TJPEGImage : public TGraphic
{
public:
    static const char* ClassName() { return "TJPEGImage"; }

    void Assign(const TGraphic& source) override;
    bool Empty() const override { return m_width == 0 || m_height == 0; }
    std::int32_t Height() const override { return m_height; }
    std::int32_t Width() const override { return m_width; }
    // A JPEG keeps the size it was decoded at.
    void SetHeight(std::int32_t) override {}
    void SetWidth(std::int32_t) override {}
    // The whole JPEG from the current position. Throws EInvalidGraphic for
    // data that is no JPEG or cannot be decoded, or a picture beyond the
    // picture library's size limits; the picture is unchanged.
    void LoadFromStream(TStream& stream) override;
    // Encodes the pixels again (quality 90).
    void SaveToStream(TStream& stream) override;
    TPixelImage ToPixels() const override;

private:
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::vector<std::uint8_t> m_bgra;
};

} // namespace zumo
