// TIFF through libtiff: the first page. Grey, RGB, CMYK and palette
// pictures of the common sample sizes are read strip by strip (or tile by
// tile) as stored, so that 16-bit samples stay 16-bit and alpha, associated
// or not, comes out straight. Every other layout libtiff converts (YCbCr,
// CIELab, grey with alpha below 8 bits, old-style JPEG, ...) goes through
// libtiff's RGBA interface at 8 bits. The Orientation tag is handed on, not
// applied; the ICC profile (tag 34675), the XMP packet (tag 700) and the
// resolution go with the pixels.
#include "imagelib/decoders/formats.h"
#include "imagelib/decoders/srgb.h"
#include "imagelib/exif_orientation.h"
#include "imagelib/picture_limits.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace decoders {

namespace {

[[noreturn]] void fail(const std::string& fault, Fault kind = Fault::Broken)
{
    throw DecodeError("TIFF: " + fault, kind);
}

// The most stored bytes one byte of compressed data can expand to. A header
// may claim any size; the data after it can only hold so much, so a file is
// refused before the picture is allocated when its data could not possibly
// fill it.
constexpr std::uint64_t k_deflate_ratio = 1032; // zlib: 258 bytes per 2 bits
constexpr std::uint64_t k_lzw_ratio = 4096;     // 12-bit codes of up to 4096 bytes
constexpr std::uint64_t k_packbits_ratio = 64;  // 2 bytes for a run of 128
// Methods without such a bound (fax, JPEG, ...) still need a byte for every
// 32 KiB they expand to, far above what real files use (a blank fax page is
// near 1.6 KiB per byte).
constexpr std::uint64_t k_unbounded_ratio = 32768;
// A tile larger than this is no writer's choice; its buffer is not allocated.
constexpr std::uint64_t k_max_tile_bytes = 256u << 20;

// libtiff reads from the data in memory through these, and reports the
// file's faults to `error`, never on stderr.
struct Source
{
    std::span<const std::uint8_t> data;
    toff_t position = 0;
    std::string error; // libtiff's first complaint
};

tsize_t read_proc(thandle_t handle, tdata_t buffer, tsize_t size)
{
    auto* source = static_cast<Source*>(handle);
    if (size <= 0 || source->position >= source->data.size())
        return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size),
                                                source->data.size() - source->position);
    std::memcpy(buffer, source->data.data() + source->position, n);
    source->position += n;
    return static_cast<tsize_t>(n);
}

tsize_t write_proc(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seek_proc(thandle_t handle, toff_t offset, int whence)
{
    auto* source = static_cast<Source*>(handle);
    const toff_t base = whence == SEEK_SET   ? 0
                        : whence == SEEK_CUR ? source->position
                                             : source->data.size();
    source->position = base + offset;
    return source->position;
}

int close_proc(thandle_t)
{
    return 0;
}

toff_t size_proc(thandle_t handle)
{
    return static_cast<Source*>(handle)->data.size();
}

int on_error(TIFF*, void* user_data, const char*, const char* format, va_list args)
{
    auto* source = static_cast<Source*>(user_data);
    if (source->error.empty()) {
        char text[256] = {};
        std::vsnprintf(text, sizeof text, format, args);
        source->error = text;
    }
    return 1;
}

int on_warning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffClose
{
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

struct OptionsFree
{
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

[[noreturn]] void fail_with(const Source& source, const std::string& fault)
{
    fail(source.error.empty() ? fault : fault + " (" + source.error + ")");
}

Tiff open(Source& source)
{
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options)
        throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &source);
    // libtiff's own buffers: a strip's compressed bytes, its tables.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t{256} << 20);
    Tiff tiff(TIFFClientOpenExt("memory", "rm", &source, read_proc, write_proc, seek_proc,
                                close_proc, size_proc, nullptr, nullptr, options.get()));
    if (!tiff)
        fail_with(source, "damaged header");
    return tiff;
}

template <typename T> T field(TIFF* tiff, ttag_t tag, T fallback)
{
    T value = fallback;
    if (!TIFFGetFieldDefaulted(tiff, tag, &value))
        return fallback;
    return value;
}

enum class Alpha { None, Straight, Premultiplied };

// How the first page is stored.
struct Layout
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t sample_format = SAMPLEFORMAT_UINT;
    std::uint16_t compression = COMPRESSION_NONE;
    int colour_samples = 1; // 1 grey or palette index, 3 RGB, 4 CMYK
    Alpha alpha = Alpha::None;
    int kept = 1; // samples read per pixel: colour, then alpha
};

