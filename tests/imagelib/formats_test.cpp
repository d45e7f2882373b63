// Loading and writing every format through the public functions, with the
// pixels compared.
#include "imagelib/imgctl.h"

#include "support.h"
#include "tests/support/raw_png.h"

#include <set>

#include <gif_lib.h>
#include <jpeglib.h>
#include <opencv2/imgproc.hpp>
#include <png.h>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;

cv::Mat to_bgra(const cv::Mat& colour)
{
    if (colour.channels() == 4)
        return colour.clone();
    cv::Mat out;
    cv::cvtColor(colour, out, cv::COLOR_BGR2BGRA);
    return out;
}

cv::Mat with_alpha_ramp(const cv::Mat& bgr)
{
    cv::Mat out = to_bgra(bgr);
    for (int y = 0; y < out.rows; ++y)
        for (int x = 0; x < out.cols; ++x)
            out.at<cv::Vec4b>(y, x)[3] =
                static_cast<std::uint8_t>((x * 255) / std::max(1, out.cols - 1));
    return out;
}

// --- Lossless round trips ---------------------------------------------------

struct LosslessCase
{
    const char* name;
    void (*save)(const char*, HDIB);
    const char* extension;
};

void save_bmp(const char* path, HDIB dib)
{
    DIBtoBMP(path, dib);
}
void save_png(const char* path, HDIB dib)
{
    DIBtoPNG(path, dib, 0);
}
void save_png_interlaced(const char* path, HDIB dib)
{
    DIBtoPNG(path, dib, -1);
}

class Lossless : public testing::TestWithParam<LosslessCase>
{
};

