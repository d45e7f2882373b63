#include "imagelib/bmp_reader.h"

#include "imagelib/limits.h"

#include <algorithm>
#include <array>
#include <bit>

namespace imgctl {
namespace {

using Bytes = std::span<const std::uint8_t>;

enum Compression : std::uint32_t {
    k_rgb = 0,
    k_rle8 = 1,
    k_rle4 = 2,
    k_bitfields = 3,
    k_jpeg = 4,
    k_png = 5,
    k_alpha_bitfields = 6,
};

constexpr std::uint32_t k_core_header = 12;
constexpr std::uint32_t k_info_header = 40;

[[noreturn]] void fail(const char* what)
{
    throw ImageError(std::string("BMP: ") + what);
}

std::uint32_t le16(Bytes bytes, std::size_t at)
{
    if (at + 2 > bytes.size())
        fail("header truncated");
    return bytes[at] | (bytes[at + 1] << 8);
}

std::uint32_t le32(Bytes bytes, std::size_t at)
{
    if (at + 4 > bytes.size())
        fail("header truncated");
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

struct InfoHeader
{
    std::uint32_t size = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool top_down = false;
    int bit_count = 0;
    std::uint32_t compression = k_rgb;
    std::uint32_t colours_used = 0;
    std::int32_t x_pixels_per_metre = 0;
    std::int32_t y_pixels_per_metre = 0;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha
    bool explicit_masks = false;
    std::size_t table_offset = 0; // where the colour table starts in the info block
    std::size_t entry_size = 4;   // OS/2 core tables hold 3-byte entries
};

bool is_windows_header(std::uint32_t size)
{
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

void read_core_header(Bytes info, InfoHeader& header)
{
    header.width = le16(info, 4);
    header.height = le16(info, 6);
    header.bit_count = static_cast<int>(le16(info, 10));
    header.table_offset = k_core_header;
    header.entry_size = 3;
}

// Windows headers of 40 bytes and more, and the OS/2 2.x header, which
// shares the first fields and may be cut short after the bit count.
void read_long_header(Bytes info, InfoHeader& header)
{
    header.width = static_cast<std::int32_t>(le32(info, 4));
    const std::int64_t height = static_cast<std::int32_t>(le32(info, 8));
    header.top_down = height < 0;
    header.height = height < 0 ? -height : height;
    header.bit_count = static_cast<int>(le16(info, 14));
    if (header.size >= 20)
        header.compression = le32(info, 16);
    if (header.size >= 32) {
        header.x_pixels_per_metre = static_cast<std::int32_t>(le32(info, 24));
        header.y_pixels_per_metre = static_cast<std::int32_t>(le32(info, 28));
    }
    if (header.size >= 36)
        header.colours_used = le32(info, 32);
    header.table_offset = header.size;
    if (!is_windows_header(header.size)) {
        // OS/2 2.x: 3 is Huffman 1D and 4 is RLE24; neither is supported.
        if (header.compression == k_bitfields || header.compression == k_jpeg)
            fail("OS/2 compression not supported");
        return;
    }
    if (header.compression != k_bitfields && header.compression != k_alpha_bitfields)
        return;
    header.explicit_masks = true;
    const std::size_t count = header.compression == k_alpha_bitfields ? 4 : 3;
    const std::size_t at = k_info_header; // V2 and later hold the masks in the header
    for (std::size_t i = 0; i < count; ++i)
        header.masks[i] = le32(info, at + 4 * i);
    if (header.size >= 56)
        header.masks[3] = le32(info, at + 12);
    if (header.size == k_info_header)
        header.table_offset += 4 * count;
}

void check_header(const InfoHeader& header)
{
    check_dimensions("BMP", header.width, header.height);
    switch (header.bit_count) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        fail("unsupported bit count");
    }
    switch (header.compression) {
    case k_rgb:
        break;
    case k_rle8:
        if (header.bit_count != 8)
            fail("RLE8 needs 8 bits per pixel");
        break;
    case k_rle4:
        if (header.bit_count != 4)
            fail("RLE4 needs 4 bits per pixel");
        break;
    case k_bitfields:
    case k_alpha_bitfields:
        if (header.bit_count != 16 && header.bit_count != 32)
            fail("bit fields need 16 or 32 bits per pixel");
        break;
    case k_jpeg:
    case k_png:
        fail("embedded JPEG or PNG not supported");
    default:
        fail("unknown compression");
    }
}

InfoHeader read_info_header(Bytes info)
{
    InfoHeader header;
    header.size = le32(info, 0);
    if (header.size == k_core_header)
        read_core_header(info, header);
    else if (header.size >= 16 && header.size <= 124)
        read_long_header(info, header);
    else
        fail("unknown header size");
    check_header(header);
    return header;
}

void set_default_masks(InfoHeader& header)
{
    if (header.explicit_masks)
        return;
    if (header.bit_count == 16)
        header.masks = {0x7C00, 0x03E0, 0x001F, 0};
    else if (header.bit_count == 32)
        header.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
}

// Entries missing from a short table read as black; pixels never index
// outside the table that was read.
std::vector<std::uint32_t> read_palette(Bytes info, const InfoHeader& header)
{
    if (header.bit_count > 8)
        return {};
    const std::size_t full = std::size_t{1} << header.bit_count;
    std::size_t count = full;
    if (header.colours_used > 0 && header.colours_used < full)
        count = header.colours_used;
    const std::size_t available = info.size() > header.table_offset
                                      ? (info.size() - header.table_offset) / header.entry_size
                                      : 0;
    std::vector<std::uint32_t> palette(full, 0);
    for (std::size_t i = 0; i < std::min(count, available); ++i) {
        const std::size_t at = header.table_offset + i * header.entry_size;
        palette[i] = info[at] | (info[at + 1] << 8) | (info[at + 2] << 16);
    }
    return palette;
}

std::size_t stride_of(const InfoHeader& header)
{
    return static_cast<std::size_t>((header.width * header.bit_count + 31) / 32 * 4);
}

// Maps a row as stored (bottom-up unless the height was negative) to its
// place in the top-down output.
std::int64_t output_row(const InfoHeader& header, std::int64_t stored_row)
{
    return header.top_down ? stored_row : header.height - 1 - stored_row;
}

void put_colour(std::uint8_t* out, std::uint32_t rgb)
{
    out[0] = rgb & 0xFF;
    out[1] = (rgb >> 8) & 0xFF;
    out[2] = (rgb >> 16) & 0xFF;
    out[3] = 0xFF;
}

void check_pixel_data(const InfoHeader& header, Bytes bits)
{
    // The padding of the last row is sometimes left out; the pixels suffice.
    const std::size_t row_bytes =
        static_cast<std::size_t>((header.width * header.bit_count + 7) / 8);
    const auto needed = stride_of(header) * static_cast<std::size_t>(header.height - 1) + row_bytes;
    if (bits.size() < needed)
        fail("pixel data truncated");
}

void unpack_indices(const InfoHeader& header, Bytes bits, DecodedBmp& out)
{
    const std::size_t stride = stride_of(header);
    const int depth = header.bit_count;
    const unsigned mask = (1u << depth) - 1;
    for (std::int64_t row = 0; row < header.height; ++row) {
        const std::uint8_t* in = bits.data() + row * stride;
        std::uint8_t* dst = out.indices.data() + output_row(header, row) * header.width;
        for (std::int64_t x = 0; x < header.width; ++x) {
            const std::int64_t bit = x * depth;
            const unsigned shift = 8 - depth - static_cast<unsigned>(bit % 8);
            dst[x] = static_cast<std::uint8_t>((in[bit / 8] >> shift) & mask);
        }
    }
}

void colour_indices(DecodedBmp& out)
{
    for (std::size_t i = 0; i < out.indices.size(); ++i)
        put_colour(out.bgra.data() + i * 4, out.palette[out.indices[i]]);
}

void decode_rgb24(const InfoHeader& header, Bytes bits, DecodedBmp& out)
{
    const std::size_t stride = stride_of(header);
    for (std::int64_t row = 0; row < header.height; ++row) {
        const std::uint8_t* in = bits.data() + row * stride;
        std::uint8_t* dst = out.bgra.data() + output_row(header, row) * header.width * 4;
        for (std::int64_t x = 0; x < header.width; ++x) {
            dst[x * 4] = in[x * 3];
            dst[x * 4 + 1] = in[x * 3 + 1];
            dst[x * 4 + 2] = in[x * 3 + 2];
            dst[x * 4 + 3] = 0xFF;
        }
    }
}

// One channel of a bit-field pixel, scaled to 0..255. Any mask works,
// contiguous or not; an empty mask reads as `missing`.
struct Field
{
    explicit Field(std::uint32_t mask)
        : mask(mask), shift(mask ? std::countr_zero(mask) : 0), max(mask ? mask >> shift : 0)
    {
    }
    std::uint8_t value(std::uint32_t pixel, std::uint8_t missing) const
    {
        if (max == 0)
            return missing;
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
    std::uint32_t mask;
    int shift;
    std::uint64_t max;
};

void decode_bitfields(const InfoHeader& header, Bytes bits, DecodedBmp& out)
{
    const std::size_t stride = stride_of(header);
    const Field blue(header.masks[2]), green(header.masks[1]), red(header.masks[0]),
        alpha(header.masks[3]);
    const std::size_t bytes_per_pixel = header.bit_count / 8;
    bool any_alpha = false;
    for (std::int64_t row = 0; row < header.height; ++row) {
        const std::uint8_t* in = bits.data() + row * stride;
        std::uint8_t* dst = out.bgra.data() + output_row(header, row) * header.width * 4;
        for (std::int64_t x = 0; x < header.width; ++x, in += bytes_per_pixel) {
            std::uint32_t pixel = in[0] | (in[1] << 8);
            if (bytes_per_pixel == 4)
                pixel |= (in[2] << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
            dst[x * 4] = blue.value(pixel, 0);
            dst[x * 4 + 1] = green.value(pixel, 0);
            dst[x * 4 + 2] = red.value(pixel, 0);
            dst[x * 4 + 3] = alpha.value(pixel, 0xFF);
            any_alpha = any_alpha || (alpha.max != 0 && (pixel & alpha.mask) != 0);
        }
    }
    // Many writers leave the alpha bytes 0 in opaque pictures; a picture
    // whose alpha is 0 everywhere is taken as opaque.
    if (alpha.max != 0 && !any_alpha) {
        for (std::size_t i = 3; i < out.bgra.size(); i += 4)
            out.bgra[i] = 0xFF;
    }
    out.has_alpha = alpha.max != 0 && any_alpha;
}

// Run-length data: pixels as palette indices. Pixels the data skips keep
// index 0. A run that leaves its row or the picture is a fault.
class RleDecoder
{
public:
    RleDecoder(const InfoHeader& header, Bytes bits)
        : m_header(header), m_bits(bits),
          m_indices(static_cast<std::size_t>(header.width * header.height), 0)
    {
    }

    std::vector<std::uint8_t> run()
    {
        while (!step()) {
        }
        return std::move(m_indices);
    }

private:
    // Returns true at the end of the picture.
    bool step()
    {
        if (m_at + 2 > m_bits.size()) {
            if (m_y >= m_header.height)
                return true;
            fail("RLE data truncated");
        }
        const unsigned count = m_bits[m_at];
        const unsigned value = m_bits[m_at + 1];
        m_at += 2;
        if (count > 0) {
            encoded_run(count, value);
            return false;
        }
        switch (value) {
        case 0:
            m_x = 0;
            ++m_y;
            return false;
        case 1:
            return true;
        case 2:
            delta();
            return false;
        default:
            absolute_run(value);
            return false;
        }
    }

    void delta()
    {
        if (m_at + 2 > m_bits.size())
            fail("RLE data truncated");
        m_x += m_bits[m_at];
        m_y += m_bits[m_at + 1];
        m_at += 2;
        if (m_x > m_header.width || m_y > m_header.height)
            fail("RLE delta outside the picture");
    }

    // Pixels of a run that fall past the end of the row (or below the
    // last row) are dropped, as the Windows decoder does: some writers
    // encode the padded row width, so a run of an odd-width picture may
    // reach one pixel past the edge.
    unsigned visible(unsigned count) const
    {
        if (m_y >= m_header.height || m_x >= m_header.width)
            return 0;
        return static_cast<unsigned>(std::min<std::int64_t>(count, m_header.width - m_x));
    }

    std::uint8_t* row_start()
    {
        const std::int64_t row = output_row(m_header, m_y);
        return m_indices.data() + row * m_header.width + m_x;
    }

    void encoded_run(unsigned count, unsigned value)
    {
        const unsigned shown = visible(count);
        std::uint8_t* dst = shown > 0 ? row_start() : nullptr;
        for (unsigned i = 0; i < shown; ++i) {
            if (m_header.bit_count == 8)
                dst[i] = static_cast<std::uint8_t>(value);
            else
                dst[i] = static_cast<std::uint8_t>(i % 2 == 0 ? value >> 4 : value & 0x0F);
        }
        m_x += count;
    }

    void absolute_run(unsigned count)
    {
        const std::size_t bytes = m_header.bit_count == 8 ? count : (count + 1) / 2;
        const std::size_t padded = (bytes + 1) & ~std::size_t{1};
        if (m_at + bytes > m_bits.size())
            fail("RLE data truncated");
        const unsigned shown = visible(count);
        std::uint8_t* dst = shown > 0 ? row_start() : nullptr;
        for (unsigned i = 0; i < shown; ++i) {
            if (m_header.bit_count == 8)
                dst[i] = m_bits[m_at + i];
            else
                dst[i] = static_cast<std::uint8_t>(i % 2 == 0 ? m_bits[m_at + i / 2] >> 4
                                                              : m_bits[m_at + i / 2] & 0x0F);
        }
        m_x += count;
        m_at = std::min(m_at + padded, m_bits.size());
    }

    const InfoHeader& m_header;
    Bytes m_bits;
    std::vector<std::uint8_t> m_indices;
    std::size_t m_at = 0;
    std::int64_t m_x = 0;
    std::int64_t m_y = 0;
};

DecodedBmp decode(Bytes info, Bytes bits, const InfoHeader& const_header)
{
    InfoHeader header = const_header;
    set_default_masks(header);
    DecodedBmp out;
    out.width = static_cast<std::int32_t>(header.width);
    out.height = static_cast<std::int32_t>(header.height);
    out.bit_count = header.bit_count;
    out.x_pixels_per_metre = header.x_pixels_per_metre;
    out.y_pixels_per_metre = header.y_pixels_per_metre;
    out.palette = read_palette(info, header);
    const bool rle = header.compression == k_rle8 || header.compression == k_rle4;
    if (!rle)
        check_pixel_data(header, bits);
    if (rle) {
        out.indices = RleDecoder(header, bits).run();
    } else if (header.bit_count <= 8) {
        out.indices.resize(static_cast<std::size_t>(header.width * header.height));
        unpack_indices(header, bits, out);
    }
    out.bgra.resize(static_cast<std::size_t>(header.width * header.height * 4));
    if (header.bit_count <= 8)
        colour_indices(out);
    else if (header.bit_count == 24)
        decode_rgb24(header, bits, out);
    else
        decode_bitfields(header, bits, out);
    return out;
}

} // namespace

DecodedBmp read_dib(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits)
{
    const InfoHeader header = read_info_header(info);
    return decode(info, bits, header);
}

DecodedBmp read_bmp(std::span<const std::uint8_t> file)
{
    constexpr std::size_t k_file_header = 14;
    if (file.size() < k_file_header + 4 || file[0] != 'B' || file[1] != 'M')
        fail("not a BMP file");
    const std::uint32_t bits_offset = le32(file, 10);
    const Bytes rest = file.subspan(k_file_header);
    const InfoHeader header = read_info_header(rest);
    if (bits_offset < k_file_header + header.size || bits_offset > file.size())
        fail("pixel data offset out of range");
    const Bytes info = file.subspan(k_file_header, bits_offset - k_file_header);
    return decode(info, file.subspan(bits_offset), header);
}

} // namespace imgctl