Layout layout_of(TIFF* tiff)
{
    Layout l;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &l.width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &l.height))
        fail("no picture size");
    l.bits = field<std::uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    l.samples = field<std::uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    l.photometric = field<std::uint16_t>(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    l.planar = field<std::uint16_t>(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    l.sample_format = field<std::uint16_t>(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    l.compression = field<std::uint16_t>(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    switch (l.photometric) {
    case PHOTOMETRIC_RGB:
        l.colour_samples = 3;
        break;
    case PHOTOMETRIC_SEPARATED:
        l.colour_samples = 4;
        break;
    default:
        l.colour_samples = 1;
        break;
    }
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count > 0 && kinds) {
        if (kinds[0] == EXTRASAMPLE_ASSOCALPHA)
            l.alpha = Alpha::Premultiplied;
        else if (kinds[0] == EXTRASAMPLE_UNASSALPHA)
            l.alpha = Alpha::Straight;
    }
    l.kept = l.colour_samples + (l.alpha != Alpha::None ? 1 : 0);
    return l;
}

// Whether the page is read as stored, at its own sample size; every other
// layout goes through libtiff's RGBA interface.
bool read_as_stored(TIFF* tiff, const Layout& l)
{
    if (l.sample_format != SAMPLEFORMAT_UINT || l.samples < l.kept)
        return false;
    switch (l.photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
        return l.bits == 8 || l.bits == 16 ||
               (l.samples == 1 && (l.bits == 1 || l.bits == 2 || l.bits == 4));
    case PHOTOMETRIC_PALETTE:
        return l.samples == 1 && (l.bits == 1 || l.bits == 2 || l.bits == 4 || l.bits == 8);
    case PHOTOMETRIC_RGB:
        return l.bits == 8 || l.bits == 16;
    case PHOTOMETRIC_SEPARATED:
        return (l.bits == 8 || l.bits == 16) &&
               field<std::uint16_t>(tiff, TIFFTAG_INKSET, INKSET_CMYK) == INKSET_CMYK;
    default:
        return false;
    }
}

// The compressed bytes of the page's strips or tiles that the file actually
// holds: each counted up to the end of the data.
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
// method's largest expansion.
void check_data_present(TIFF* tiff, const Layout& l, std::uint64_t file_size)
{
    const std::uint64_t plane = TIFFVStripSize64(tiff, l.height);
    if (plane == 0)
        fail("picture data of no size");
    const std::uint64_t needed = l.planar == PLANARCONFIG_SEPARATE ? plane * l.samples : plane;
    std::uint64_t ratio = k_unbounded_ratio;
    switch (l.compression) {
    case COMPRESSION_NONE:
        ratio = 1;
        break;
    case COMPRESSION_PACKBITS:
        ratio = k_packbits_ratio;
        break;
    case COMPRESSION_LZW:
        ratio = k_lzw_ratio;
        break;
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ADOBE_DEFLATE:
        ratio = k_deflate_ratio;
        break;
    default:
        break;
    }
    // A few bytes of slack for the stream's own framing.
    if (needed > (stored_bytes_present(tiff, file_size) + 16) * ratio)
        fail("picture data cut off: the file cannot hold the picture its header claims");
}

// The samples of one page, `kept` per pixel in the file's order (RGB as
// B G R), held at 8 bits (samples of 1, 2 and 4 bits widened, their value
// kept) or 16 bits.
struct Samples
{
    std::vector<std::uint8_t> eight;
    std::vector<std::uint16_t> sixteen;
};

// Copies a piece of a stored row: `count` pixels from column `x` of row
// `y`, holding all samples (contiguous) or those of one plane (separate).
// RGB goes to B G R on the way, so that no later pass swaps them, and
// 16-bit samples are rounded to 8 bits on the way when `round` says so.
class RowSink
{
public:
    RowSink(const Layout& l, Samples& samples, bool round)
        : m_l(l), m_samples(samples), m_bgr(l.colour_samples == 3), m_round(round)
    {
    }

    void put(std::uint32_t y, std::uint32_t x, std::uint32_t count, int plane,
             const std::uint8_t* bytes) const
    {
        const std::size_t first = (static_cast<std::size_t>(y) * m_l.width + x) * m_l.kept;
        if (m_l.planar == PLANARCONFIG_SEPARATE)
            put_plane(first, count, channel(plane), bytes);
        else if (m_l.bits == 16 && m_round)
            put_together<std::uint16_t>(m_samples.eight.data() + first, count, bytes);
        else if (m_l.bits == 16)
            put_together<std::uint16_t>(m_samples.sixteen.data() + first, count, bytes);
        else if (m_l.bits == 8)
            put_together<std::uint8_t>(m_samples.eight.data() + first, count, bytes);
        else
            put_bits(first, count, bytes);
    }

private:
    // Where the sample `s` of a pixel goes.
    int channel(int s) const { return m_bgr && s < 3 ? 2 - s : s; }

    template <typename T> static T load(const std::uint8_t* bytes, std::size_t k)
    {
        T value;
        std::memcpy(&value, bytes + sizeof(T) * k, sizeof(T));
        return value;
    }

    // The sample `k` of the row, at the size it is held at.
    template <typename In, typename Out> static Out sample(const std::uint8_t* bytes, std::size_t k)
    {
        if constexpr (sizeof(Out) < sizeof(In))
            return eight_bits(load<In>(bytes, k));
        else
            return load<In>(bytes, k);
    }

    // Samples of 8 or 16 bits stored together: RGB and RGBA, by far the
    // most common, in a loop of their own.
    template <typename In, typename Out>
    void put_together(Out* to, std::uint32_t count, const std::uint8_t* bytes) const
    {
        const int kept = m_l.kept;
        const int per_pixel = m_l.samples;
        if (m_l.colour_samples == 3 && kept == per_pixel) {
            for (std::uint32_t i = 0; i < count; ++i, to += kept) {
                const std::size_t k = static_cast<std::size_t>(i) * kept;
                to[0] = sample<In, Out>(bytes, k + 2);
                to[1] = sample<In, Out>(bytes, k + 1);
                to[2] = sample<In, Out>(bytes, k);
                if (kept == 4)
                    to[3] = sample<In, Out>(bytes, k + 3);
            }
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i, to += kept)
            for (int s = 0; s < kept; ++s)
                to[channel(s)] =
                    sample<In, Out>(bytes, static_cast<std::size_t>(i) * per_pixel + s);
    }

    void put_plane(std::size_t first, std::uint32_t count, int channel,
                   const std::uint8_t* bytes) const
    {
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t to = first + static_cast<std::size_t>(i) * m_l.kept + channel;
            if (m_l.bits == 16 && m_round)
                m_samples.eight[to] = sample<std::uint16_t, std::uint8_t>(bytes, i);
            else if (m_l.bits == 16)
                m_samples.sixteen[to] = load<std::uint16_t>(bytes, i);
            else if (m_l.bits == 8)
                m_samples.eight[to] = bytes[i];
            else
                m_samples.eight[to] = sample_bits(bytes, i);
        }
    }

    // Grey and palette indices of 1, 2 and 4 bits, one sample per pixel.
    void put_bits(std::size_t first, std::uint32_t count, const std::uint8_t* bytes) const
    {
        for (std::uint32_t i = 0; i < count; ++i)
            for (int s = 0; s < m_l.kept; ++s)
                m_samples.eight[first + static_cast<std::size_t>(i) * m_l.kept + s] =
                    sample_bits(bytes, static_cast<std::size_t>(i) * m_l.samples + s);
    }

    std::uint8_t sample_bits(const std::uint8_t* bytes, std::size_t k) const
    {
        const std::size_t bit = k * m_l.bits;
        const unsigned mask = (1u << m_l.bits) - 1;
        return static_cast<std::uint8_t>((bytes[bit / 8] >> (8 - m_l.bits - bit % 8)) & mask);
    }

    const Layout& m_l;
    Samples& m_samples;
    bool m_bgr;   // RGB samples go to B G R
    bool m_round; // 16-bit samples are held at 8 bits
};

int planes_to_read(const Layout& l)
{
    return l.planar == PLANARCONFIG_SEPARATE ? l.kept : 1;
}

void read_strips(TIFF* tiff, const Layout& l, const RowSink& sink, const Source& source)
{
    const std::uint32_t rows_per_strip = std::clamp<std::uint32_t>(
        field<std::uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP, l.height), 1, l.height);
    const std::uint32_t strips_per_plane = (l.height - 1) / rows_per_strip + 1;
    const std::uint64_t row_bytes = TIFFScanlineSize64(tiff);
    if (row_bytes == 0)
        fail("rows of no size");
    std::vector<std::uint8_t> strip(row_bytes * rows_per_strip);
    for (int plane = 0; plane < planes_to_read(l); ++plane) {
        for (std::uint32_t s = 0; s < strips_per_plane; ++s) {
            const std::uint32_t index = static_cast<std::uint32_t>(plane) * strips_per_plane + s;
            const std::uint32_t first_row = s * rows_per_strip;
            const std::uint32_t rows = std::min(rows_per_strip, l.height - first_row);
            const tmsize_t wanted = static_cast<tmsize_t>(row_bytes * rows);
            if (index >= TIFFNumberOfStrips(tiff) ||
                TIFFReadEncodedStrip(tiff, index, strip.data(), wanted) < wanted)
                fail_with(source, "damaged or cut off in strip " + std::to_string(index));
            for (std::uint32_t r = 0; r < rows; ++r)
                sink.put(first_row + r, 0, l.width, plane, strip.data() + r * row_bytes);
        }
    }
}