TEST_P(Lossless, PhotoComesBackUnchanged)
{
    TempDir dir;
    const cv::Mat original = imgtest::photo(97, 61, 3);
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    ASSERT_NE(in.get(), 0u);
    const std::string out_path = dir.path(std::string("out") + GetParam().extension);
    GetParam().save(out_path.c_str(), in);
    Handle out(ToDIB(out_path.c_str()));
    ASSERT_NE(out.get(), 0u);
    EXPECT_EQ(cv::norm(imgtest::pixels_of(out), to_bgra(original), cv::NORM_INF), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Lossless,
    testing::Values(LosslessCase{"Bmp", save_bmp, ".bmp"}, LosslessCase{"Png", save_png, ".png"},
                    LosslessCase{"PngInterlaced", save_png_interlaced, ".png"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngRoundTrip, AlphaIsKept)
{
    TempDir dir;
    const cv::Mat original = with_alpha_ramp(imgtest::photo(40, 30));
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    EXPECT_TRUE(GetDIBInfo(in).has_alpha);
    DIBtoPNG(dir.path("out.png").c_str(), in, 0);
    Handle out(ToDIB(dir.path("out.png").c_str()));
    EXPECT_EQ(cv::norm(imgtest::pixels_of(out), original, cv::NORM_INF), 0);
}

TEST(FormatsWithoutAlpha, TransparencyIsPutOnWhite)
{
    TempDir dir;
    cv::Mat original(4, 4, CV_8UC4, cv::Scalar(0, 0, 0, 0)); // fully transparent black
    original.at<cv::Vec4b>(0, 0) = {0, 0, 255, 255};         // one opaque red pixel
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    DIBtoBMP(dir.path("out.bmp").c_str(), in);
    DIBtoJPG(dir.path("out.jpg").c_str(), in, 100, 0);
    for (const char* name : {"out.bmp", "out.jpg"}) {
        Handle out(ToDIB(dir.path(name).c_str()));
        const cv::Mat pixels = imgtest::pixels_of(out);
        const cv::Vec4b corner = pixels.at<cv::Vec4b>(3, 3);
        EXPECT_GE(corner[0], 250) << name;
        EXPECT_GE(corner[1], 250) << name;
        EXPECT_GE(corner[2], 250) << name;
        EXPECT_FALSE(GetDIBInfo(out).has_alpha) << name;
    }
}

TEST(JpegRoundTrip, CloseToTheOriginal)
{
    TempDir dir;
    const cv::Mat original = imgtest::photo(320, 240, 5);
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    DIBtoJPG(dir.path("out.jpg").c_str(), in, 92, 0);
    Handle out(ToDIB(dir.path("out.jpg").c_str()));
    EXPECT_LT(imgtest::mean_abs_diff(imgtest::pixels_of(out), to_bgra(original)), 3.0);
}

TEST(BmpRoundTrip, PaletteBmpStaysAPalettePicture)
{
    TempDir dir;
    imgtest::Bytes palette;
    for (int i = 0; i < 256; ++i)
        palette.u32(static_cast<std::uint32_t>(i * 0x010203) & 0xFFFFFF);
    std::vector<std::uint8_t> bits;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 8; ++x)
            bits.push_back(static_cast<std::uint8_t>(y * 80 + x * 7));
    imgtest::write_bytes(dir.path("in.bmp"), imgtest::make_bmp(8, 3, 8, 0, palette.data, bits));
    Handle in(ToDIB(dir.path("in.bmp").c_str()));
    EXPECT_EQ(GetDIBInfo(in).bit_count, 8);
    DIBtoBMP(dir.path("out.bmp").c_str(), in);
    const std::vector<std::uint8_t> out = imgtest::read_bytes(dir.path("out.bmp"));
    ASSERT_GT(out.size(), 30u);
    EXPECT_EQ(out[28], 8); // bits per pixel in the info header
    Handle back(ToDIB(dir.path("out.bmp").c_str()));
    EXPECT_EQ(cv::norm(imgtest::pixels_of(back), imgtest::pixels_of(in), cv::NORM_INF), 0);
}

// --- Palette pictures --------------------------------------------------------

TEST(GifRoundTrip, UpTo256ColoursAreExact)
{
    TempDir dir;
    cv::Mat original(37, 53, CV_8UC3);
    for (int y = 0; y < original.rows; ++y)
        for (int x = 0; x < original.cols; ++x)
            original.at<cv::Vec3b>(y, x) = {static_cast<std::uint8_t>(x % 16 * 16),
                                            static_cast<std::uint8_t>(y % 16 * 16), 77};
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    for (const std::int32_t interlaced : {0, -1}) {
        DIBtoGIF(dir.path("out.gif").c_str(), in, interlaced);
        Handle out(ToDIB(dir.path("out.gif").c_str()));
        EXPECT_EQ(GetDIBInfo(out).bit_count, 8);
        EXPECT_EQ(cv::norm(imgtest::pixels_of(out), to_bgra(original), cv::NORM_INF), 0)
            << interlaced;
    }
}

int distinct_colours(const cv::Mat& bgra)
{
    std::set<std::uint32_t> colours;
    for (int y = 0; y < bgra.rows; ++y)
        for (int x = 0; x < bgra.cols; ++x)
            colours.insert(bgra.at<std::uint32_t>(y, x));
    return static_cast<int>(colours.size());
}

TEST(Reduction, PhotoFitsInAPaletteAndStaysClose)
{
    TempDir dir;
    const cv::Mat original = imgtest::photo(200, 150, 9);
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    DIBto8Bit(in, 0, 0);
    EXPECT_EQ(GetDIBInfo(in).bit_count, 8);
    const cv::Mat reduced = imgtest::pixels_of(in);
    EXPECT_LE(distinct_colours(reduced), 256);
    EXPECT_GT(distinct_colours(reduced), 64);
    EXPECT_LT(imgtest::mean_abs_diff(reduced, to_bgra(original)), 8.0);
    // Every encoder takes the reduced picture as it is.
    DIBtoGIF(dir.path("out.gif").c_str(), in, 0);
    DIBtoPNG(dir.path("out.png").c_str(), in, 0);
    DIBtoBMP(dir.path("out.bmp").c_str(), in);
    for (const char* name : {"out.gif", "out.png", "out.bmp"}) {
        Handle out(ToDIB(dir.path(name).c_str()));
        EXPECT_EQ(cv::norm(imgtest::pixels_of(out), reduced, cv::NORM_INF), 0) << name;
    }
}

TEST(Reduction, GifOfAFullColourPictureIsReducedOnTheWay)
{
    TempDir dir;
    const cv::Mat original = imgtest::photo(120, 90, 4);
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    DIBtoGIF(dir.path("out.gif").c_str(), in, 0);
    EXPECT_EQ(GetDIBInfo(in).bit_count, 32); // the handle is left as it was
    Handle out(ToDIB(dir.path("out.gif").c_str()));
    EXPECT_LT(imgtest::mean_abs_diff(imgtest::pixels_of(out), to_bgra(original)), 8.0);
}

TEST(Reduction, TransparentAreaStaysTransparentInGif)
{
    TempDir dir;
    cv::Mat original = with_alpha_ramp(imgtest::photo(64, 16));
    for (int y = 0; y < original.rows; ++y)
        for (int x = 0; x < original.cols; ++x)
            original.at<cv::Vec4b>(y, x)[3] = x < 32 ? 0 : 255;
    imgtest::save_png(dir.path("in.png"), original);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    DIBto8Bit(in, 0, 0);
    DIBtoGIF(dir.path("out.gif").c_str(), in, 0);
    Handle out(ToDIB(dir.path("out.gif").c_str()));
    const cv::Mat pixels = imgtest::pixels_of(out);
    EXPECT_EQ(pixels.at<cv::Vec4b>(5, 3)[3], 0);
    EXPECT_EQ(pixels.at<cv::Vec4b>(5, 60)[3], 255);
}

// --- PNG inputs of every colour type and depth -------------------------------

using testsupport::RawPng;

void write_raw_png(const std::string& path, const RawPng& image)
{
    imgtest::write_bytes(path, testsupport::raw_png_bytes(image));
}

struct PngInputCase
{
    const char* name;
    RawPng png;
    std::vector<std::uint32_t> expected; // 0xAARRGGBB
    bool has_alpha;
};

std::vector<PngInputCase> png_input_cases()
{
    return {
        {"Gray1",
         {3, 1, 1, PNG_COLOR_TYPE_GRAY, {0b10100000}, {}, {}},
         {0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF},
         false},
        {"Gray8",
         {2, 1, 8, PNG_COLOR_TYPE_GRAY, {0x10, 0xF0}, {}, {}},
         {0xFF101010, 0xFFF0F0F0},
         false},
        {"Gray16",
         {2, 1, 16, PNG_COLOR_TYPE_GRAY, {0x12, 0x34, 0xFF, 0xFF}, {}, {}},
         {0xFF121212, 0xFFFFFFFF},
         false},
        {"GrayAlpha8",
         {1, 1, 8, PNG_COLOR_TYPE_GRAY_ALPHA, {0x40, 0x80}, {}, {}},
         {0x80404040},
         true},
        {"Rgb16",
         {1, 1, 16, PNG_COLOR_TYPE_RGB, {0x11, 0, 0x22, 0, 0x33, 0}, {}, {}},
         {0xFF112233},
         false},
        {"Rgba8", {1, 1, 8, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 4}, {}, {}}, {0x04010203}, true},
        {"Rgba16",
         {1, 1, 16, PNG_COLOR_TYPE_RGB_ALPHA, {1, 0, 2, 0, 3, 0, 0xFF, 0xFF}, {}, {}},
         {0xFF010203},
         true},
        {"Palette4WithTrns",
         {2, 1, 4, PNG_COLOR_TYPE_PALETTE, {0x01}, {{10, 20, 30}, {40, 50, 60}}, {0}},
         {0x000A141E, 0xFF28323C},
         true},
        {"Palette8",
         {2, 1, 8, PNG_COLOR_TYPE_PALETTE, {1, 0}, {{1, 2, 3}, {4, 5, 6}}, {}},
         {0xFF040506, 0xFF010203},
         false},
    };
}

class PngInput : public testing::TestWithParam<PngInputCase>
{
};

TEST_P(PngInput, DecodesToEightBitColour)
{
    TempDir dir;
    write_raw_png(dir.path("in.png"), GetParam().png);
    Handle in(ToDIB(dir.path("in.png").c_str()));
    ASSERT_NE(in.get(), 0u);
    EXPECT_EQ(GetDIBInfo(in).has_alpha, GetParam().has_alpha);
    std::vector<std::uint32_t> argb;
    const cv::Mat pixels = imgtest::pixels_of(in);
    for (int x = 0; x < pixels.cols; ++x)
        argb.push_back(pixels.at<std::uint32_t>(0, x));
    // A fully transparent pixel's colour is of no account.
    std::vector<std::uint32_t> expected = GetParam().expected;
    for (std::size_t i = 0; i < argb.size() && i < expected.size(); ++i) {
        if ((expected[i] >> 24) == 0)
            argb[i] = expected[i] = argb[i] & 0xFF000000u;
    }
    EXPECT_EQ(argb, expected);
}

INSTANTIATE_TEST_SUITE_P(ColourTypes, PngInput, testing::ValuesIn(png_input_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- GIF inputs ----------------------------------------------------------------

struct GifFrame
{
    int screen_width, screen_height;
    int left, top, width, height;
    bool interlaced;
    int transparent;
    std::vector<std::uint8_t> indices; // rows top-down
};

void write_gif(const std::string& path, const GifFrame& f, const std::vector<GifColorType>& colours)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    ASSERT_NE(gif, nullptr);
    ColorMapObject* map = GifMakeMapObject(static_cast<int>(colours.size()), colours.data());
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, f.screen_width, f.screen_height, 8, 0, map);
    if (f.transparent >= 0) {
        const GifByteType block[4] = {1, 0, 0, static_cast<GifByteType>(f.transparent)};
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block);
    }
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    std::vector<int> order;
    if (f.interlaced) {
        for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int y = start; y < f.height; y += step)
                order.push_back(y);
    } else {
        for (int y = 0; y < f.height; ++y)
            order.push_back(y);
    }
    for (const int y : order) {
        std::vector<GifPixelType> row(f.indices.begin() + y * f.width,
                                      f.indices.begin() + (y + 1) * f.width);
        EGifPutLine(gif, row.data(), f.width);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
}

