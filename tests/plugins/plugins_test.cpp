// The shipped import plug-ins decode real files: PNG and GIF compared pixel
// by pixel with the picture library's own decoders, WebP with the pixels it
// was losslessly encoded from.
#include "graphics/picture.h"
#include "imagelib/imgctl.h"
#include "platform/dynlib.h"
#include "platform/local_mem.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "tests/plugins/shipped_plugins.h"
#include "tests/support/raw_png.h"
#include "tests/support/temp_dir.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace zumo {
namespace {

// The shipped plug-ins as the program finds them.
class ShippedPlugins : public ShippedPluginsBase
{
protected:
    static TPixelImage decode_with_plugins(const std::string& file)
    {
        TSPIGraphic graphic;
        graphic.LoadFromFile(file);
        return graphic.ToPixels();
    }
    // The picture library's decoding, BGRA top-down.
    static TPixelImage decode_with_imgctl(const std::string& file, bool gif)
    {
        imgctl::HDIB dib = gif ? imgctl::GIFtoDIB(file.c_str()) : imgctl::ToDIB(file.c_str());
        EXPECT_NE(dib, 0u) << file;
        if (dib == 0)
            return {};
        imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
        TPixelImage image{info.width, info.height, imgctl::GetDIBPixels(dib), info.has_alpha};
        imgctl::DeleteDIB(dib);
        return image;
    }
    // Colours must agree where the pixel is visible; alpha everywhere.
    static void expect_same_picture(const TPixelImage& actual, const TPixelImage& expected)
    {
        ASSERT_EQ(actual.width, expected.width);
        ASSERT_EQ(actual.height, expected.height);
        ASSERT_EQ(actual.bgra.size(), expected.bgra.size());
        for (std::size_t i = 0; i < actual.bgra.size(); i += 4) {
            std::uint8_t alpha_actual = actual.has_alpha ? actual.bgra[i + 3] : 255;
            std::uint8_t alpha_expected = expected.has_alpha ? expected.bgra[i + 3] : 255;
            ASSERT_EQ(alpha_actual, alpha_expected) << "pixel " << i / 4;
            if (alpha_expected == 0)
                continue;
            for (std::size_t c = 0; c < 3; ++c)
                ASSERT_EQ(actual.bgra[i + c], expected.bgra[i + c])
                    << "pixel " << i / 4 << " channel " << c;
        }
    }
};

std::uint8_t sample(int x, int y, int channel)
{
    return static_cast<std::uint8_t>((x * 37 + y * 11 + channel * 71) & 0xFF);
}

// Writes a PNG of the given simplified-API format through libpng.
void write_png(const std::string& file, int width, int height, png_uint_32 format)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = format;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    std::vector<png_byte> colormap;
    const int channels = static_cast<int>(PNG_IMAGE_SAMPLE_CHANNELS(format));
    if (format & PNG_FORMAT_FLAG_COLORMAP) {
        image.colormap_entries = 40;
        colormap.resize(PNG_IMAGE_COLORMAP_SIZE(image));
        for (std::size_t i = 0; i < colormap.size(); ++i)
            colormap[i] = static_cast<png_byte>(i * 13);
        for (int i = 0; i < width * height; ++i)
            pixels[static_cast<std::size_t>(i)] = static_cast<png_byte>((i * 7) % 40);
    } else {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < channels; ++c)
                    pixels[static_cast<std::size_t>((y * width + x) * channels + c)] =
                        (format & PNG_FORMAT_FLAG_ALPHA) && c == channels - 1
                            ? static_cast<png_byte>(x * 60)
                            : sample(x, y, c);
    }
    ASSERT_NE(png_image_write_to_file(&image, file.c_str(), 0, pixels.data(), 0,
                                      colormap.empty() ? nullptr : colormap.data()),
              0)
        << image.message;
}

struct PngCase
{
    const char* name;
    png_uint_32 format;
};

class PngPlugin : public ShippedPlugins, public ::testing::WithParamInterface<PngCase>
{
};