void read_tiles(TIFF* tiff, const Layout& l, const RowSink& sink, const Source& source)
{
    const std::uint32_t tile_width = field<std::uint32_t>(tiff, TIFFTAG_TILEWIDTH, 0);
    const std::uint32_t tile_height = field<std::uint32_t>(tiff, TIFFTAG_TILELENGTH, 0);
    const std::uint64_t tile_bytes = TIFFTileSize64(tiff);
    const std::uint64_t row_bytes = TIFFTileRowSize64(tiff);
    if (tile_width == 0 || tile_height == 0 || tile_bytes == 0 || row_bytes == 0)
        fail("tiles of no size");
    if (tile_bytes > k_max_tile_bytes)
        fail("tiles of more than 256 MiB", Fault::TooLarge);
    std::vector<std::uint8_t> tile(tile_bytes);
    for (int plane = 0; plane < planes_to_read(l); ++plane) {
        for (std::uint32_t ty = 0; ty < l.height; ty += tile_height) {
            for (std::uint32_t tx = 0; tx < l.width; tx += tile_width) {
                const std::uint32_t index =
                    TIFFComputeTile(tiff, tx, ty, 0, static_cast<std::uint16_t>(plane));
                if (index >= TIFFNumberOfTiles(tiff) ||
                    TIFFReadEncodedTile(tiff, index, tile.data(),
                                        static_cast<tmsize_t>(tile_bytes)) <
                        static_cast<tmsize_t>(tile_bytes))
                    fail_with(source, "damaged or cut off in tile " + std::to_string(index));
                const std::uint32_t rows = std::min(tile_height, l.height - ty);
                const std::uint32_t columns = std::min(tile_width, l.width - tx);
                for (std::uint32_t r = 0; r < rows; ++r)
                    sink.put(ty + r, tx, columns, plane, tile.data() + r * row_bytes);
            }
        }
    }
}

