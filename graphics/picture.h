// TPicture: a container that holds one graphic of any registered format,
// and the process-wide registry of picture formats by file extension.
//
// Built in: "bmp" (TBitmap), "jpg" and "jpeg" (TJPEGImage). The Susie
// plug-in host adds the extensions its import plug-ins announce.
//
// Typical use (the preview):
//     TPicture picture;
//     picture.LoadFromFile(path);              // throws on failure
//     const TGraphic* g = picture.Graphic();   // null when empty
//     TPixelImage image = g->ToPixels();       // top-down BGRA
#pragma once

#include "graphics/graphic.h"

#include <memory>
#include <string>
#include <vector>

namespace zumo {

struct TFileFormat
{
    std::string extension; // lower case, without the dot
    std::string description;
    TGraphicClass graphic_class;
};

class TPicture
{
public:
    TPicture() = default;

    // Loads by the file's extension: the class registered last for it is
    // created, given OnProgress and asked to load the file. Throws
    // EInvalidGraphic "拡張子 .%s の画像形式は処理できません" when no class is
    // registered, and whatever the class's loader throws otherwise; the
    // previous picture stays then.
    void LoadFromFile(const std::string& path);
    // The held graphic, null when empty.
    const TGraphic* Graphic() const { return m_graphic.get(); }
    TGraphic* Graphic() { return m_graphic.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    std::int32_t Width() const { return m_graphic ? m_graphic->Width() : 0; }
    std::int32_t Height() const { return m_graphic ? m_graphic->Height() : 0; }

    TProgressEvent OnProgress;

    // The registry. The extension is stored in lower case (a leading dot is
    // dropped); the latest registration of an extension wins.
    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   TGraphicClass graphic_class);
    // Removes every entry of the class.
    static void UnregisterGraphicClass(TGraphicClass graphic_class);
    // Null when nobody registered the extension (given with or without dot).
    static TGraphicClass FindGraphicClass(const std::string& extension);
    // All entries, oldest first.
    static std::vector<TFileFormat> FileFormats();

private:
    std::unique_ptr<TGraphic> m_graphic;
};

} // namespace zumo
