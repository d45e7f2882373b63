// Feeds arbitrary bytes to ToDIB through a file, then uses the picture the
// way a conversion does: turn, resize, reduce, write (so the metadata the
// file carries is parsed and edited for each output). The bytes are also
// handed to the metadata parsers directly, as an EXIF, XMP, IPTC and ICC
// block, so that hostile blocks reach them without a container around.
#include "fuzz/fuzz_bounds.h"
#include "imagelib/decoders/decoders.h"
#include "imagelib/imgctl.h"
#include "imagelib/metadata.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

// One folder per process, removed when the process ends (the replay of the
// kept inputs in `make test` leaves nothing behind).
std::string scratch_folder()
{
    static std::string folder = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "fuzz-todib-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        return templ;
    }();
    static const int registered = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    (void)registered;
    return folder;
}

void use(imgctl::HDIB dib, const std::string& folder)
{
    try {
        const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
        // Keep each run small: only modest pictures go through the whole way.
        if (static_cast<long long>(info.width) * info.height > 4'000'000)
            return;
        // A turn by any angle makes a long strip's bounding box nearly the
        // square of its length: 14856x6 at 123 degrees is 100 million pixels,
        // legitimately, and seconds of instrumented work per run.
        if (std::max(info.width, info.height) > 2000)
            return;
        // Turns before the resize stay pending on a JPEG: both kinds of
        // pending turn and the reduced-scale decode get exercised.
        imgctl::TurnDIB(dib, 90);
        imgctl::TurnDIBex(dib, 12345, 0x00FF00);
        imgctl::ResizeDIB(dib, -1, 17);
        imgctl::TurnDIB(dib, 270);
        imgctl::DIBtoBMP((folder + "/out.bmp").c_str(), dib);
        imgctl::DIBto8Bit(dib, 0, 0);
        imgctl::DIBtoGIF((folder + "/out.gif").c_str(), dib, -1);
        imgctl::DIBtoPNG((folder + "/out.png").c_str(), dib, 0);
        imgctl::DIBtoJPG((folder + "/out.jpg").c_str(), dib, 75, 0);
    } catch (const imgctl::ImageError&) {
    }
}

void parse_as_metadata(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    imgctl::exif_orientation(bytes);
    imgctl::jpeg_file_orientation(bytes);
    imgctl::Metadata metadata;
    metadata.exif = imgctl::exif_tiff_block(bytes);
    metadata.xmp.assign(reinterpret_cast<const char*>(data), size);
    metadata.iptc.assign(bytes.begin(), bytes.end());
    metadata.icc.assign(bytes.begin(), bytes.end());
    imgctl::prepare_metadata(metadata, 17, 9);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    parse_as_metadata(data, size);
    const std::span<const std::uint8_t> bytes(data, size);
    if (fuzz::bmp_states_huge(bytes))
        return 0;
    if (decoders::sniff(bytes) != decoders::Format::Unknown) {
        try {
            const decoders::Header header = decoders::read_header(bytes);
            if (fuzz::too_many_pixels(header.width, header.height))
                return 0;
        } catch (const decoders::DecodeError&) {
        }
    }
    const std::string folder = scratch_folder();
    const std::string input = folder + "/in";
    std::FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    const imgctl::HDIB dib = imgctl::ToDIB(input.c_str());
    if (dib != 0) {
        use(dib, folder);
        imgctl::DeleteDIB(dib);
    }
    return 0;
}