TEST_P(PngPlugin, DecodesLikeThePictureLibrary)
{
    std::string file = path("p.png");
    write_png(file, 23, 9, GetParam().format);
    expect_same_picture(decode_with_plugins(file), decode_with_imgctl(file, false));
}

INSTANTIATE_TEST_SUITE_P(Formats, PngPlugin,
                         ::testing::Values(PngCase{"gray", PNG_FORMAT_GRAY},
                                           PngCase{"rgb", PNG_FORMAT_RGB},
                                           PngCase{"rgba", PNG_FORMAT_RGBA},
                                           PngCase{"gray_alpha", PNG_FORMAT_GA},
                                           PngCase{"palette", PNG_FORMAT_RGB_COLORMAP},
                                           PngCase{"palette_alpha", PNG_FORMAT_RGBA_COLORMAP}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShippedPlugins, InterlacedPngDecodes)
{
    std::string plain = path("plain.png"), interlaced = path("interlaced.png");
    write_png(plain, 31, 17, PNG_FORMAT_RGB);
    imgctl::HDIB dib = imgctl::ToDIB(plain.c_str());
    ASSERT_NE(dib, 0u);
    imgctl::DIBtoPNG(interlaced.c_str(), dib, -1);
    imgctl::DeleteDIB(dib);
    expect_same_picture(decode_with_plugins(interlaced), decode_with_imgctl(plain, false));
}

// A PNG written through libpng's full interface: any depth and colour type,
// interlaced or not, with a gAMA chunk when gamma is non-zero. Every byte
// of the rows is scattered over its range, so that a wrong reduction of 16
// bits shows.
struct PngFile
{
    const char* name;
    int bit_depth;
    int colour_type;
    bool interlaced;
    double gamma;
};

void PrintTo(const PngFile& f, std::ostream* out)
{
    *out << f.name;
}

void write_png_full(const std::string& file, const PngFile& f, int width, int height)
{
    testsupport::RawPng png;
    png.width = width;
    png.height = height;
    png.bit_depth = f.bit_depth;
    png.colour_type = f.colour_type;
    png.interlaced = f.interlaced;
    png.gamma = f.gamma;
    const std::size_t row_bytes = testsupport::raw_png_row_bytes(png);
    for (int y = 0; y < height; ++y)
        for (std::size_t i = 0; i < row_bytes; ++i)
            png.rows.push_back(
                static_cast<png_byte>((i * 7919u + y * 104729u) * 2654435761u >> 24));
    const std::vector<std::uint8_t> bytes = testsupport::raw_png_bytes(png);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

class PngFilePlugin : public ShippedPlugins, public ::testing::WithParamInterface<PngFile>
{
};

// The preview shows the pixels the conversion reads: 16-bit interlaced
// files and files with a gAMA chunk included.
TEST_P(PngFilePlugin, DecodesLikeThePictureLibrary)
{
    std::string file = path("f.png");
    write_png_full(file, GetParam(), 37, 21);
    expect_same_picture(decode_with_plugins(file), decode_with_imgctl(file, false));
}

INSTANTIATE_TEST_SUITE_P(
    Files, PngFilePlugin,
    ::testing::Values(PngFile{"rgb16_interlaced", 16, PNG_COLOR_TYPE_RGB, true, 0},
                      PngFile{"rgba16_interlaced", 16, PNG_COLOR_TYPE_RGB_ALPHA, true, 0},
                      PngFile{"gray16_interlaced", 16, PNG_COLOR_TYPE_GRAY, true, 0},
                      PngFile{"gray_alpha16_interlaced", 16, PNG_COLOR_TYPE_GRAY_ALPHA, true, 0},
                      PngFile{"rgb16", 16, PNG_COLOR_TYPE_RGB, false, 0},
                      PngFile{"rgb8_gamma_1_0", 8, PNG_COLOR_TYPE_RGB, false, 1.0},
                      PngFile{"rgb8_gamma_0_8", 8, PNG_COLOR_TYPE_RGB, true, 0.8},
                      PngFile{"rgba16_gamma_0_3", 16, PNG_COLOR_TYPE_RGB_ALPHA, false, 0.3},
                      PngFile{"gray8_gamma_1_0", 8, PNG_COLOR_TYPE_GRAY, false, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Preview and conversion refuse the same sizes: a side up to 65535 pixels.
TEST_F(ShippedPlugins, PreviewTakesTheSizesTheConversionTakes)
{
    for (auto [width, height] : {std::pair{65535, 2}, {2, 65535}, {65536, 2}, {70000, 2}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        std::string file = path("big.png");
        write_png_full(file, PngFile{"gray1", 1, PNG_COLOR_TYPE_GRAY, false, 0}, width, height);
        imgctl::HDIB dib = imgctl::ToDIB(file.c_str());
        const bool converts = dib != 0;
        if (converts)
            imgctl::DeleteDIB(dib);
        EXPECT_EQ(converts, width <= 65535 && height <= 65535);
        TSPIBitmap bitmap;
        if (converts) {
            ASSERT_NO_THROW(bitmap.LoadFromFile(file));
            EXPECT_EQ(bitmap.Width(), width);
        } else {
            try {
                bitmap.LoadFromFile(file);
                ADD_FAILURE() << "the preview took it";
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.what(), "Susie Plugins could not decode");
            }
        }
    }
}

// A GIF of one frame; with transparency and a frame smaller than the screen
// when asked, moved right and down by overhang pixels (past the screen).
void write_gif(const std::string& file, int width, int height, bool transparent_part,
               bool interlaced = false, int overhang = 0)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(file.c_str(), false, &error);
    ASSERT_NE(gif, nullptr);
    GifColorType colours[16];
    for (int i = 0; i < 16; ++i)
        colours[i] = {static_cast<GifByteType>(i * 16), static_cast<GifByteType>(255 - i * 9),
                      static_cast<GifByteType>(i * 5)};
    ColorMapObject* map = GifMakeMapObject(16, colours);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, width, height, 4, 0, map);
    int left = 0, top = 0, w = width, h = height;
    if (transparent_part) {
        GraphicsControlBlock control{};
        control.TransparentColor = 3;
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        GifByteType extension[4];
        std::size_t length = EGifGCBToExtension(&control, extension);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension);
        left = 2;
        top = 1;
        w = width - 3;
        h = height - 2;
    }
    EGifPutImageDesc(gif, left + overhang, top + overhang, w, h, interlaced, nullptr);
    std::vector<int> order;
    if (interlaced) {
        for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int y = start; y < h; y += step)
                order.push_back(y);
    } else {
        for (int y = 0; y < h; ++y)
            order.push_back(y);
    }
    std::vector<GifPixelType> row(static_cast<std::size_t>(w));
    for (int y : order) {
        for (int x = 0; x < w; ++x)
            row[static_cast<std::size_t>(x)] = static_cast<GifPixelType>((x + 3 * y) % 16);
        EGifPutLine(gif, row.data(), w);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
}

TEST_F(ShippedPlugins, GifDecodesLikeThePictureLibrary)
{
    // A frame reaching past the screen widens the picture in both.
    struct Case
    {
        bool transparent, interlaced;
        int overhang;
    };
    for (auto [transparent, interlaced, overhang] : {Case{false, false, 0},
                                                     {true, false, 0},
                                                     {false, true, 0},
                                                     {true, true, 0},
                                                     {false, false, 3},
                                                     {true, false, 4}}) {
        const std::string name =
            std::to_string(transparent) + std::to_string(interlaced) + std::to_string(overhang);
        SCOPED_TRACE(name);
        std::string file = path("g" + name + ".gif");
        write_gif(file, 19, 11, transparent, interlaced, overhang);
        TPixelImage plugin_pixels = decode_with_plugins(file);
        expect_same_picture(plugin_pixels, decode_with_imgctl(file, true));
        EXPECT_EQ(plugin_pixels.has_alpha, transparent || overhang > 0);
    }
}

TEST_F(ShippedPlugins, WebpDecodesTheLosslessPixels)
{
    const int width = 21, height = 13;
    for (bool alpha : {false, true}) {
        SCOPED_TRACE(alpha);
        std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 4; ++c)
                    bgra[static_cast<std::size_t>((y * width + x) * 4 + c)] =
                        c == 3 ? (alpha ? static_cast<std::uint8_t>(40 + x * 10) : 255)
                               : sample(x, y, c);
        std::uint8_t* encoded = nullptr;
        std::size_t size = WebPEncodeLosslessBGRA(bgra.data(), width, height, width * 4, &encoded);
        ASSERT_GT(size, 0u);
        std::string file = path("w.webp");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(encoded), static_cast<std::streamsize>(size));
        WebPFree(encoded);
        TPixelImage decoded = decode_with_plugins(file);
        expect_same_picture(decoded, TPixelImage{width, height, bgra, alpha});
        EXPECT_EQ(decoded.has_alpha, alpha);
    }
}

