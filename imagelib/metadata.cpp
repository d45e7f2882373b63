#include "imagelib/metadata.h"

#include "imagelib/transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include <exiv2/exiv2.hpp>
#include <opencv2/core.hpp>

namespace imgctl {
namespace {

// The XMP toolkit's registry is shared: Exiv2 takes this lock around it,
// since batches convert pictures on several threads.
void lock_xmp(void* data, bool lock)
{
    auto* mutex = static_cast<std::recursive_mutex*>(data);
    if (lock)
        mutex->lock();
    else
        mutex->unlock();
}

// Exiv2 reports oddities of the files it reads on standard error; a
// conversion has no use for them. Also readies the XMP toolkit, once and
// before any packet is parsed.
void quiet_exiv2()
{
    static std::recursive_mutex xmp_mutex;
    static const bool done = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(lock_xmp, &xmp_mutex);
        return true;
    }();
    (void)done;
}

// Sets a tag that the source carries to a new value in its own type;
// a missing tag stays missing.
template <typename Data, typename Key>
void replace_if_present(Data& data, const char* key, const std::string& value)
{
    const auto it = data.findKey(Key(key));
    if (it != data.end())
        it->setValue(value);
}

// Swaps the values of two tags that the source carries both of.
template <typename Data, typename Key>
void swap_if_present(Data& data, const char* first_key, const char* second_key)
{
    const auto first = data.findKey(Key(first_key));
    const auto second = data.findKey(Key(second_key));
    if (first == data.end() || second == data.end())
        return;
    const std::string first_value = first->toString();
    first->setValue(second->toString());
    second->setValue(first_value);
}

double rational_of(const Exiv2::ExifData& exif, const char* key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0)
        return 0;
    const Exiv2::Rational r = it->toRational(0);
    if (r.second == 0 || r.first <= 0)
        return 0;
    return static_cast<double>(r.first) / r.second;
}

// XResolution and YResolution in their ResolutionUnit (2 inch, the default,
// 3 centimetre), as dots per inch.
void exif_resolution(const Exiv2::ExifData& exif, double& dpi_x, double& dpi_y)
{
    double x = rational_of(exif, "Exif.Image.XResolution");
    double y = rational_of(exif, "Exif.Image.YResolution");
    if (x <= 0 || y <= 0)
        return;
    const auto unit = exif.findKey(Exiv2::ExifKey("Exif.Image.ResolutionUnit"));
    if (unit != exif.end() && unit->count() > 0) {
        const long u = unit->toLong(0);
        if (u == 3) {
            x *= 2.54;
            y *= 2.54;
        } else if (u != 2) {
            return; // 1: no absolute unit
        }
    }
    dpi_x = x;
    dpi_y = y;
}

std::vector<std::uint8_t> edit_exif(const Metadata& source, int width, int height,
                                    OutputMetadata& out)
{
    if (source.exif.empty() || source.exif.size() > k_max_exif_bytes ||
        !TiffView(source.exif).valid())
        return {};
    Exiv2::ExifData exif;
    const Exiv2::ByteOrder order = Exiv2::ExifParser::decode(
        exif, source.exif.data(), static_cast<std::uint32_t>(source.exif.size()));
    if (order == Exiv2::invalidByteOrder || exif.empty())
        return {};
    if (out.dpi_x <= 0)
        exif_resolution(exif, out.dpi_x, out.dpi_y);
    using Key = Exiv2::ExifKey;
    if (source.sideways)
        swap_if_present<Exiv2::ExifData, Key>(exif, "Exif.Image.XResolution",
                                              "Exif.Image.YResolution");
    // The thumbnail shows the picture as it was before the turn and resize.
    for (auto it = exif.begin(); it != exif.end();)
        it = it->groupName() == "Thumbnail" ? exif.erase(it) : std::next(it);
    // A value outside 1..8 means nothing to a reader; a valid one was
    // applied or deliberately not, and either way the pixels are upright now.
    const auto stored = exif.findKey(Key("Exif.Image.Orientation"));
    if (stored != exif.end() &&
        (stored->count() != 1 || stored->toLong(0) < 1 || stored->toLong(0) > 8))
        exif.erase(stored);
    else
        replace_if_present<Exiv2::ExifData, Key>(exif, "Exif.Image.Orientation", "1");
    // The size is stated twice: in the Exif IFD, and in IFD0 where some
    // writers (scanners, converters from TIFF) put the TIFF tags as well.
    for (const auto& [x_key, y_key] :
         {std::pair{"Exif.Photo.PixelXDimension", "Exif.Photo.PixelYDimension"},
          std::pair{"Exif.Image.ImageWidth", "Exif.Image.ImageLength"}}) {
        replace_if_present<Exiv2::ExifData, Key>(exif, x_key, std::to_string(width));
        replace_if_present<Exiv2::ExifData, Key>(exif, y_key, std::to_string(height));
    }
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    if (!TiffView(blob).valid())
        return {};
    return blob;
}