// Straight alpha from associated: each colour sample divided by the alpha,
// rounded; a fully transparent pixel keeps its (zero) colour.
template <typename T>
void unpremultiply(std::vector<T>& samples, int colours, int stride, unsigned max)
{
    for (std::size_t at = 0; at + stride <= samples.size(); at += stride) {
        const unsigned a = samples[at + colours];
        if (a == 0 || a == max)
            continue;
        for (int c = 0; c < colours; ++c)
            samples[at + c] = static_cast<T>(
                std::min<std::uint64_t>(max, (std::uint64_t{samples[at + c]} * max + a / 2) / a));
    }
}

// From the file's samples to the decoded picture's channels, in place (the
// channels never outnumber the samples): grey stays grey (min-is-white
// turned round), RGB is BGR already (RowSink swapped it), CMYK becomes BGR
// by the naive formula R = (1 - C)(1 - K), as a picture without an ICC
// transform is shown.
template <typename T> void to_channels(std::vector<T>& samples, const Layout& l, unsigned max)
{
    if (l.alpha == Alpha::Premultiplied)
        unpremultiply(samples, l.colour_samples, l.kept, max);
    const int alpha = l.alpha != Alpha::None ? 1 : 0;
    const std::size_t pixels = samples.size() / l.kept;
    if (l.colour_samples == 1) {
        if (l.photometric == PHOTOMETRIC_MINISWHITE)
            for (std::size_t i = 0; i < pixels; ++i)
                samples[i * l.kept] = static_cast<T>(max - samples[i * l.kept]);
        return;
    }
    if (l.colour_samples == 3)
        return;
    const int channels = 3 + alpha;
    for (std::size_t i = 0; i < pixels; ++i) {
        const T* in = &samples[i * l.kept];
        const std::uint64_t c = in[0], m = in[1], y = in[2], k = in[3];
        const T a = alpha ? in[4] : T{};
        T* out = &samples[i * channels];
        const std::uint64_t white = max - k;
        out[0] = static_cast<T>(((max - y) * white + max / 2) / max);
        out[1] = static_cast<T>(((max - m) * white + max / 2) / max);
        out[2] = static_cast<T>(((max - c) * white + max / 2) / max);
        if (alpha)
            out[3] = a;
    }
    samples.resize(pixels * channels);
}

