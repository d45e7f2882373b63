#include "graphics/graphic.h"

#include <algorithm>
#include <cstring>

namespace zumo {

void TGraphic::Assign(const TGraphic& source)
{
    if (&source == this)
        return;
    throw EInvalidGraphic("Cannot assign this picture format");
}

void TGraphic::Changed()
{
    if (OnChange)
        OnChange(this);
}

void TGraphic::Draw(TCanvas& canvas, const TRect& rect)
{
    std::int64_t dw = static_cast<std::int64_t>(rect.Right) - rect.Left;
    std::int64_t dh = static_cast<std::int64_t>(rect.Bottom) - rect.Top;
    if (Empty() || dw <= 0 || dh <= 0)
        return;
    TPixelImage image = ToPixels();
    if (image.width <= 0 || image.height <= 0)
        return;
    std::int32_t y0 = std::max(0, rect.Top), y1 = std::min(canvas.height, rect.Bottom);
    std::int32_t x0 = std::max(0, rect.Left), x1 = std::min(canvas.width, rect.Right);
    for (std::int32_t y = y0; y < y1; ++y) {
        std::int64_t sy = (y - rect.Top) * static_cast<std::int64_t>(image.height) / dh;
        for (std::int32_t x = x0; x < x1; ++x) {
            std::int64_t sx = (x - rect.Left) * static_cast<std::int64_t>(image.width) / dw;
            std::memcpy(&canvas.bgra[(static_cast<std::size_t>(y) * canvas.width + x) * 4],
                        &image.bgra[(static_cast<std::size_t>(sy) * image.width + sx) * 4], 4);
        }
    }
}

void TGraphic::LoadFromFile(const std::string& path)
{
    TFileStream stream(path, TFileMode::fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& path)
{
    TFileStream stream(path, TFileMode::fmCreate);
    SaveToStream(stream);
}

void TGraphic::Progress(TGraphic* sender, TProgressStage stage, std::uint8_t percent_done,
                        bool redraw_now, const TRect& r, const std::string& msg)
{
    if (OnProgress)
        OnProgress(sender, stage, percent_done, redraw_now, r, msg);
}

std::shared_ptr<const TPixelImage> TGraphic::DisplayPixels(std::int32_t, std::int32_t) const
{
    return std::make_shared<const TPixelImage>(ToPixels());
}

} // namespace zumo