// An animation of two frames: the preview shows the first, as it shows the
// first frame of an animated GIF. A translucent first frame keeps its alpha.
TEST_F(ShippedPlugins, AnimatedWebpShowsItsFirstFrame)
{
    const int width = 19, height = 11;
    for (std::uint8_t first_alpha : {std::uint8_t{255}, std::uint8_t{128}}) {
        SCOPED_TRACE(static_cast<int>(first_alpha));
        WebPAnimEncoderOptions options;
        ASSERT_TRUE(WebPAnimEncoderOptionsInit(&options));
        WebPAnimEncoder* encoder = WebPAnimEncoderNew(width, height, &options);
        ASSERT_NE(encoder, nullptr);
        WebPConfig config;
        ASSERT_TRUE(WebPConfigInit(&config));
        config.lossless = 1;
        std::vector<std::uint8_t> first;
        for (int frame = 0; frame < 2; ++frame) {
            std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
            for (int i = 0; i < width * height; ++i)
                for (int c = 0; c < 4; ++c)
                    bgra[static_cast<std::size_t>(i * 4 + c)] =
                        c == 3 ? (frame == 0 ? first_alpha : 255)
                               : sample(i % width + frame * 50, i / width, c);
            if (frame == 0)
                first = bgra;
            WebPPicture picture;
            ASSERT_TRUE(WebPPictureInit(&picture));
            picture.use_argb = 1;
            picture.width = width;
            picture.height = height;
            ASSERT_TRUE(WebPPictureImportBGRA(&picture, bgra.data(), width * 4));
            ASSERT_TRUE(WebPAnimEncoderAdd(encoder, &picture, frame * 100, &config));
            WebPPictureFree(&picture);
        }
        ASSERT_TRUE(WebPAnimEncoderAdd(encoder, nullptr, 200, nullptr));
        WebPData data;
        WebPDataInit(&data);
        ASSERT_TRUE(WebPAnimEncoderAssemble(encoder, &data));
        WebPAnimEncoderDelete(encoder);
        std::string file = path("a.webp");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.bytes),
                   static_cast<std::streamsize>(data.size));
        WebPDataClear(&data);
        TPixelImage decoded = decode_with_plugins(file);
        expect_same_picture(decoded, TPixelImage{width, height, first, first_alpha != 255});
        EXPECT_EQ(decoded.has_alpha, first_alpha != 255);
    }
}

