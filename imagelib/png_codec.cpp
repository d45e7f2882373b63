#include "imagelib/png_codec.h"

#include "imagelib/colour.h"
#include "imagelib/limits.h"
#include "imagelib/png_read_setup.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <span>

#include <png.h>

namespace imgctl {
namespace {

// libpng reports errors through on_error, which jumps back to the function
// that called setjmp. Those functions own nothing with a destructor and
// return false; their callers throw.
struct Messages
{
    char text[200] = "";
};

void on_error(png_structp png, png_const_charp message)
{
    auto* messages = static_cast<Messages*>(png_get_error_ptr(png));
    std::snprintf(messages->text, sizeof messages->text, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct Reader
{
    Reader()
    {
        png = create_png_reader(&messages, on_error, on_warning);
        if (png != nullptr)
            info = png_create_info_struct(png);
        if (png == nullptr || info == nullptr)
            throw std::bad_alloc();
    }
    ~Reader() { png_destroy_read_struct(&png, &info, nullptr); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    Messages messages;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngSource source;
};

struct Writer
{
    Writer()
    {
        png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, on_error, on_warning);
        if (png != nullptr)
            info = png_create_info_struct(png);
        if (png == nullptr || info == nullptr)
            throw std::bad_alloc();
    }
    ~Writer() { png_destroy_write_struct(&png, &info); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    Messages messages;
    png_structp png = nullptr;
    png_infop info = nullptr;
};

bool read_info(Reader& r)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_set_read_fn(r.png, &r.source, read_png_source);
    limit_png_read(r.png);
    png_read_info(r.png, r.info);
    return true;
}

// The ICC profile of the iCCP chunk; empty when there is none (a damaged
// one libpng dropped) or it is larger than metadata keeps.
std::span<const std::uint8_t> profile_of(const Reader& r)
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 size = 0;
    if (png_get_iCCP(r.png, r.info, &name, &compression, &profile, &size) == 0 ||
        profile == nullptr || size > k_max_icc_bytes)
        return {};
    return {profile, size};
}

// How the pixels leave the file: as stored, rounded to 8 bits, for an output
// that carries the profile along; or converted to sRGB from the profile, at
// the file's own depth, so that a 16-bit picture is rounded only once, after
// the conversion. A grey profile, which no output carries, is converted
// either way (as the loader does for every source).
enum class Route { Stored, ToSrgb };

Route route_for(std::span<const std::uint8_t> icc, Colour colour)
{
    if (icc.empty() || profile_kept(icc, colour))
        return Route::Stored;
    return Route::ToSrgb;
}

// Stored: the shared set-up to 8-bit BGR(A). ToSrgb: the same colour types
// expanded, the depth kept (16-bit samples in host order), and the
// interlace passes left apart: each pass's rows are converted as they come
// (the conversion works pixel by pixel), so the 16-bit picture is never
// held whole.
bool set_transforms(Reader& r, Route route, int& channels)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    if (route == Route::Stored) {
        set_png_read_transforms(r.png);
    } else {
        png_set_expand(r.png);
        png_set_gray_to_rgb(r.png);
        png_set_bgr(r.png);
        if constexpr (std::endian::native == std::endian::little)
            png_set_swap(r.png);
    }
    png_read_update_info(r.png, r.info);
    channels = png_get_channels(r.png, r.info);
    return true;
}

bool read_pixels(Reader& r, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_read_image(r.png, rows);
    return true;
}

// The next `count` rows of the current pass (of the picture when it is not
// interlaced).
bool read_rows(Reader& r, png_bytepp rows, png_uint_32 count)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_read_rows(r.png, rows, nullptr, count);
    return true;
}

// Text and eXIf chunks may also follow the picture data.
bool read_end(Reader& r)
{
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_read_end(r.png, r.info);
    return true;
}

constexpr const char* k_xmp_keyword = "XML:com.adobe.xmp";
constexpr double k_metres_per_inch = 0.0254;

// libpng has already checked each chunk; one it found damaged (a truncated
// iCCP, a bad eXIf) was dropped with a warning and is simply absent here.
void collect_metadata(const Reader& r, Metadata& metadata)
{
    png_bytep exif = nullptr;
    png_uint_32 exif_size = 0;
    if (png_get_eXIf_1(r.png, r.info, &exif_size, &exif) != 0 && exif != nullptr)
        metadata.exif = exif_tiff_block({exif, exif_size});
    const std::span<const std::uint8_t> profile = profile_of(r);
    metadata.icc.assign(profile.begin(), profile.end());
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(r.png, r.info, &texts, &count);
    for (int i = 0; i < count; ++i) {
        const png_text& t = texts[i];
        if (metadata.xmp.empty() && t.key != nullptr && std::strcmp(t.key, k_xmp_keyword) == 0 &&
            t.text != nullptr) {
            const std::size_t length =
                t.compression >= PNG_ITXT_COMPRESSION_NONE ? t.itxt_length : t.text_length;
            if (length <= k_max_xmp_bytes) // a cut packet would be a different one
                metadata.xmp.assign(t.text, length);
        }
    }
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(r.png, r.info, &x, &y, &unit) != 0 && unit == PNG_RESOLUTION_METER && x > 0 &&
        y > 0) {
        metadata.dpi_x = x * k_metres_per_inch;
        metadata.dpi_y = y * k_metres_per_inch;
    }
}

