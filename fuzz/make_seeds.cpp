// Writes the seed pictures of the fuzz targets: one small picture of each
// variant a target handles, so that fuzzing starts inside the decoders
// instead of spending its time finding a valid header. Built and run by
// fuzz/make-seeds; the output is kept in fuzz/corpus/<target>/.
#include "tests/support/raw_png.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdio>
#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path g_root;
constexpr int k_w = 8, k_h = 6;

[[noreturn]] void die(const std::string& what)
{
    std::cerr << "make_seeds: " << what << "\n";
    std::exit(1);
}

void save(const std::string& target, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(g_root / target);
    std::ofstream out(g_root / target / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        die("cannot write " + name);
}

Bytes load(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

// A small picture with some structure: gradients and an edge.
std::uint8_t sample(int x, int y, int c)
{
    return static_cast<std::uint8_t>((x * 37 + y * 23 + c * 80 + (x > y ? 60 : 0)) & 0xFF);
}

void put(Bytes& b, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// ---- BMP, written by hand for the layouts the reader takes ----------------

Bytes bmp(int width, int height, int bits, std::uint32_t compression, const Bytes& table,
          const Bytes& pixels, std::uint32_t header = 40)
{
    Bytes info;
    put(info, header, 4);
    if (header == 12) {
        put(info, width, 2);
        put(info, height, 2);
        put(info, 1, 2);
        put(info, bits, 2);
    } else {
        put(info, static_cast<std::uint32_t>(width), 4);
        put(info, static_cast<std::uint32_t>(height), 4);
        put(info, 1, 2);
        put(info, bits, 2);
        put(info, compression, 4);
        put(info, static_cast<std::uint32_t>(pixels.size()), 4);
        put(info, 2835, 4);
        put(info, 2835, 4);
        put(info, 0, 4);
        put(info, 0, 4);
        info.resize(header, 0);
    }
    Bytes b = {'B', 'M'};
    const std::uint32_t offset = 14 + static_cast<std::uint32_t>(info.size() + table.size());
    put(b, offset + static_cast<std::uint32_t>(pixels.size()), 4);
    put(b, 0, 4);
    put(b, offset, 4);
    b.insert(b.end(), info.begin(), info.end());
    b.insert(b.end(), table.begin(), table.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

Bytes grey_table(int colours, int entry = 4)
{
    Bytes t;
    for (int i = 0; i < colours; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / (colours - 1));
        t.insert(t.end(), {v, static_cast<std::uint8_t>(255 - v), v});
        if (entry == 4)
            t.push_back(0);
    }
    return t;
}

Bytes packed_rows(int bits, int height)
{
    const int stride = ((k_w * bits + 31) / 32) * 4;
    Bytes p(static_cast<std::size_t>(stride * height), 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < (k_w * bits + 7) / 8; ++x)
            p[static_cast<std::size_t>(y * stride + x)] = sample(x, y, 0);
    return p;
}

void bmp_seeds(const std::string& target)
{
    for (int bits : {1, 4, 8})
        save(target, "pal" + std::to_string(bits) + ".bmp",
             bmp(k_w, k_h, bits, 0, grey_table(1 << bits), packed_rows(bits, k_h)));
    save(target, "rgb24.bmp", bmp(k_w, k_h, 24, 0, {}, packed_rows(24, k_h)));
    save(target, "rgb24_top_down.bmp", bmp(k_w, -k_h, 24, 0, {}, packed_rows(24, k_h)));
    save(target, "rgb32.bmp", bmp(k_w, k_h, 32, 0, {}, packed_rows(32, k_h)));
    save(target, "rgb555.bmp", bmp(k_w, k_h, 16, 0, {}, packed_rows(16, k_h)));
    Bytes masks;
    put(masks, 0xF800, 4);
    put(masks, 0x07E0, 4);
    put(masks, 0x001F, 4);
    save(target, "rgb565_bitfields.bmp", bmp(k_w, k_h, 16, 3, masks, packed_rows(16, k_h)));
    Bytes masks32;
    put(masks32, 0x00FF0000, 4);
    put(masks32, 0x0000FF00, 4);
    put(masks32, 0x000000FF, 4);
    save(target, "argb32_bitfields.bmp", bmp(k_w, k_h, 32, 3, masks32, packed_rows(32, k_h)));
    // v5 header with alpha mask.
    save(target, "rgb32_v5.bmp", bmp(k_w, k_h, 32, 0, {}, packed_rows(32, k_h), 124));
    save(target, "os2_core24.bmp", bmp(k_w, k_h, 24, 0, {}, packed_rows(24, k_h), 12));
    save(target, "os2_core8.bmp", bmp(k_w, k_h, 8, 0, grey_table(256, 3), packed_rows(8, k_h), 12));
    // RLE8: runs, an absolute run, a delta, end of line and end of picture.
    const Bytes rle8 = {4, 1, 4, 2, 0, 0, 0, 4, 3, 4, 5, 6, 4, 7, 0, 0,
                        0, 2, 2, 1, 8, 9, 0, 0, 8, 3, 0, 0, 8, 4, 0, 1};
    save(target, "rle8.bmp", bmp(k_w, k_h, 8, 1, grey_table(256), rle8));
    const Bytes rle4 = {8, 0x12, 0, 0,    0, 4, 0x34, 0x56, 8, 0x78, 0, 0,    0, 2,
                        1, 1,    4, 0x9A, 0, 0, 8,    0xBC, 0, 0,    8, 0xDE, 0, 1};
    save(target, "rle4.bmp", bmp(k_w, k_h, 4, 2, grey_table(16), rle4));
}

// ---- PNG through libpng ----------------------------------------------------

struct PngSpec
{
    const char* name;
    int colour_type;
    int depth;
    bool interlaced;
    bool trns;
    int orientation; // 0: no eXIf
};

Bytes png(const PngSpec& s)
{
    testsupport::RawPng image;
    image.width = k_w;
    image.height = k_h;
    image.bit_depth = s.depth;
    image.colour_type = s.colour_type;
    image.interlaced = s.interlaced;
    if (s.colour_type == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i < (1 << std::min(s.depth, 4)); ++i)
            image.palette.push_back({sample(i, 0, 0), sample(i, 1, 1), sample(i, 2, 2)});
        if (s.trns)
            image.alpha = {0, 128};
    } else if (s.trns) {
        png_color_16 colour{};
        colour.gray = 1;
        colour.red = colour.green = colour.blue = 1;
        image.trns_colour = colour;
    }
    if (s.orientation) {
        // A little-endian TIFF block with the one orientation entry.
        image.exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3,
                      0,   1,   0,  0, 0, 6, 0, 0, 0, 0, 0,    0, 0};
        image.exif[18] = static_cast<std::uint8_t>(s.orientation);
    }
    image.background = png_color_16{};
    image.gamma = 0.45455;
    const int row_bytes = static_cast<int>(testsupport::raw_png_row_bytes(image));
    for (int y = 0; y < k_h; ++y) {
        for (int x = 0; x < row_bytes; ++x)
            image.rows.push_back(
                s.colour_type == PNG_COLOR_TYPE_PALETTE
                    ? static_cast<std::uint8_t>(sample(x, y, 0) & (s.depth < 8 ? 0x77 : 0x0F))
                    : sample(x, y, x % 3));
    }
    try {
        return testsupport::raw_png_bytes(image);
    } catch (const std::exception& error) {
        die(error.what());
    }
}

const PngSpec k_pngs[] = {
    {"grey1.png", PNG_COLOR_TYPE_GRAY, 1, false, false, 0},
    {"grey4.png", PNG_COLOR_TYPE_GRAY, 4, false, true, 0},
    {"grey8.png", PNG_COLOR_TYPE_GRAY, 8, false, false, 0},
    {"grey16.png", PNG_COLOR_TYPE_GRAY, 16, false, false, 0},
    {"grey_alpha8.png", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false, 0},
    {"rgb8.png", PNG_COLOR_TYPE_RGB, 8, false, true, 0},
    {"rgb16_interlaced.png", PNG_COLOR_TYPE_RGB, 16, true, false, 0},
    {"rgba8.png", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, 0},
    {"rgba16.png", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, false, 0},
    {"palette2_trns.png", PNG_COLOR_TYPE_PALETTE, 2, false, true, 0},
    {"palette8_interlaced.png", PNG_COLOR_TYPE_PALETTE, 8, true, false, 0},
    {"rgb8_exif6.png", PNG_COLOR_TYPE_RGB, 8, false, false, 6},
};

// ---- GIF through giflib ----------------------------------------------------

struct GifFrame
{
    int left, top, width, height;
    bool interlace;
    bool local_map;
    int transparent; // -1: none
};

Bytes gif(const std::vector<GifFrame>& frames, bool gif89)
{
    Bytes out;
    int error = 0;
    GifFileType* g = EGifOpen(
        &out,
        [](GifFileType* f, const GifByteType* data, int n) {
            auto* o = static_cast<Bytes*>(f->UserData);
            o->insert(o->end(), data, data + n);
            return n;
        },
        &error);
    if (!g)
        die("giflib failed");
    EGifSetGifVersion(g, gif89);
    GifColorType colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 200, 0}, {30, 60, 250}};
    ColorMapObject* global = GifMakeMapObject(4, colours);
    EGifPutScreenDesc(g, k_w, k_h, 2, 0, global);
    for (const GifFrame& f : frames) {
        if (f.transparent >= 0) {
            GraphicsControlBlock control{};
            control.TransparentColor = f.transparent;
            control.DelayTime = 10;
            GifByteType block[4];
            EGifGCBToExtension(&control, block);
            EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, block);
        }
        ColorMapObject* local = f.local_map ? GifMakeMapObject(4, colours) : nullptr;
        EGifPutImageDesc(g, f.left, f.top, f.width, f.height, f.interlace, local);
        std::vector<GifPixelType> row(static_cast<std::size_t>(f.width));
        for (int y = 0; y < f.height; ++y) {
            for (int x = 0; x < f.width; ++x)
                row[x] = static_cast<GifPixelType>((x + y) % 4);
            EGifPutLine(g, row.data(), f.width);
        }
        GifFreeMapObject(local);
    }
    GifFreeMapObject(global);
    EGifCloseFile(g, &error);
    return out;
}