// Whether a packet as the source holds it may stand for the edited one:
// a stated orientation other than 1 would turn the upright output again.
bool states_no_turn(const Exiv2::XmpData& xmp)
{
    const auto it = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
    return it == xmp.end() || it->toString() == "1";
}

// Exiv2 writes a packet back with formatting and 2 KB of padding, and
// escapes some characters the source had plainly, so that a packet that
// filled a JPEG segment no longer fits in one.
void add_xmp_fallbacks(const Exiv2::XmpData& edited, bool original_usable, const Metadata& source,
                       OutputMetadata& out)
{
    using Parser = Exiv2::XmpParser;
    std::string compact;
    if (Parser::encode(compact, edited,
                       Parser::omitPacketWrapper | Parser::useCompactFormat |
                           Parser::omitAllFormatting) == 0 &&
        !compact.empty() && compact.size() < out.xmp.size())
        out.xmp_fallbacks.push_back(std::move(compact));
    if (original_usable)
        out.xmp_fallbacks.push_back(source.xmp);
}

void edit_xmp(const Metadata& source, int width, int height, OutputMetadata& out)
{
    if (source.xmp.empty() || source.xmp.size() > k_max_xmp_bytes)
        return;
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, source.xmp) != 0 || xmp.empty())
        return;
    const bool original_usable = states_no_turn(xmp);
    using Key = Exiv2::XmpKey;
    replace_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.Orientation", "1");
    replace_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelXDimension", std::to_string(width));
    replace_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelYDimension",
                                            std::to_string(height));
    replace_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageWidth", std::to_string(width));
    replace_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageLength", std::to_string(height));
    if (source.sideways)
        swap_if_present<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.XResolution", "Xmp.tiff.YResolution");
    if (Exiv2::XmpParser::encode(out.xmp, xmp, Exiv2::XmpParser::useCompactFormat) != 0) {
        out.xmp.clear();
        return;
    }
    if (out.xmp.size() > k_max_jpeg_xmp_bytes)
        add_xmp_fallbacks(xmp, original_usable, source, out);
}