struct WriteJob
{
    std::FILE* stream;
    png_uint_32 width;
    png_uint_32 height;
    int bit_depth;
    int colour_type;
    int interlace;
    png_const_colorp palette;
    int palette_size;
    png_const_bytep alpha;
    int alpha_size;
    bool bgr;
    png_bytepp rows;
    const OutputMetadata* metadata;
    png_text* xmp; // the XMP iTXt chunk, or nullptr
};

void set_metadata(png_structp png, png_infop info, const WriteJob& job)
{
    const OutputMetadata* m = job.metadata;
    if (m == nullptr)
        return;
    // A profile libpng does not accept is then left out with a warning
    // instead of failing the picture.
    png_set_benign_errors(png, 1);
    if (!m->exif.empty())
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(m->exif.size()),
                       const_cast<png_bytep>(m->exif.data()));
    if (!m->icc.empty())
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, m->icc.data(),
                     static_cast<png_uint_32>(m->icc.size()));
    if (job.xmp != nullptr)
        png_set_text(png, info, job.xmp, 1);
    if (m->dpi_x > 0 && m->dpi_y > 0)
        png_set_pHYs(png, info, static_cast<png_uint_32>(std::lround(m->dpi_x / k_metres_per_inch)),
                     static_cast<png_uint_32>(std::lround(m->dpi_y / k_metres_per_inch)),
                     PNG_RESOLUTION_METER);
}

// zlib level 2 with libpng's adaptive row filter: on a 1600x1200 photograph
// it writes files about 10% larger than level 6 in a quarter of the time
// (most of level 6's time goes into longer match searches that gain
// little on camera noise). Palette rows are left unfiltered, as filters
// only confuse index data.
void set_compression(png_structp png, int colour_type)
{
    png_set_compression_level(png, 2);
    png_set_filter(png, PNG_FILTER_TYPE_BASE,
                   colour_type == PNG_COLOR_TYPE_PALETTE ? PNG_FILTER_NONE : PNG_ALL_FILTERS);
}