void gif_seeds(const std::string& target)
{
    save(target, "plain87a.gif", gif({{0, 0, k_w, k_h, false, false, -1}}, false));
    save(target, "interlaced.gif", gif({{0, 0, k_w, k_h, true, false, -1}}, true));
    save(target, "transparent.gif", gif({{0, 0, k_w, k_h, false, false, 2}}, true));
    save(target, "local_map_offset.gif", gif({{2, 1, 4, 3, false, true, -1}}, true));
    save(target, "past_the_screen.gif", gif({{4, 3, 8, 6, false, false, -1}}, true));
    save(target, "two_frames.gif",
         gif({{0, 0, k_w, k_h, false, false, 1}, {1, 1, 3, 3, false, false, 0}}, true));
}

// ---- JPEG through libjpeg --------------------------------------------------

Bytes jpeg(bool grey, bool progressive, int quality)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = k_w * 2;
    c.image_height = k_h * 2;
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    if (!grey) {
        // An EXIF block with orientation 6.
        static const JOCTET exif[] = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                      0x12, 1,   3,   0,   1, 0, 0,   0,   6,  0, 0, 0, 0, 0, 0, 0};
        jpeg_write_marker(&c, JPEG_APP0 + 1, exif, sizeof exif);
    }
    std::vector<JSAMPLE> row(static_cast<std::size_t>(c.image_width * c.input_components));
    while (c.next_scanline < c.image_height) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = sample(static_cast<int>(i), static_cast<int>(c.next_scanline), 0);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    jpeg_destroy_compress(&c);
    return out;
}