const std::vector<GifColorType> k_gif_colours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};

TEST(GifInput, InterlacedRowsComeBackInPlace)
{
    TempDir dir;
    GifFrame frame{1, 10, 0, 0, 1, 10, true, -1, {0, 1, 2, 0, 1, 2, 0, 1, 2, 3}};
    write_gif(dir.path("in.gif"), frame, k_gif_colours);
    Handle in(GIFtoDIB(dir.path("in.gif").c_str()));
    ASSERT_NE(in.get(), 0u);
    const cv::Mat pixels = imgtest::pixels_of(in);
    const std::uint32_t colours[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF090909};
    for (int y = 0; y < 10; ++y)
        EXPECT_EQ(pixels.at<std::uint32_t>(y, 0),
                  colours[frame.indices[static_cast<std::size_t>(y)]])
            << y;
}

TEST(GifInput, TransparentIndexBecomesAlpha)
{
    TempDir dir;
    write_gif(dir.path("in.gif"), {2, 1, 0, 0, 2, 1, false, 1, {0, 1}}, k_gif_colours);
    Handle in(ToDIB(dir.path("in.gif").c_str()));
    EXPECT_TRUE(GetDIBInfo(in).has_alpha);
    const cv::Mat pixels = imgtest::pixels_of(in);
    EXPECT_EQ(pixels.at<std::uint32_t>(0, 0), 0xFFFF0000u);
    EXPECT_EQ(pixels.at<cv::Vec4b>(0, 1)[3], 0);
}