// Preview and conversion wrap one decoder: a 16-bit TIFF (rounded to 8 bits
// in both), a grey one, and a WebP whose EXIF chunk says turn right show
// the same pixels, the same way up.
TEST_F(ShippedPlugins, TiffAndWebpShowWhatTheConversionLoads)
{
    const int width = 23, height = 9;
    for (const std::uint16_t samples : {std::uint16_t{1}, std::uint16_t{4}}) {
        const std::string file = path("deep" + std::to_string(samples) + ".tif");
        TIFF* tiff = TIFFOpen(file.c_str(), "w");
        ASSERT_NE(tiff, nullptr);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP);
        if (samples == 4) {
            const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        std::vector<std::uint16_t> row(static_cast<std::size_t>(width) * samples);
        for (int y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < row.size(); ++i)
                row[i] = static_cast<std::uint16_t>(i * 2999 + y * 7001 + 128);
            ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0), 1);
        }
        TIFFClose(tiff);
        SCOPED_TRACE(file);
        expect_same_picture(decode_with_plugins(file), decode_with_imgctl(file, false));
    }

    std::vector<std::uint8_t> bgra;
    for (int i = 0; i < width * height; ++i)
        bgra.insert(bgra.end(), {sample(i % width, i / width, 0), sample(i % width, i / width, 1),
                                 sample(i % width, i / width, 2), 255});
    std::uint8_t* encoded = nullptr;
    const std::size_t size =
        WebPEncodeLosslessBGRA(bgra.data(), width, height, width * 4, &encoded);
    ASSERT_GT(size, 0u);
    WebPMux* mux = WebPMuxNew();
    const WebPData image{encoded, size};
    WebPMuxSetImage(mux, &image, 1);
    // IFD0 holding Orientation 6 only.
    const std::uint8_t exif[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3,
                                 0,   1,   0,  0, 0, 6, 0, 0, 0, 0, 0,    0, 0};
    const WebPData exif_chunk{exif, sizeof exif};
    WebPMuxSetChunk(mux, "EXIF", &exif_chunk, 1);
    WebPData assembled;
    WebPDataInit(&assembled);
    ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    WebPFree(encoded);
    const std::string file = path("turned.webp");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(assembled.bytes),
               static_cast<std::streamsize>(assembled.size));
    WebPDataClear(&assembled);
    const TPixelImage preview = decode_with_plugins(file);
    EXPECT_EQ(preview.width, height);
    expect_same_picture(preview, decode_with_imgctl(file, false));
}