// ---- WebP through libwebp --------------------------------------------------

Bytes rgba_pixels(bool alpha)
{
    Bytes p;
    for (int y = 0; y < k_h; ++y)
        for (int x = 0; x < k_w; ++x)
            p.insert(p.end(), {sample(x, y, 0), sample(x, y, 1), sample(x, y, 2),
                               static_cast<std::uint8_t>(alpha ? x * 32 : 255)});
    return p;
}

Bytes webp_still(bool lossless, bool alpha)
{
    const Bytes p = rgba_pixels(alpha);
    std::uint8_t* out = nullptr;
    const std::size_t size = lossless ? WebPEncodeLosslessRGBA(p.data(), k_w, k_h, k_w * 4, &out)
                                      : WebPEncodeRGBA(p.data(), k_w, k_h, k_w * 4, 80, &out);
    if (size == 0)
        die("libwebp failed");
    Bytes b(out, out + size);
    WebPFree(out);
    return b;
}

Bytes webp_animation()
{
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(k_w, k_h, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int frame = 0; frame < 2; ++frame) {
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.width = k_w;
        picture.height = k_h;
        picture.use_argb = 1;
        Bytes p = rgba_pixels(frame == 1);
        WebPPictureImportRGBA(&picture, p.data(), k_w * 4);
        WebPAnimEncoderAdd(encoder, &picture, frame * 100, &config);
        WebPPictureFree(&picture);
    }
    WebPAnimEncoderAdd(encoder, nullptr, 200, nullptr);
    WebPData data;
    WebPDataInit(&data);
    if (!WebPAnimEncoderAssemble(encoder, &data))
        die("libwebp animation failed");
    Bytes b(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return b;
}

// ---- TIFF through libtiff --------------------------------------------------

struct TiffSpec
{
    const char* name;
    int compression;
    int photometric;
    int samples;
    int bits;
    int extra; // 0 none, 1 associated, 2 unassociated alpha
    bool separate;
    bool tiled;
    int orientation;
    bool big_endian;
};

Bytes tiff_file(const TiffSpec& s, const fs::path& scratch)
{
    TIFF* t = TIFFOpen(scratch.c_str(), s.big_endian ? "wb" : "wl");
    if (!t)
        die("libtiff failed");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, k_w * 2);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, k_h * 2);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, s.orientation);
    if (s.extra) {
        std::uint16_t kind = s.extra == 1 ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<std::uint16_t> r(1u << s.bits), g(r.size()), b(r.size());
        for (std::size_t i = 0; i < r.size(); ++i) {
            r[i] = static_cast<std::uint16_t>(i * 4000);
            g[i] = static_cast<std::uint16_t>(65535 - i * 3000);
            b[i] = static_cast<std::uint16_t>(i * 257);
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    const int width = k_w * 2, height = k_h * 2;
    const int planes = s.separate ? s.samples : 1;
    const int per_row = s.separate ? 1 : s.samples;
    const tmsize_t row_bytes = (width * per_row * s.bits + 7) / 8;
    if (s.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        Bytes tile(static_cast<std::size_t>(TIFFTileSize(t)));
        for (std::size_t i = 0; i < tile.size(); ++i)
            tile[i] = sample(static_cast<int>(i % 48), static_cast<int>(i / 48), 0);
        for (int plane = 0; plane < planes; ++plane)
            TIFFWriteTile(t, tile.data(), 0, 0, 0, static_cast<std::uint16_t>(plane));
    } else {
        // JPEG strips hold whole 16-row blocks.
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.compression == COMPRESSION_JPEG ? 16 : 4);
        Bytes row(static_cast<std::size_t>(row_bytes));
        for (int plane = 0; plane < planes; ++plane)
            for (int y = 0; y < height; ++y) {
                for (std::size_t i = 0; i < row.size(); ++i)
                    row[i] = sample(static_cast<int>(i), y, plane);
                if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y),
                                      static_cast<std::uint16_t>(plane)) < 0)
                    die(std::string("libtiff cannot write ") + s.name);
            }
    }
    TIFFClose(t);
    return load(scratch);
}