// Palette indices to BGR through the colour map. Its entries are 16-bit;
// some old writers stored 8-bit values in them, told by no entry above 255.
std::vector<std::uint8_t> through_palette(TIFF* tiff, const Layout& l,
                                          const std::vector<std::uint8_t>& indices)
{
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue)
        fail("palette picture without a colour map");
    const std::size_t entries = std::size_t{1} << l.bits;
    bool sixteen = false;
    for (std::size_t i = 0; i < entries && !sixteen; ++i)
        sixteen = red[i] > 255 || green[i] > 255 || blue[i] > 255;
    const auto eight = [sixteen](std::uint16_t v) {
        return static_cast<std::uint8_t>(sixteen ? (v * 255u + 32767u) / 65535u : v);
    };
    std::vector<std::uint8_t> bgr(indices.size() * 3);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const std::uint8_t index = indices[i];
        bgr[i * 3] = eight(blue[index]);
        bgr[i * 3 + 1] = eight(green[index]);
        bgr[i * 3 + 2] = eight(red[index]);
    }
    return bgr;
}

// The file's ICC profile as libtiff holds it; empty when there is none.
std::span<const std::uint8_t> profile_of(TIFF* tiff)
{
    std::uint32_t size = 0;
    void* bytes = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &size, &bytes) || bytes == nullptr)
        return {};
    return {static_cast<const std::uint8_t*>(bytes), size};
}

// Whether 16-bit samples may be rounded to 8 bits as they are read: the
// caller only rounds them, and nothing in between wants the 16 bits (the
// division by associated alpha, the CMYK formula, the conversion a grey
// profile gets). Rounded at once, the picture is never held at 16 bits.
bool round_on_reading(TIFF* tiff, const Layout& l, Depth depth)
{
    if (depth != Depth::Eight || l.bits != 16 || l.alpha == Alpha::Premultiplied ||
        (l.photometric != PHOTOMETRIC_RGB && l.photometric != PHOTOMETRIC_MINISBLACK))
        return false;
    // An ICC profile names its colour space at byte 16.
    const std::span<const std::uint8_t> icc = profile_of(tiff);
    return !(icc.size() >= 20 && std::memcmp(icc.data() + 16, "GRAY", 4) == 0);
}

