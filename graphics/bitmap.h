// TBitmap: a picture held in memory, read from Windows BMP data.
//
// Pictures of 1, 4 or 8 bits per pixel stay palettised (an index per pixel
// and the colour table, which SetPalette replaces); all others are held as
// BGRA. ToPixels expands either form.
#pragma once

#include "graphics/graphic.h"

namespace zumo {

class TBitmap : public TGraphic
{
public:
    static const char* ClassName() { return "TBitmap"; }

    TBitmap() = default;

    // Copies another bitmap; any other graphic is taken by its pixels.
    void Assign(const TGraphic& source) override;
    bool Empty() const override { return m_width == 0 || m_height == 0; }
    std::int32_t Height() const override { return m_height; }
    const TPalette* Palette() const override;
    std::int32_t Width() const override { return m_width; }
    // A new size keeps the pixels that still fit; new pixels are black.
    void SetHeight(std::int32_t value) override;
    // Replaces the colour table; the pixels of a palettised bitmap keep
    // their indices and so take the new colours.
    void SetPalette(const TPalette& palette) override;
    void SetWidth(std::int32_t value) override;
    // A whole BMP file from the current position. Throws EInvalidGraphic
    // (with the reader's message) for bad data; the bitmap is unchanged then.
    void LoadFromStream(TStream& stream) override;
    // A BMP file: 8 bits with the colour table when palettised, else 24 bits
    // (32 when the alpha is used).
    void SaveToStream(TStream& stream) override;
    TPixelImage ToPixels() const override;

    // 1, 4 or 8 for a palettised bitmap (as loaded), 32 otherwise.
    std::int32_t BitCount() const { return m_bit_count; }
    bool Palettised() const { return m_bit_count <= 8; }
    // One index per pixel, rows top-down; empty unless Palettised.
    const std::vector<std::uint8_t>& Indices() const { return m_indices; }
    bool HasAlpha() const { return m_has_alpha; }

private:
    void resize(std::int32_t width, std::int32_t height);

    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_bit_count = 32;
    TPalette m_palette;
    std::vector<std::uint8_t> m_indices;
    std::vector<std::uint8_t> m_bgra;
    bool m_has_alpha = false;
};

} // namespace zumo