struct TiffCase
{
    const char* name;
    std::uint16_t samples; // 1 gray, 3 RGB, 4 RGBA
    std::uint16_t extra;   // EXTRASAMPLE_* for the fourth sample
    int tolerance;         // colour error allowed
};

class TiffPlugin : public ShippedPlugins, public ::testing::WithParamInterface<TiffCase>
{
};

TEST_P(TiffPlugin, DecodesThePixelsWritten)
{
    const TiffCase& c = GetParam();
    const int width = 17, height = 6;
    std::string file = path("t.tif");
    TPixelImage expected{width, height, {}, c.samples == 4};
    {
        TIFF* tiff = TIFFOpen(file.c_str(), "w");
        ASSERT_NE(tiff, nullptr);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, c.samples);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     c.samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        if (c.samples == 4) {
            std::uint16_t extra = c.extra;
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * c.samples);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::uint8_t* s = &row[static_cast<std::size_t>(x) * c.samples];
                for (int k = 0; k < c.samples; ++k)
                    s[k] = k == 3 ? static_cast<std::uint8_t>(60 + x * 10) : sample(x, y, k);
                std::uint8_t gray = s[0];
                expected.bgra.insert(expected.bgra.end(),
                                     {c.samples == 1 ? gray : s[2], c.samples == 1 ? gray : s[1],
                                      gray, c.samples == 4 ? s[3] : std::uint8_t{255}});
                // Associated alpha is stored premultiplied; the straight
                // colour is still what is expected back.
                if (c.extra == EXTRASAMPLE_ASSOCALPHA)
                    for (int k = 0; k < 3; ++k)
                        s[k] = static_cast<std::uint8_t>((s[k] * s[3] + 127) / 255);
            }
            ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0), 1);
        }
        TIFFClose(tiff);
    }
    TPixelImage decoded = decode_with_plugins(file);
    ASSERT_EQ(decoded.width, width);
    ASSERT_EQ(decoded.height, height);
    for (std::size_t i = 0; i < decoded.bgra.size(); ++i)
        ASSERT_NEAR(decoded.bgra[i], expected.bgra[i], i % 4 == 3 ? 0 : c.tolerance)
            << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Layouts, TiffPlugin,
                         ::testing::Values(TiffCase{"gray", 1, 0, 0}, TiffCase{"rgb", 3, 0, 0},
                                           TiffCase{"rgba_straight", 4, EXTRASAMPLE_UNASSALPHA, 3},
                                           TiffCase{"rgba_premultiplied", 4, EXTRASAMPLE_ASSOCALPHA,
                                                    3}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Orientation: TIFF's tag and PNG's eXIf chunk --------------------------------

// Where the pixel at (x, y) of the stored picture belongs in the upright
// W x H picture, straight from the meaning of the orientation values: the
// side of the upright picture that the stored first row and first column
// show (5 to 8 store the picture sideways, H x W).
std::pair<int, int> upright_position(int orientation, int x, int y, int w, int h)
{
    switch (orientation) {
    case 2: // row 0 top, column 0 right
        return {w - 1 - x, y};
    case 3: // bottom, right
        return {w - 1 - x, h - 1 - y};
    case 4: // bottom, left
        return {x, h - 1 - y};
    case 5: // row 0 left side, column 0 top
        return {y, x};
    case 6: // right side, top
        return {w - 1 - y, x};
    case 7: // right side, bottom
        return {w - 1 - y, h - 1 - x};
    case 8: // left side, bottom
        return {y, h - 1 - x};
    default:
        return {x, y};
    }
}

// Stored RGB samples of an upright picture with distinct pixels.
std::vector<std::uint8_t> stored_rgb(int orientation, int w, int h, int& stored_w, int& stored_h)
{
    const bool sideways = orientation >= 5;
    stored_w = sideways ? h : w;
    stored_h = sideways ? w : h;
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < stored_h; ++y)
        for (int x = 0; x < stored_w; ++x) {
            const auto [u, v] = upright_position(orientation, x, y, w, h);
            for (int c = 0; c < 3; ++c)
                rgb.push_back(sample(u, v, c));
        }
    return rgb;
}