// CMYK inks (straight alpha after them, if any) through the file's CMYK
// profile to 8-bit sRGB BGR(A): the press the profile describes prints
// differently from the naive formula. 16-bit inks are rounded first, as the
// profile transform takes 8 bits.
template <typename T>
void cmyk_through_profile(std::vector<T>& samples, const Layout& l, unsigned max,
                          const CmykToSrgb& press, Decoded& decoded)
{
    if (l.alpha == Alpha::Premultiplied)
        unpremultiply(samples, l.colour_samples, l.kept, max);
    const bool alpha = l.alpha != Alpha::None;
    const std::size_t width = l.width;
    const std::size_t channels = alpha ? 4 : 3;
    std::vector<std::uint8_t> inks(width * 4);
    std::vector<std::uint8_t> bgr(width * 3);
    std::vector<std::uint8_t> out(width * l.height * channels);
    for (std::size_t y = 0; y < l.height; ++y) {
        const T* row = &samples[y * width * l.kept];
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 4; ++c) {
                const T v = row[x * l.kept + c];
                inks[x * 4 + c] = max == 255 ? static_cast<std::uint8_t>(v)
                                             : eight_bits(static_cast<std::uint16_t>(v));
            }
        press.convert(inks.data(), bgr.data(), static_cast<int>(width));
        std::uint8_t* to = &out[y * width * channels];
        for (std::size_t x = 0; x < width; ++x) {
            std::memcpy(to + x * channels, &bgr[x * 3], 3);
            if (alpha) {
                const T a = row[x * l.kept + 4];
                to[x * channels + 3] = max == 255 ? static_cast<std::uint8_t>(a)
                                                  : eight_bits(static_cast<std::uint16_t>(a));
            }
        }
    }
    decoded.channels = static_cast<int>(channels);
    decoded.bits = 8;
    decoded.pixels8 = std::move(out);
    samples = {};
}

// True when the pixels went through the file's profile: it describes them no
// longer.
bool decode_as_stored(TIFF* tiff, const Layout& l, const Source& source, Depth depth,
                      Decoded& decoded)
{
    const std::size_t count = std::size_t{l.width} * l.height * static_cast<std::size_t>(l.kept);
    const bool round = round_on_reading(tiff, l, depth);
    Samples samples;
    if (l.bits == 16 && !round)
        samples.sixteen.resize(count);
    else
        samples.eight.resize(count);
    const RowSink sink(l, samples, round);
    if (TIFFIsTiled(tiff))
        read_tiles(tiff, l, sink, source);
    else
        read_strips(tiff, l, sink, source);

    const int alpha = l.alpha != Alpha::None ? 1 : 0;
    decoded.channels = (l.colour_samples == 1 ? 1 : 3) + alpha;
    if (l.photometric == PHOTOMETRIC_PALETTE) {
        decoded.channels = 3;
        decoded.pixels8 = through_palette(tiff, l, samples.eight);
        return false;
    }
    if (l.colour_samples == 4) {
        const CmykToSrgb press(profile_of(tiff), Ink::Plain);
        if (press.converts()) {
            if (l.bits == 16 && !round)
                cmyk_through_profile(samples.sixteen, l, 65535, press, decoded);
            else
                cmyk_through_profile(samples.eight, l, 255, press, decoded);
            return true;
        }
    }
    if (l.bits == 16 && !round) {
        decoded.bits = 16;
        to_channels(samples.sixteen, l, 65535);
        decoded.pixels16 = std::move(samples.sixteen);
        return false;
    }
    if (l.bits < 8) {
        // Grey of 1, 2 or 4 bits spread over 0..255.
        const unsigned top = (1u << l.bits) - 1;
        for (std::uint8_t& v : samples.eight)
            v = static_cast<std::uint8_t>(v * 255u / top);
    }
    to_channels(samples.eight, l, 255);
    decoded.pixels8 = std::move(samples.eight);
    return false;
}