bool write_png(Writer& w, const WriteJob& job)
{
    if (setjmp(png_jmpbuf(w.png)))
        return false;
    png_init_io(w.png, job.stream);
    png_set_IHDR(w.png, w.info, job.width, job.height, job.bit_depth, job.colour_type,
                 job.interlace, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (job.palette != nullptr)
        png_set_PLTE(w.png, w.info, job.palette, job.palette_size);
    if (job.alpha_size > 0)
        png_set_tRNS(w.png, w.info, job.alpha, job.alpha_size, nullptr);
    set_metadata(w.png, w.info, job);
    set_compression(w.png, job.colour_type);
    png_write_info(w.png, w.info);
    if (job.bgr)
        png_set_bgr(w.png);
    if (job.bit_depth < 8)
        png_set_packing(w.png);
    png_write_image(w.png, job.rows);
    png_write_end(w.png, nullptr);
    return true;
}

std::vector<png_bytep> row_pointers(const cv::Mat& pixels)
{
    std::vector<png_bytep> rows(static_cast<std::size_t>(pixels.rows));
    for (int y = 0; y < pixels.rows; ++y)
        rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(pixels.ptr<std::uint8_t>(y));
    return rows;
}

// XMP goes into an uncompressed iTXt chunk under the keyword readers look
// for; its text must outlive the write.
void run_writer(AtomicFile& out, WriteJob job)
{
    png_text xmp{};
    if (job.metadata != nullptr && !job.metadata->xmp.empty()) {
        xmp.compression = PNG_ITXT_COMPRESSION_NONE;
        xmp.key = const_cast<png_charp>(k_xmp_keyword);
        xmp.text = const_cast<png_charp>(job.metadata->xmp.c_str());
        xmp.itxt_length = job.metadata->xmp.size();
        xmp.lang = const_cast<png_charp>("");
        xmp.lang_key = const_cast<png_charp>("");
        job.xmp = &xmp;
    }
    Writer w;
    if (!write_png(w, job))
        out.fail(std::string("PNG: ") + w.messages.text);
}

// Reads the pixels through the conversion to sRGB into `out` (8-bit,
// allocated at the picture's size), a band of rows at a time: at most
// k_band_pixels held at the file's depth besides `out`, a 16-bit RGBA
// picture of the limit size included. An interlaced file comes pass by
// pass, each pass a smaller picture whose pixels are scattered to their
// places.
void read_in_srgb(Reader& r, cv::Mat& out)
{
    constexpr png_uint_32 k_band_pixels = 1u << 22;
    const std::span<const std::uint8_t> icc = profile_of(r);
    const int depth = png_get_bit_depth(r.png, r.info) == 16 ? CV_16U : CV_8U;
    const int channels = out.channels();
    const bool interlaced = png_get_interlace_type(r.png, r.info) != PNG_INTERLACE_NONE;
    const png_uint_32 width = static_cast<png_uint_32>(out.cols);
    const png_uint_32 height = static_cast<png_uint_32>(out.rows);
    for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass) {
        const png_uint_32 cols = interlaced ? PNG_PASS_COLS(width, pass) : width;
        const png_uint_32 rows = interlaced ? PNG_PASS_ROWS(height, pass) : height;
        if (cols == 0 || rows == 0)
            continue; // libpng passes over an empty pass too
        // libpng copies a whole picture row's bytes even for a pass: the
        // pass's pixels come first.
        const png_uint_32 band_rows = std::clamp<png_uint_32>(k_band_pixels / width, 1, rows);
        cv::Mat band(static_cast<int>(band_rows), static_cast<int>(width),
                     CV_MAKETYPE(depth, channels));
        std::vector<png_bytep> pointers = row_pointers(band);
        for (png_uint_32 y = 0; y < rows; y += band_rows) {
            const png_uint_32 count = std::min(band_rows, rows - y);
            if (!read_rows(r, pointers.data(), count))
                throw ImageError(std::string("PNG: ") + r.messages.text);
            const cv::Mat srgb = to_srgb8(
                band(cv::Rect(0, 0, static_cast<int>(cols), static_cast<int>(count))), icc);
            if (!interlaced) {
                srgb.copyTo(out.rowRange(static_cast<int>(y), static_cast<int>(y + count)));
                continue;
            }
            const std::size_t pixel = static_cast<std::size_t>(channels);
            for (png_uint_32 i = 0; i < count; ++i) {
                const std::uint8_t* from = srgb.ptr<std::uint8_t>(static_cast<int>(i));
                std::uint8_t* to =
                    out.ptr<std::uint8_t>(static_cast<int>(PNG_ROW_FROM_PASS_ROW(y + i, pass)));
                for (png_uint_32 x = 0; x < cols; ++x)
                    std::memcpy(to + PNG_COL_FROM_PASS_COL(x, pass) * pixel, from + x * pixel,
                                pixel);
            }
        }
    }
}