const TiffSpec k_tiffs[] = {
    {"rgb.tif", COMPRESSION_NONE, PHOTOMETRIC_RGB, 3, 8, 0, false, false, 1, false},
    {"rgb_lzw_be.tif", COMPRESSION_LZW, PHOTOMETRIC_RGB, 3, 8, 0, false, false, 1, true},
    {"rgb_deflate.tif", COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_RGB, 3, 8, 0, false, false, 1,
     false},
    {"rgb_packbits.tif", COMPRESSION_PACKBITS, PHOTOMETRIC_RGB, 3, 8, 0, false, false, 1, false},
    {"rgb16.tif", COMPRESSION_NONE, PHOTOMETRIC_RGB, 3, 16, 0, false, false, 1, false},
    {"rgb_separate.tif", COMPRESSION_NONE, PHOTOMETRIC_RGB, 3, 8, 0, true, false, 1, false},
    {"rgb_tiled.tif", COMPRESSION_LZW, PHOTOMETRIC_RGB, 3, 8, 0, false, true, 1, false},
    {"rgba_assoc.tif", COMPRESSION_NONE, PHOTOMETRIC_RGB, 4, 8, 1, false, false, 1, false},
    {"rgba_unassoc.tif", COMPRESSION_DEFLATE, PHOTOMETRIC_RGB, 4, 8, 2, false, false, 1, false},
    {"grey8_orient6.tif", COMPRESSION_NONE, PHOTOMETRIC_MINISBLACK, 1, 8, 0, false, false, 6,
     false},
    {"grey4_white.tif", COMPRESSION_NONE, PHOTOMETRIC_MINISWHITE, 1, 4, 0, false, false, 3, false},
    {"bilevel_g4.tif", COMPRESSION_CCITTFAX4, PHOTOMETRIC_MINISWHITE, 1, 1, 0, false, false, 1,
     false},
    {"bilevel_g3.tif", COMPRESSION_CCITTFAX3, PHOTOMETRIC_MINISWHITE, 1, 1, 0, false, false, 1,
     false},
    {"palette8.tif", COMPRESSION_LZW, PHOTOMETRIC_PALETTE, 1, 8, 0, false, false, 8, false},
    {"cmyk.tif", COMPRESSION_NONE, PHOTOMETRIC_SEPARATED, 4, 8, 0, false, false, 1, false},
};

