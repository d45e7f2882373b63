#include "imagelib/decoders/decoders.h"

#include "imagelib/decoders/formats.h"

#include <algorithm>
#include <cstring>

namespace decoders {

namespace {

bool starts_with(std::span<const std::uint8_t> head, std::size_t offset, const char* text)
{
    const std::size_t size = std::strlen(text);
    return head.size() >= offset + size && std::memcmp(head.data() + offset, text, size) == 0;
}

// An ISO base media file whose 'ftyp' box names a HEIF or AVIF brand, as
// major brand or among the compatible ones.
bool is_heif(std::span<const std::uint8_t> head)
{
    if (!starts_with(head, 4, "ftyp") || head.size() < 16)
        return false;
    const std::size_t box =
        (std::size_t(head[0]) << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
    if (box < 16)
        return false;
    static const char* const brands[] = {"heic", "heix", "heim", "heis", "hevc",
                                         "hevx", "mif1", "msf1", "avif", "avis"};
    const std::size_t end = std::min(box, head.size());
    for (std::size_t at = 8; at + 4 <= end; at += 4) {
        if (at == 12)
            continue; // the minor version
        for (const char* brand : brands)
            if (std::memcmp(head.data() + at, brand, 4) == 0)
                return true;
    }
    return false;
}

} // namespace

Format sniff(std::span<const std::uint8_t> head)
{
    if (starts_with(head, 0, "RIFF") && starts_with(head, 8, "WEBP"))
        return Format::WebP;
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (starts_with(head, 0, "II") && head.size() >= 4 && (head[2] == 42 || head[2] == 43) &&
        head[3] == 0)
        return Format::Tiff;
    if (starts_with(head, 0, "MM") && head.size() >= 4 && head[2] == 0 &&
        (head[3] == 42 || head[3] == 43))
        return Format::Tiff;
    if (is_heif(head))
        return Format::Heif;
    if (head.size() >= 2 && head[0] == 0xFF && head[1] == 0x0A)
        return Format::Jxl;
    static const std::uint8_t jxl_box[] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (head.size() >= sizeof jxl_box && std::memcmp(head.data(), jxl_box, sizeof jxl_box) == 0)
        return Format::Jxl;
    return Format::Unknown;
}

const char* format_name(Format format)
{
    switch (format) {
    case Format::WebP:
        return "WebP";
    case Format::Tiff:
        return "TIFF";
    case Format::Heif:
        return "HEIF";
    case Format::Jxl:
        return "JPEG XL";
    case Format::Unknown:
        break;
    }
    return "unknown format";
}

Header read_header(std::span<const std::uint8_t> file)
{
    switch (sniff(file)) {
    case Format::WebP:
        return webp_header(file);
    case Format::Tiff:
        return tiff_header(file);
    case Format::Heif:
        return heif_header(file);
    case Format::Jxl:
        return jxl_header(file);
    case Format::Unknown:
        break;
    }
    throw DecodeError("not a WebP, TIFF, HEIF or JPEG XL file", Fault::Broken);
}

Decoded decode(std::span<const std::uint8_t> file, Depth depth)
{
    switch (sniff(file)) {
    case Format::WebP:
        return decode_webp(file);
    case Format::Tiff:
        return decode_tiff(file, depth);
    case Format::Heif:
        return decode_heif(file);
    case Format::Jxl:
        return decode_jxl(file);
    case Format::Unknown:
        break;
    }
    throw DecodeError("not a WebP, TIFF, HEIF or JPEG XL file", Fault::Broken);
}

} // namespace decoders