// Only the IPTC records of the Photoshop resources go on: the others (a
// preview, Photoshop's own resolution and layers) describe the old file.
std::vector<std::uint8_t> rebuild_iptc(const std::vector<std::uint8_t>& resources)
{
    if (resources.empty())
        return {};
    const Exiv2::byte* record = nullptr;
    std::uint32_t header_size = 0;
    std::uint32_t data_size = 0;
    if (Exiv2::Photoshop::locateIptcIrb(resources.data(), static_cast<long>(resources.size()),
                                        &record, &header_size, &data_size) != 0 ||
        record == nullptr)
        return {};
    const std::size_t at = static_cast<std::size_t>(record - resources.data()) + header_size;
    if (at > resources.size() || data_size > resources.size() - at)
        return {};
    Exiv2::IptcData iptc;
    if (Exiv2::IptcParser::decode(iptc, resources.data() + at, data_size) != 0 || iptc.empty())
        return {};
    const Exiv2::DataBuf block = Exiv2::Photoshop::setIptcIrb(nullptr, 0, iptc);
    if (block.size_ <= 0)
        return {};
    return {block.pData_, block.pData_ + block.size_};
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// The pictures written are RGB: a grey or CMYK profile would misdescribe
// them. The header and tag table are checked as libpng checks them, so a
// profile goes into JPEG and PNG alike or into neither.
bool usable_icc(const std::vector<std::uint8_t>& icc)
{
    constexpr std::size_t k_header = 128;
    if (icc.size() < k_header + 4 || icc.size() > k_max_icc_bytes)
        return false;
    if (be32(icc, 0) != icc.size() || std::memcmp(&icc[36], "acsp", 4) != 0 ||
        std::memcmp(&icc[16], "RGB ", 4) != 0)
        return false;
    const std::uint64_t tags = be32(icc, k_header);
    if (k_header + 4 + tags * 12 > icc.size())
        return false;
    for (std::uint64_t i = 0; i < tags; ++i) {
        const std::size_t at = k_header + 4 + static_cast<std::size_t>(i) * 12;
        const std::uint64_t offset = be32(icc, at + 4);
        const std::uint64_t length = be32(icc, at + 8);
        if (offset + length > icc.size())
            return false;
    }
    return true;
}

} // namespace

cv::Mat make_upright(const cv::Mat& pixels, Upright upright)
{
    cv::Mat out = pixels;
    if (upright.mirror)
        cv::flip(pixels, out, 1);
    return turn_quarters(out, upright.quarters);
}

std::vector<std::uint8_t> exif_tiff_block(std::span<const std::uint8_t> payload)
{
    static const std::uint8_t name[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (payload.size() >= 6 && std::memcmp(payload.data(), name, 6) == 0)
        payload = payload.subspan(6);
    if (!TiffView(payload).valid() || payload.size() > k_max_exif_bytes)
        return {};
    return {payload.begin(), payload.end()};
}

int jpeg_file_orientation(std::span<const std::uint8_t> file)
{
    constexpr std::uint8_t k_app1 = 0xE1, k_start_of_scan = 0xDA, k_end = 0xD9;
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8)
        return 1;
    std::size_t at = 2;
    while (at + 4 <= file.size()) {
        if (file[at] != 0xFF)
            return 1;
        const std::uint8_t marker = file[at + 1];
        if (marker == 0xFF) { // fill byte before a marker
            ++at;
            continue;
        }
        if (marker == k_start_of_scan || marker == k_end)
            return 1;
        const std::size_t length = (std::size_t{file[at + 2]} << 8) | file[at + 3];
        if (length < 2 || length > file.size() - at - 2)
            return 1;
        const std::span<const std::uint8_t> payload = file.subspan(at + 4, length - 2);
        if (marker == k_app1 && payload.size() > 6 && std::memcmp(payload.data(), "Exif\0", 6) == 0)
            return exif_orientation(payload.subspan(6));
        at += 2 + length;
    }
    return 1;
}

OutputMetadata prepare_metadata(const Metadata& source, int width, int height) noexcept
{
    quiet_exiv2();
    OutputMetadata out;
    if (source.dpi_x > 0 && source.dpi_y > 0) {
        out.dpi_x = source.dpi_x;
        out.dpi_y = source.dpi_y;
    }
    // Each block on its own: a broken one leaves the others.
    try {
        out.exif = edit_exif(source, width, height, out);
    } catch (...) {
        out.exif.clear();
    }
    try {
        edit_xmp(source, width, height, out);
    } catch (...) {
        out.xmp.clear();
        out.xmp_fallbacks.clear();
    }
    try {
        out.iptc_irb = rebuild_iptc(source.iptc);
    } catch (...) {
        out.iptc_irb.clear();
    }
    if (source.sideways)
        std::swap(out.dpi_x, out.dpi_y);
    try {
        if (usable_icc(source.icc))
            out.icc = source.icc;
    } catch (...) {
        out.icc.clear();
    }
    return out;
}

} // namespace imgctl