// libtiff's RGBA interface: 8 bits, alpha premultiplied whatever the file
// held (it multiplies unassociated alpha in), so undone here.
void decode_through_rgba(TIFF* tiff, const Layout& l, const Source& source, int orientation,
                         Decoded& decoded)
{
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tiff, message))
        fail(std::string("a layout that is not decoded: ") + message, Fault::Unsupported);
    // Asked for the file's own orientation, libtiff hands the rows over as
    // stored: the orientation is applied with the rest of the picture's.
    std::vector<std::uint32_t> raster(std::size_t{l.width} * l.height);
    if (!TIFFReadRGBAImageOriented(tiff, l.width, l.height, raster.data(), orientation, 0))
        fail_with(source, "damaged or cut off picture data");
    const bool alpha = l.alpha != Alpha::None;
    decoded.channels = alpha ? 4 : 3;
    decoded.pixels8.resize(raster.size() * decoded.channels);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        std::uint8_t* out = &decoded.pixels8[i * decoded.channels];
        out[0] = static_cast<std::uint8_t>(TIFFGetB(raster[i]));
        out[1] = static_cast<std::uint8_t>(TIFFGetG(raster[i]));
        out[2] = static_cast<std::uint8_t>(TIFFGetR(raster[i]));
        if (alpha)
            out[3] = static_cast<std::uint8_t>(TIFFGetA(raster[i]));
    }
    if (alpha)
        unpremultiply(decoded.pixels8, 3, 4, 255);
}

// The Orientation tag, 1..8 as in EXIF (libtiff refuses other values).
int orientation_of(TIFF* tiff)
{
    return field<std::uint16_t>(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
}

void take_metadata(TIFF* tiff, Decoded& decoded)
{
    std::uint32_t size = 0;
    void* bytes = nullptr;
    const std::span<const std::uint8_t> icc = profile_of(tiff);
    decoded.icc.assign(icc.begin(), icc.end());
    if (TIFFGetField(tiff, TIFFTAG_XMLPACKET, &size, &bytes) && bytes)
        decoded.xmp.assign(static_cast<const char*>(bytes), size);
    float x = 0, y = 0;
    if (TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) &&
        TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y) && x > 0 && y > 0) {
        const std::uint16_t unit = field<std::uint16_t>(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        const double per_inch = unit == RESUNIT_CENTIMETER ? 2.54
                                : unit == RESUNIT_INCH     ? 1.0
                                                           : 0.0;
        decoded.dpi_x = x * per_inch;
        decoded.dpi_y = y * per_inch;
    }
}

} // namespace

Header tiff_header(std::span<const std::uint8_t> file)
{
    Source source{file, 0, {}};
    const Tiff tiff = open(source);
    const Layout l = layout_of(tiff.get());
    Header header{Format::Tiff, static_cast<int>(std::min<std::uint32_t>(l.width, 0x7FFFFFFF)),
                  static_cast<int>(std::min<std::uint32_t>(l.height, 0x7FFFFFFF)),
                  l.alpha != Alpha::None};
    if (imgctl::upright_for(orientation_of(tiff.get())).quarters % 2 != 0)
        std::swap(header.width, header.height);
    return header;
}

Decoded decode_tiff(std::span<const std::uint8_t> file, Depth depth)
{
    Source source{file, 0, {}};
    const Tiff tiff = open(source);
    const Layout l = layout_of(tiff.get());
    if (!imgctl::size_within_limits(l.width, l.height))
        fail("picture of " + std::to_string(l.width) + " x " + std::to_string(l.height) +
                 " pixels is beyond the limits",
             Fault::TooLarge);
    if (!TIFFIsCODECConfigured(l.compression))
        fail("compression " + std::to_string(l.compression) + " is not decoded",
             Fault::Unsupported);
    check_data_present(tiff.get(), l, file.size());
    Decoded decoded;
    decoded.width = static_cast<int>(l.width);
    decoded.height = static_cast<int>(l.height);
    decoded.orientation = orientation_of(tiff.get());
    bool profile_applied = false;
    if (read_as_stored(tiff.get(), l))
        profile_applied = decode_as_stored(tiff.get(), l, source, depth, decoded);
    else
        decode_through_rgba(tiff.get(), l, source, decoded.orientation, decoded);
    take_metadata(tiff.get(), decoded);
    if (profile_applied)
        decoded.icc.clear();
    return decoded;
}

} // namespace decoders