// ---- Blocks for the plug-in host's raw test plug-in ------------------------

// progress done, progress total, info size, info block, bits block.
Bytes raw_answer(int bits, int colours, std::uint32_t compression, const Bytes& masks, int height)
{
    Bytes info;
    put(info, 40, 4);
    put(info, k_w, 4);
    put(info, static_cast<std::uint32_t>(height), 4);
    put(info, 1, 2);
    put(info, bits, 2);
    put(info, compression, 4);
    put(info, 0, 4);
    put(info, 0, 4);
    put(info, 0, 4);
    put(info, colours, 4);
    put(info, 0, 4);
    info.insert(info.end(), masks.begin(), masks.end());
    if (colours) {
        const Bytes table = grey_table(colours);
        info.insert(info.end(), table.begin(), table.end());
    }
    Bytes b;
    put(b, 50, 4);
    put(b, 100, 4);
    put(b, static_cast<std::uint32_t>(info.size()), 2);
    b.insert(b.end(), info.begin(), info.end());
    const Bytes pixels = packed_rows(bits, height < 0 ? -height : height);
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

void host_seeds(const std::string& target)
{
    save(target, "pal1", raw_answer(1, 2, 0, {}, k_h));
    save(target, "pal4", raw_answer(4, 16, 0, {}, k_h));
    save(target, "pal8", raw_answer(8, 256, 0, {}, k_h));
    save(target, "rgb24", raw_answer(24, 0, 0, {}, k_h));
    save(target, "rgb24_top_down", raw_answer(24, 0, 0, {}, -k_h));
    save(target, "rgb32", raw_answer(32, 0, 0, {}, k_h));
    save(target, "rgb555", raw_answer(16, 0, 0, {}, k_h));
    Bytes masks;
    put(masks, 0xF800, 4);
    put(masks, 0x07E0, 4);
    put(masks, 0x001F, 4);
    save(target, "rgb565_bitfields", raw_answer(16, 0, 3, masks, k_h));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        die("usage: make_seeds CORPUS_FOLDER");
    g_root = argv[1];
    TIFFSetWarningHandler(nullptr);
    bmp_seeds("fuzz_bmp_reader");
    bmp_seeds("fuzz_todib");
    gif_seeds("fuzz_spi_gif");
    gif_seeds("fuzz_gif_to_dib");
    for (const PngSpec& s : k_pngs) {
        save("fuzz_spi_png", s.name, png(s));
        save("fuzz_todib", s.name, png(s));
    }
    save("fuzz_todib", "plain.gif", gif({{0, 0, k_w, k_h, false, false, -1}}, true));
    save("fuzz_todib", "transparent.gif", gif({{0, 0, k_w, k_h, false, false, 2}}, true));
    save("fuzz_todib", "baseline_exif6.jpg", jpeg(false, false, 85));
    save("fuzz_todib", "progressive.jpg", jpeg(false, true, 60));
    save("fuzz_todib", "grey.jpg", jpeg(true, false, 92));
    // The plug-ins and the decoders they wrap start from the same pictures.
    for (const char* target : {"fuzz_spi_webp", "fuzz_webp_decoder"}) {
        save(target, "lossy.webp", webp_still(false, false));
        save(target, "lossy_alpha.webp", webp_still(false, true));
        save(target, "lossless.webp", webp_still(true, false));
        save(target, "lossless_alpha.webp", webp_still(true, true));
        save(target, "animated.webp", webp_animation());
    }
    const fs::path scratch =
        fs::temp_directory_path() / ("make_seeds_" + std::to_string(getpid()) + ".tif");
    for (const TiffSpec& s : k_tiffs)
        for (const char* target : {"fuzz_spi_tiff", "fuzz_tiff_decoder"})
            save(target, s.name, tiff_file(s, scratch));
    fs::remove(scratch);
    host_seeds("fuzz_spi_host");
    return 0;
}
