// Import plug-in for TIFF through libtiff's RGBA interface: the first image
// of the file, in any photometric layout libtiff converts, shown upright
// from its orientation tag.
#include "plugins/common/plugin_kit.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

bool is_tiff(const std::uint8_t* head)
{
    return (head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
           (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43));
}

// libtiff reads from the data in memory through these.
struct Reader
{
    std::span<const std::uint8_t> data;
    toff_t position = 0;
};

tsize_t read_proc(thandle_t handle, tdata_t buffer, tsize_t size)
{
    auto* reader = static_cast<Reader*>(handle);
    if (size <= 0 || reader->position >= reader->data.size())
        return 0;
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size),
                                          reader->data.size() - reader->position);
    std::memcpy(buffer, reader->data.data() + reader->position, n);
    reader->position += n;
    return static_cast<tsize_t>(n);
}

tsize_t write_proc(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seek_proc(thandle_t handle, toff_t offset, int whence)
{
    auto* reader = static_cast<Reader*>(handle);
    toff_t base = whence == SEEK_SET   ? 0
                  : whence == SEEK_CUR ? reader->position
                                       : reader->data.size();
    reader->position = base + offset;
    return reader->position;
}

int close_proc(thandle_t)
{
    return 0;
}

toff_t size_proc(thandle_t handle)
{
    return static_cast<Reader*>(handle)->data.size();
}

struct TiffClose
{
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

Tiff open(Reader& reader, std::uint32_t& width, std::uint32_t& height)
{
    if (reader.data.size() < 8 || !is_tiff(reader.data.data()))
        return nullptr;
    // The file's faults are reported through the result, not on stderr.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    Tiff tiff(TIFFClientOpen("memory", "rm", &reader, read_proc, write_proc, seek_proc, close_proc,
                             size_proc, nullptr, nullptr));
    if (!tiff || !TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height))
        return nullptr;
    return tiff;
}

// Whether the picture carries alpha, associated (premultiplied) or not.
bool has_alpha(TIFF* tiff)
{
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    return TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count > 0 && kinds &&
           (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA);
}

// The orientation tag, 1..8 as in EXIF (libtiff refuses other values).
int orientation_of(TIFF* tiff)
{
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    return orientation;
}

// The compressed bytes of the image's strips or tiles that the file
// actually holds: each counted up to the end of the data.
std::uint64_t stored_bytes_present(TIFF* tiff, std::uint64_t file_size)
{
    std::uint64_t present = 0;
    const std::uint32_t count = TIFFNumberOfStrips(tiff);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t offset = TIFFGetStrileOffset(tiff, i);
        const std::uint64_t length = TIFFGetStrileByteCount(tiff, i);
        if (offset < file_size)
            present += std::min(length, file_size - offset);
    }
    return present;
}

// Whether the file's strips or tiles could hold the picture its header
// claims: uncompressed data must all be there, compressed data within its
// method's largest expansion. Methods without such a bound (fax, JPEG, ...)
// still need a byte for every 32 KiB they expand to, far above what real
// files use (a blank fax page is near 1.6 KiB per byte).
bool data_present_for(TIFF* tiff, std::uint64_t file_size, std::uint32_t height)
{
    std::uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG;
    std::uint16_t samples = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const std::uint64_t plane = TIFFVStripSize64(tiff, height);
    if (plane == 0)
        return false;
    const std::uint64_t needed = planar == PLANARCONFIG_SEPARATE ? plane * samples : plane;
    std::uint64_t ratio = 32768;
    switch (compression) {
    case COMPRESSION_NONE:
        ratio = 1;
        break;
    case COMPRESSION_PACKBITS:
        ratio = spikit::k_packbits_ratio;
        break;
    case COMPRESSION_LZW:
        ratio = spikit::k_lzw_ratio;
        break;
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ADOBE_DEFLATE:
        ratio = spikit::k_deflate_ratio;
        break;
    default:
        break;
    }
    return spikit::data_can_hold(stored_bytes_present(tiff, file_size), needed, ratio);
}

int read_header(std::span<const std::uint8_t> data, spikit::Header& header)
{
    Reader reader{data};
    std::uint32_t width = 0, height = 0;
    Tiff tiff = open(reader, width, height);
    if (!tiff)
        return SUSIE_UNKNOWN_FORMAT;
    const bool alpha = has_alpha(tiff.get());
    header.width = static_cast<std::int32_t>(width);
    header.height = static_cast<std::int32_t>(height);
    header.bit_count = alpha ? 32 : 24;
    spikit::orient_header(header, orientation_of(tiff.get()));
    return SUSIE_OK;
}

int decode(std::span<const std::uint8_t> data, spikit::Picture& picture)
{
    Reader reader{data};
    std::uint32_t width = 0, height = 0;
    Tiff tiff = open(reader, width, height);
    if (!tiff)
        return SUSIE_UNKNOWN_FORMAT;
    if (!spikit::size_acceptable(width, height))
        return SUSIE_NO_MEMORY;
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tiff.get(), message))
        return SUSIE_UNKNOWN_FORMAT;
    if (!data_present_for(tiff.get(), data.size(), height))
        return SUSIE_BROKEN_DATA;
    // Asked for the file's own orientation, libtiff hands the rows over as
    // stored; left to libtiff, the sideways orientations 5 to 8 would only
    // be flipped, never turned.
    const int orientation = orientation_of(tiff.get());
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * height);
    if (!TIFFReadRGBAImageOriented(tiff.get(), width, height, raster.data(), orientation, 0))
        return SUSIE_BROKEN_DATA;
    const bool alpha = has_alpha(tiff.get());
    picture.width = static_cast<std::int32_t>(width);
    picture.height = static_cast<std::int32_t>(height);
    picture.bit_count = alpha ? 32 : 24;
    const std::size_t channels = alpha ? 4 : 3;
    picture.pixels.allocate(raster.size() * channels);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        std::uint32_t a = TIFFGetA(raster[i]);
        std::uint32_t rgb[3] = {TIFFGetB(raster[i]), TIFFGetG(raster[i]), TIFFGetR(raster[i])};
        for (std::size_t c = 0; c < 3; ++c) {
            // A DIB's alpha is straight. libtiff's RGBA raster is always
            // premultiplied: associated alpha as stored, unassociated alpha
            // multiplied in by libtiff. Undo it for both.
            if (alpha && a != 0 && a != 255)
                rgb[c] = std::min<std::uint32_t>(255, (rgb[c] * 255 + a / 2) / a);
            picture.pixels[i * channels + c] = static_cast<std::uint8_t>(rgb[c]);
        }
        if (alpha)
            picture.pixels[i * channels + 3] = static_cast<std::uint8_t>(a);
    }
    spikit::orient(picture, orientation);
    return SUSIE_OK;
}

} // namespace

const spikit::Plugin spikit::k_plugin{
    {"00IN", "zumo TIFF plug-in (libtiff)", {{"*.tif;*.tiff", "TIFF file"}}},
    is_tiff,
    read_header,
    decode};