// An EXIF block (big-endian TIFF structure) holding only the orientation.
std::vector<std::uint8_t> exif_with_orientation(int orientation)
{
    return {'M',  'M',  0, 42, 0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0, 3,  0, 0, 0, 1, 0, static_cast<std::uint8_t>(orientation),
            0,    0,    0, 0,  0, 0};
}

void write_oriented_tiff(const std::string& file, int orientation, int w, int h)
{
    int sw = 0, sh = 0;
    const std::vector<std::uint8_t> rgb = stored_rgb(orientation, w, h, sw, sh);
    TIFF* tiff = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, sw);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, sh);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, orientation);
    for (int y = 0; y < sh; ++y)
        TIFFWriteScanline(tiff,
                          const_cast<std::uint8_t*>(&rgb[static_cast<std::size_t>(y * sw * 3)]),
                          static_cast<std::uint32_t>(y), 0);
    TIFFClose(tiff);
}

// A PNG whose eXIf chunk follows IHDR, or comes last when `after_pixels`.
void write_oriented_png(const std::string& file, int orientation, int w, int h, bool after_pixels)
{
    int sw = 0, sh = 0;
    const std::vector<std::uint8_t> rgb = stored_rgb(orientation, w, h, sw, sh);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(sw);
    image.height = static_cast<png_uint_32>(sh);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> bytes(1 << 16);
    png_alloc_size_t size = bytes.size();
    ASSERT_NE(png_image_write_to_memory(&image, bytes.data(), &size, 0, rgb.data(), 0, nullptr), 0);
    bytes.resize(size);
    const std::vector<std::uint8_t> exif = exif_with_orientation(orientation);
    std::vector<std::uint8_t> chunk = {0,   0,   0,   static_cast<std::uint8_t>(exif.size()),
                                       'e', 'X', 'I', 'f'};
    chunk.insert(chunk.end(), exif.begin(), exif.end());
    const uLong crc = crc32(0, &chunk[4], static_cast<uInt>(chunk.size() - 4));
    for (int shift : {24, 16, 8, 0})
        chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
    const std::size_t at = after_pixels ? bytes.size() - 12 : 33; // before IEND, after IHDR
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

struct OrientedCase
{
    const char* format; // "tif", "png" (eXIf after IHDR), "png_tail" (eXIf last)
    int orientation;
};

class OrientedPlugin : public ShippedPlugins, public ::testing::WithParamInterface<OrientedCase>
{
};

// The preview shows the picture upright, header and pixels; a PNG exactly
// as the conversion turns it.
TEST_P(OrientedPlugin, ShowsThePictureUpright)
{
    const OrientedCase& c = GetParam();
    const int w = 7, h = 4;
    const std::string file = path(std::string("o.") + (c.format[0] == 't' ? "tif" : "png"));
    if (c.format[0] == 't')
        write_oriented_tiff(file, c.orientation, w, h);
    else
        write_oriented_png(file, c.orientation, w, h, std::string(c.format) == "png_tail");
    TSPIBitmap bitmap;
    bitmap.LoadFromFile(file);
    EXPECT_EQ(bitmap.Width(), w);
    EXPECT_EQ(bitmap.Height(), h);
    TPixelImage expected{w, h, {}, false};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            expected.bgra.insert(expected.bgra.end(),
                                 {sample(x, y, 2), sample(x, y, 1), sample(x, y, 0), 255});
    expect_same_picture(decode_with_plugins(file), expected);
    if (c.format[0] == 'p')
        expect_same_picture(decode_with_imgctl(file, false), expected);
}

std::vector<OrientedCase> oriented_cases()
{
    std::vector<OrientedCase> cases;
    for (const char* format : {"tif", "png", "png_tail"})
        for (int orientation = 1; orientation <= 8; ++orientation)
            cases.push_back({format, orientation});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Orientations, OrientedPlugin, ::testing::ValuesIn(oriented_cases()),
                         [](const auto& info) {
                             return std::string(info.param.format) +
                                    std::to_string(info.param.orientation);
                         });

TEST_F(ShippedPlugins, MemorySourceDecodesLikeTheFile)
{
    std::string file = path("m.png");
    write_png(file, 12, 5, PNG_FORMAT_RGB);
    TMemoryStream stream;
    stream.LoadFromFile(file);
    TSPIGraphic graphic;
    graphic.LoadFromStream(stream); // no name: every plug-in is asked
    expect_same_picture(graphic.ToPixels(), decode_with_plugins(file));
}

TEST_F(ShippedPlugins, TruncatedFilesAreRejected)
{
    write_png(path("full.png"), 40, 40, PNG_FORMAT_RGB);
    write_gif(path("full.gif"), 40, 40, false);
    for (const char* name : {"full.png", "full.gif"}) {
        SCOPED_TRACE(name);
        std::ifstream in(path(name), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(bytes.size() / 3);
        std::string cut = path(std::string("cut_") + name);
        std::ofstream(cut, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(cut), EInvalidGraphic);
    }
}

TEST_F(ShippedPlugins, AnnounceTheirFormatsToThePictureRegistry)
{
    std::vector<std::string> patterns;
    for (int i = 0; i < m_spis->Count(); ++i) {
        EXPECT_EQ(m_spis->Items(i)->APIVersion(), "00IN");
        for (const std::string& p : m_spis->Items(i)->Filters())
            patterns.push_back(p);
    }
    std::sort(patterns.begin(), patterns.end());
    EXPECT_EQ(patterns, (std::vector<std::string>{"*.gif", "*.heic;*.heif;*.avif", "*.jxl", "*.png",
                                                  "*.tif;*.tiff", "*.webp"}));
    for (const char* extension :
         {"png", "gif", "webp", "tif", "tiff", "heic", "heif", "avif", "jxl"})
        EXPECT_EQ(TPicture::FindGraphicClass(extension), GraphicClassOf<TSPIBitmap>()) << extension;
}

TEST_F(ShippedPlugins, ReportProgressUpToTheEnd)
{
    std::string file = path("p.png");
    write_png(file, 10, 40, PNG_FORMAT_RGB);
    TPicture picture;
    std::vector<int> running;
    picture.OnProgress = [&](TGraphic*, TProgressStage stage, std::uint8_t percent, bool,
                             const TRect&, const std::string& msg) {
        if (stage == TProgressStage::psRunning && msg.empty())
            running.push_back(percent);
    };
    picture.LoadFromFile(file);
    ASSERT_FALSE(running.empty());
    EXPECT_EQ(running.front(), 2);
    EXPECT_EQ(running.back(), 99);
    EXPECT_TRUE(std::is_sorted(running.begin(), running.end()));
    EXPECT_EQ(picture.Width(), 10);
}

// The blocks a shipped plug-in hands over keep their exact size: the host
// checks the header against it in every build, not only where a sanitizer
// makes the allocator's size exact. Each plug-in is called directly, so the
// blocks are the ones it made.
TEST_F(ShippedPlugins, HandOverBlocksOfTheirExactSize)
{
    struct Case
    {
        const char* plugin;
        const char* file;
        std::function<void(const std::string&)> write;
        int bit_count;
    };
    const int width = 23, height = 7; // rows that need padding at every depth
    const Case cases[] = {
        {"png", "rgb.png", [&](auto& f) { write_png(f, width, height, PNG_FORMAT_RGB); }, 24},
        {"png", "rgba.png", [&](auto& f) { write_png(f, width, height, PNG_FORMAT_RGBA); }, 32},
        {"gif", "g.gif", [&](auto& f) { write_gif(f, width, height, false); }, 8}, // a palette
        {"tiff", "t.tif", [&](auto& f) { write_oriented_tiff(f, 1, width, height); }, 24},
        {"webp", "w.webp",
         [&](auto& f) {
             std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4, 200);
             std::uint8_t* encoded = nullptr;
             std::size_t size =
                 WebPEncodeLosslessBGRA(bgra.data(), width, height, width * 4, &encoded);
             std::ofstream(f, std::ios::binary)
                 .write(reinterpret_cast<const char*>(encoded), static_cast<std::streamsize>(size));
             WebPFree(encoded);
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = path(c.file);
        c.write(file);
        platform::LibraryHandle library =
            platform::load_library(std::string(ZUMO_PLUGIN_DIR) + "/" + c.plugin + ".spi");
        ASSERT_NE(library, nullptr);
        auto get_picture =
            reinterpret_cast<SusieGetPicture>(platform::library_symbol(library, "GetPicture"));
        ASSERT_NE(get_picture, nullptr);
        susie_handle info = nullptr, bits = nullptr;
        ASSERT_EQ(get_picture(file.c_str(), 0, SUSIE_SOURCE_FILE, &info, &bits, nullptr, 0),
                  SUSIE_OK);
        // A block without the size prefix is locked at its own address.
        EXPECT_NE(platform::local_lock(info), info) << "BITMAPINFO block of unknown size";
        EXPECT_NE(platform::local_lock(bits), bits) << "bits block of unknown size";
        const auto* header = static_cast<const std::uint8_t*>(platform::local_lock(info));
        std::int32_t w = 0, h = 0;
        std::uint16_t bit_count = 0;
        std::uint32_t colours = 0;
        std::memcpy(&w, header + 4, 4);
        std::memcpy(&h, header + 8, 4);
        std::memcpy(&bit_count, header + 14, 2);
        std::memcpy(&colours, header + 32, 4);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        if (c.bit_count != 0) {
            EXPECT_EQ(bit_count, c.bit_count);
        }
        const std::size_t stride = (static_cast<std::size_t>(width) * bit_count + 31) / 32 * 4;
        EXPECT_EQ(platform::local_size(info), 40 + 4 * std::size_t{colours});
        EXPECT_EQ(platform::local_size(bits), stride * height);
        platform::local_free(info);
        platform::local_free(bits);
        platform::free_library(library);
    }
}

} // namespace
} // namespace zumo