TEST(GifInput, FrameSmallerThanScreenSitsOnTransparentCanvas)
{
    TempDir dir;
    write_gif(dir.path("in.gif"), {4, 3, 1, 1, 2, 1, false, -1, {2, 2}}, k_gif_colours);
    Handle in(ToDIB(dir.path("in.gif").c_str()));
    ASSERT_EQ(GetDIBInfo(in).width, 4);
    ASSERT_EQ(GetDIBInfo(in).height, 3);
    const cv::Mat pixels = imgtest::pixels_of(in);
    EXPECT_EQ(pixels.at<std::uint32_t>(1, 1), 0xFF0000FFu);
    EXPECT_EQ(pixels.at<std::uint32_t>(1, 2), 0xFF0000FFu);
    EXPECT_EQ(pixels.at<cv::Vec4b>(0, 0)[3], 0);
    EXPECT_EQ(pixels.at<cv::Vec4b>(2, 3)[3], 0);
}

TEST(GifInput, GifLoaderRefusesOtherFormats)
{
    TempDir dir;
    imgtest::save_png(dir.path("in.gif"), imgtest::photo(8, 8));
    EXPECT_EQ(GIFtoDIB(dir.path("in.gif").c_str()), 0u);
    Handle any(ToDIB(dir.path("in.gif").c_str())); // the general loader looks at the bytes
    EXPECT_NE(any.get(), 0u);
}

// --- JPEG colour spaces --------------------------------------------------------

void write_jpeg(const std::string& path, int components, J_COLOR_SPACE space,
                const std::vector<std::uint8_t>& pixels, int width, int height)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<std::uint8_t*>(pixels.data() + y * width * components);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

TEST(JpegInput, GreyscaleBecomesGreyColour)
{
    TempDir dir;
    write_jpeg(dir.path("grey.jpg"), 1, JCS_GRAYSCALE, std::vector<std::uint8_t>(64, 100), 8, 8);
    Handle in(ToDIB(dir.path("grey.jpg").c_str()));
    const cv::Vec4b p = imgtest::pixels_of(in).at<cv::Vec4b>(4, 4);
    EXPECT_NEAR(p[0], 100, 1);
    EXPECT_NEAR(p[1], 100, 1);
    EXPECT_NEAR(p[2], 100, 1);
}

TEST(JpegInput, AdobeCmykIsConverted)
{
    TempDir dir;
    // Adobe stores CMYK inverted: pure red is C=0 M=Y=100% K=0, stored as 255, 0, 0, 255.
    std::vector<std::uint8_t> cmyk;
    for (int i = 0; i < 64; ++i)
        cmyk.insert(cmyk.end(), {255, 0, 0, 255});
    write_jpeg(dir.path("cmyk.jpg"), 4, JCS_CMYK, cmyk, 8, 8);
    Handle in(ToDIB(dir.path("cmyk.jpg").c_str()));
    const cv::Vec4b p = imgtest::pixels_of(in).at<cv::Vec4b>(4, 4);
    EXPECT_LE(p[0], 3);
    EXPECT_LE(p[1], 3);
    EXPECT_GE(p[2], 252);
}

} // namespace
