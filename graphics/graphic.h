// The graphic base class of the picture framework.
//
// A graphic is a picture of some format that can load itself from a file or
// a stream, save itself, report its size and palette, draw itself into a
// canvas and report load progress through OnProgress. For display, every
// graphic gives its pixels as top-down BGRA (ToPixels); that is what the
// window turns into an image.
#pragma once

#include "graphics/exceptions.h"
#include "graphics/stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zumo {

class TGraphic;

struct TRect
{
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Right = 0;
    std::int32_t Bottom = 0;
    bool operator==(const TRect&) const = default;
};

enum class TProgressStage { psStarting = 0, psRunning = 1, psEnding = 2 };

// Sender, Stage, PercentDone (0..100), RedrawNow, R, Msg.
using TProgressEvent =
    std::function<void(TGraphic* sender, TProgressStage stage, std::uint8_t percent_done,
                       bool redraw_now, const TRect& r, const std::string& msg)>;
using TNotifyEvent = std::function<void(TGraphic* sender)>;

// Colour table entries as 0x00RRGGBB.
using TPalette = std::vector<std::uint32_t>;

// Pixels for display: width * height * 4 bytes, B, G, R, A, rows top-down
// without padding. Alpha is 255 unless has_alpha.
struct TPixelImage
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bgra;
    bool has_alpha = false;
};

// What a graphic draws into: a BGRA pixel area, rows top-down.
struct TCanvas
{
    TCanvas(std::int32_t w, std::int32_t h)
        : width(w), height(h), bgra(static_cast<std::size_t>(w) * h * 4, 0)
    {
    }
    std::int32_t width;
    std::int32_t height;
    std::vector<std::uint8_t> bgra;
};

// A class reference for graphics: what the picture registry stores and
// instantiates. One object per class, obtained with GraphicClassOf<T>().
struct TGraphicClassInfo
{
    const char* name;
    std::unique_ptr<TGraphic> (*create)();
};
using TGraphicClass = const TGraphicClassInfo*;

template <class T> TGraphicClass GraphicClassOf()
{
    static const TGraphicClassInfo info{
        T::ClassName(), []() -> std::unique_ptr<TGraphic> { return std::make_unique<T>(); }};
    return &info;
}

class TGraphic
{
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;
    virtual ~TGraphic() = default;

    virtual void Assign(const TGraphic& source);
    // Raises OnChange.
    virtual void Changed();
    // Scales the picture into rect of the canvas (nearest pixel, as
    // COLORONCOLOR stretching does), cut at the canvas's edges.
    virtual void Draw(TCanvas& canvas, const TRect& rect);
    virtual bool Empty() const = 0;
    virtual std::int32_t Height() const = 0;
    // The picture's colour table, or null when it has none.
    virtual const TPalette* Palette() const { return nullptr; }
    virtual std::int32_t Width() const = 0;
    virtual void SetHeight(std::int32_t value) = 0;
    virtual void SetPalette(const TPalette&) {}
    virtual void SetWidth(std::int32_t value) = 0;
    // Throws EStreamError when the file cannot be read, EInvalidGraphic when
    // its content is not a picture of the class's format.
    virtual void LoadFromFile(const std::string& path);
    // Reads from the stream's current position.
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) = 0;
    void SaveToFile(const std::string& path);

    // Top-down BGRA pixels; an empty image for an empty graphic.
    virtual TPixelImage ToPixels() const = 0;
    // Pixels for showing the picture scaled into an area of fit_width x
    // fit_height, or at its own size for (0, 0). A graphic may give fewer
    // pixels than its own size when that is still at least the area (a
    // JPEG decodes at a reduced DCT scale); the graphic's Width and Height
    // stay its own size. The pixels are shared, not copied, and stay valid
    // while the pointer lives, also when the graphic goes. Throws as
    // ToPixels does.
    virtual std::shared_ptr<const TPixelImage> DisplayPixels(std::int32_t fit_width,
                                                             std::int32_t fit_height) const;

    TProgressEvent OnProgress;
    TNotifyEvent OnChange;

protected:
    // Calls OnProgress when one is assigned.
    void Progress(TGraphic* sender, TProgressStage stage, std::uint8_t percent_done,
                  bool redraw_now, const TRect& r, const std::string& msg);
};

} // namespace zumo
