// Feeds arbitrary bytes to GIFtoDIB through a file, then uses the picture as
// the GIF conversion does: pixels, then the BMP writer.
#include "imagelib/imgctl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

const std::string& scratch_folder()
{
    static const std::string folder = [] {
        std::string templ = "/tmp/fuzz-giftodib-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        return templ;
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input = scratch_folder() + "/in.gif";
    std::FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    const imgctl::HDIB dib = imgctl::GIFtoDIB(input.c_str());
    if (dib == 0)
        return 0;
    try {
        const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
        if (info.width <= 0 || info.height <= 0)
            std::abort();
        if (imgctl::GetDIBPixels(dib).size() !=
            static_cast<std::size_t>(info.width) * info.height * 4)
            std::abort();
        if (static_cast<long long>(info.width) * info.height <= 1'000'000)
            imgctl::DIBtoBMP((scratch_folder() + "/out.bmp").c_str(), dib);
    } catch (const imgctl::ImageError&) {
    }
    imgctl::DeleteDIB(dib);
    return 0;
}
