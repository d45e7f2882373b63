// Feeds the plug-in host whatever a plug-in could hand back: the raw test
// plug-in returns the header, colour table and pixel block taken from the
// input in exactly sized blocks, and reports the progress pair it holds.
// The host must refuse what does not hold together and show the rest; the
// whole way to the preview's bitmap is taken (BMP stream, plain bitmap).
//
// Input: progress done (i32), progress total (i32), info size (u16), then
// the info block and the bits block.
#include "graphics/bitmap.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

zumo::TSPIs& collection()
{
    // One collection for the process; the plug-in stays loaded.
    static zumo::TSPIs* spis = [] {
        auto* created = new zumo::TSPIs();
        created->Add(zumo::OpenSPI(ZUMO_RAW_SPI));
        if (created->Count() != 1)
            std::abort();
        return created;
    }();
    return *spis;
}

std::vector<std::uint8_t> raw_source(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> out{'Z', 'R', 'A', 'W'};
    out.insert(out.end(), data, data + 8);
    std::size_t info_size = static_cast<std::size_t>(data[8] | data[9] << 8);
    info_size = std::min(info_size, size - 10);
    const std::uint32_t info32 = static_cast<std::uint32_t>(info_size);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&info32);
    out.insert(out.end(), p, p + 4);
    out.insert(out.end(), data + 10, data + size);
    return out;
}

void check_progress(zumo::TGraphic*, zumo::TProgressStage, std::uint8_t percent, bool,
                    const zumo::TRect&, const std::string&)
{
    if (percent > 100)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 10)
        return 0;
    collection();
    const std::vector<std::uint8_t> source = raw_source(data, size);
    zumo::TMemoryStream stream;
    stream.WriteBuffer(source.data(), source.size());

    zumo::TSPIGraphic graphic;
    graphic.OnProgress = check_progress;
    try {
        graphic.LoadFromStreamWithName(stream, "f.zraw");
    } catch (const zumo::EInvalidGraphic&) {
        return 0;
    }
    // What the host accepted is shown without a fault.
    if (graphic.Width() <= 0 || graphic.Height() == 0 || graphic.ImageSize() <= 0)
        std::abort();
    graphic.Palette();
    try {
        graphic.ToPixels();
    } catch (const zumo::EInvalidGraphic&) {
        // The BMP reader may still refuse what it cannot show (a bit-field
        // mask it does not take); that is a message, not a fault.
    }
    zumo::TSPIBitmap bitmap;
    try {
        bitmap.Assign(graphic);
        bitmap.ToPixels();
    } catch (const zumo::EInvalidGraphic&) {
    }
    return 0;
}