int palette_depth(std::size_t entries)
{
    if (entries <= 2)
        return 1;
    if (entries <= 4)
        return 2;
    return entries <= 16 ? 4 : 8;
}

} // namespace

bool looks_like_png(const std::vector<std::uint8_t>& bytes)
{
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    return bytes.size() >= 8 && std::memcmp(bytes.data(), signature, 8) == 0;
}

cv::Mat decode_png(const std::vector<std::uint8_t>& bytes, Metadata* metadata, Colour colour)
{
    Reader r;
    r.source.data = bytes;
    if (!read_info(r))
        throw ImageError(std::string("PNG: ") + r.messages.text);
    const png_uint_32 width = png_get_image_width(r.png, r.info);
    const png_uint_32 height = png_get_image_height(r.png, r.info);
    check_dimensions("PNG", width, height);
    const Route route = route_for(profile_of(r), colour);
    int channels = 0;
    if (!set_transforms(r, route, channels))
        throw ImageError(std::string("PNG: ") + r.messages.text);
    if (channels != 3 && channels != 4)
        throw ImageError("PNG: unexpected channel count");
    cv::Mat pixels(static_cast<int>(height), static_cast<int>(width),
                   channels == 4 ? CV_8UC4 : CV_8UC3);
    if (route == Route::ToSrgb) {
        read_in_srgb(r, pixels);
    } else {
        std::vector<png_bytep> rows = row_pointers(pixels);
        if (!read_pixels(r, rows.data()))
            throw ImageError(std::string("PNG: ") + r.messages.text);
    }
    if (metadata != nullptr) {
        read_end(r); // a damaged tail loses only what it held
        collect_metadata(r, *metadata);
        if (route == Route::ToSrgb)
            metadata->icc.clear(); // the pixels are sRGB now
    }
    return pixels;
}

void encode_png(AtomicFile& out, const cv::Mat& colour, Interlace interlace,
                const OutputMetadata* metadata)
{
    std::vector<png_bytep> rows = row_pointers(colour);
    WriteJob job{};
    job.stream = out.stream();
    job.width = static_cast<png_uint_32>(colour.cols);
    job.height = static_cast<png_uint_32>(colour.rows);
    job.bit_depth = 8;
    job.colour_type = colour.channels() == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    job.interlace = interlace == Interlace::On ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    job.bgr = true;
    job.rows = rows.data();
    job.metadata = metadata;
    run_writer(out, job);
}

void encode_png_indexed(AtomicFile& out, const cv::Mat& indices,
                        const std::vector<std::uint32_t>& palette, Interlace interlace,
                        const OutputMetadata* metadata)
{
    std::vector<png_color> colours(palette.size());
    std::vector<png_byte> alpha(palette.size());
    std::size_t alpha_size = 0;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        colours[i] = {static_cast<png_byte>(palette[i] >> 16),
                      static_cast<png_byte>(palette[i] >> 8), static_cast<png_byte>(palette[i])};
        alpha[i] = static_cast<png_byte>(palette[i] >> 24);
        if (alpha[i] != 0xFF)
            alpha_size = i + 1;
    }
    std::vector<png_bytep> rows = row_pointers(indices);
    WriteJob job{};
    job.stream = out.stream();
    job.width = static_cast<png_uint_32>(indices.cols);
    job.height = static_cast<png_uint_32>(indices.rows);
    job.bit_depth = palette_depth(palette.size());
    job.colour_type = PNG_COLOR_TYPE_PALETTE;
    job.interlace = interlace == Interlace::On ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    job.palette = colours.data();
    job.palette_size = static_cast<int>(colours.size());
    job.alpha = alpha.data();
    job.alpha_size = static_cast<int>(alpha_size);
    job.rows = rows.data();
    job.metadata = metadata;
    run_writer(out, job);
}

} // namespace imgctl
