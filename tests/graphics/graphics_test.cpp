// The picture framework: BMP bitmaps with palettes, the JPEG class, the
// format registry of TPicture, drawing and streams.
#include "graphics/bitmap.h"
#include "graphics/jpeg_image.h"
#include "graphics/picture.h"
#include "imagelib/atomic_file.h"
#include "imagelib/bmp_writer.h"
#include "imagelib/colour.h"
#include "imagelib/imgctl.h"
#include "imagelib/jpeg_codec.h"
#include "tests/support/cmyk_jpeg.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

namespace zumo {
namespace {

// A bottom-up BMP file. rows are top-down, already packed for bits, each
// padded here.
std::vector<std::uint8_t> bmp_file(int width, int height, int bits,
                                   const std::vector<std::uint32_t>& palette,
                                   const std::vector<std::vector<std::uint8_t>>& rows)
{
    const std::size_t stride = imgctl::bmp_stride(width, bits);
    std::vector<std::uint8_t> out = imgctl::bmp_file_start(width, height, bits, palette, 0);
    for (int y = height - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row = rows[static_cast<std::size_t>(y)];
        row.resize(stride, 0);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

std::unique_ptr<TBitmap> load_bitmap(const std::vector<std::uint8_t>& file)
{
    TMemoryStream stream;
    stream.WriteBuffer(file.data(), file.size());
    stream.SetPosition(0);
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->LoadFromStream(stream);
    return bitmap;
}

std::uint32_t rgb(const TPixelImage& image, int x, int y)
{
    const std::uint8_t* p = &image.bgra[(static_cast<std::size_t>(y) * image.width + x) * 4];
    return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// 3 x 2, 4 bits; the second palette entry repeats the first colour.
std::vector<std::uint8_t> four_bit_file()
{
    return bmp_file(3, 2, 4, {0x112233, 0x112233, 0xFF0000, 0x00FF00},
                    {{0x01, 0x20}, {0x32, 0x10}});
}

TEST(Bitmap, PalettisedPictureKeepsIndicesAndTakesANewPalette)
{
    auto bitmap = load_bitmap(four_bit_file());
    ASSERT_TRUE(bitmap->Palettised());
    EXPECT_EQ(bitmap->BitCount(), 4);
    EXPECT_EQ(bitmap->Width(), 3);
    EXPECT_EQ(bitmap->Height(), 2);
    TPixelImage before = bitmap->ToPixels();
    EXPECT_EQ(rgb(before, 0, 0), 0x112233u);
    EXPECT_EQ(rgb(before, 2, 0), 0xFF0000u);
    EXPECT_EQ(rgb(before, 0, 1), 0x00FF00u);
    EXPECT_EQ(before.bgra[3], 255);

    bitmap->SetPalette({0x000001, 0x000002, 0x000003, 0x000004});
    TPixelImage after = bitmap->ToPixels();
    // Pixel (1, 0) is index 1, whose old colour equals index 0's: it keeps
    // its own index and takes that entry of the new table.
    EXPECT_EQ(rgb(after, 2, 0), 0x000003u);
    EXPECT_EQ(rgb(after, 0, 1), 0x000004u);
    EXPECT_EQ(rgb(after, 1, 0), 0x000002u);
}

TEST(Bitmap, SavedFileLoadsBackWithTheSamePixels)
{
    for (const auto& file :
         {four_bit_file(), bmp_file(2, 2, 24, {}, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}})}) {
        auto original = load_bitmap(file);
        TMemoryStream stream;
        original->SaveToStream(stream);
        stream.SetPosition(0);
        TBitmap copy;
        copy.LoadFromStream(stream);
        EXPECT_EQ(copy.Palettised(), original->Palettised());
        EXPECT_EQ(copy.ToPixels().bgra, original->ToPixels().bgra);
    }
}

TEST(Bitmap, BadDataRaisesInvalidGraphicAndKeepsTheContent)
{
    auto bitmap = load_bitmap(four_bit_file());
    std::vector<std::uint8_t> truncated = four_bit_file();
    truncated.resize(30);
    TMemoryStream stream;
    stream.WriteBuffer(truncated.data(), truncated.size());
    stream.SetPosition(0);
    EXPECT_THROW(bitmap->LoadFromStream(stream), EInvalidGraphic);
    EXPECT_EQ(bitmap->Width(), 3);
}

TEST(Bitmap, ResizingKeepsTheOverlapAndFillsBlack)
{
    auto bitmap = load_bitmap(bmp_file(2, 1, 24, {}, {{10, 20, 30, 40, 50, 60}}));
    bitmap->SetWidth(3);
    bitmap->SetHeight(2);
    TPixelImage image = bitmap->ToPixels();
    EXPECT_EQ(rgb(image, 1, 0), 0x3C3228u);
    EXPECT_EQ(rgb(image, 2, 0), 0u);
    EXPECT_EQ(rgb(image, 0, 1), 0u);
}

TEST(Draw, StretchesToTheRectangleByNearestPixelAndClipsAtTheCanvas)
{
    auto bitmap = load_bitmap(bmp_file(2, 1, 24, {}, {{0, 0, 255, 255, 0, 0}}));
    TCanvas canvas(5, 2);
    bitmap->Draw(canvas, TRect{1, 0, 9, 2});
    auto at = [&](int x, int y) {
        const std::uint8_t* p = &canvas.bgra[(static_cast<std::size_t>(y) * canvas.width + x) * 4];
        return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 |
               p[0];
    };
    EXPECT_EQ(at(0, 0), 0u);
    for (int x = 1; x < 5; ++x)
        EXPECT_EQ(at(x, 1), 0xFF0000u) << x; // the left pixel spans 1..4
}

class Registry : public ::testing::Test
{
protected:
    void TearDown() override
    {
        TPicture::UnregisterGraphicClass(GraphicClassOf<Fake>());
        TPicture::UnregisterGraphicClass(GraphicClassOf<Other>());
    }
    struct Fake : TBitmap
    {
        static const char* ClassName() { return "Fake"; }
    };
    struct Other : TBitmap
    {
        static const char* ClassName() { return "Other"; }
    };
};

TEST_F(Registry, BuiltInFormatsAreRegisteredWithoutRegardToCase)
{
    EXPECT_EQ(TPicture::FindGraphicClass("bmp"), GraphicClassOf<TBitmap>());
    EXPECT_EQ(TPicture::FindGraphicClass("JPG"), GraphicClassOf<TJPEGImage>());
    EXPECT_EQ(TPicture::FindGraphicClass(".jpeg"), GraphicClassOf<TJPEGImage>());
    EXPECT_EQ(TPicture::FindGraphicClass("png2"), nullptr);
}

TEST_F(Registry, LatestRegistrationWinsAndUnregisteringRemovesEveryEntry)
{
    TPicture::RegisterFileFormat("ABC", "first", GraphicClassOf<Fake>());
    TPicture::RegisterFileFormat("abc", "second", GraphicClassOf<Other>());
    TPicture::RegisterFileFormat("abd", "second", GraphicClassOf<Other>());
    EXPECT_EQ(TPicture::FileFormats().back().extension, "abd");
    EXPECT_EQ(TPicture::FindGraphicClass("abc"), GraphicClassOf<Other>());
    TPicture::UnregisterGraphicClass(GraphicClassOf<Other>());
    EXPECT_EQ(TPicture::FindGraphicClass("abc"), GraphicClassOf<Fake>());
    EXPECT_EQ(TPicture::FindGraphicClass("abd"), nullptr);
}

class PictureFiles : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.ok()); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        std::string path = m_dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    testsupport::TempFolder m_dir;
};

TEST_F(PictureFiles, LoadsByExtensionAndNamesAnUnknownOne)
{
    TPicture picture;
    picture.LoadFromFile(write("a.BMP", four_bit_file()));
    ASSERT_NE(dynamic_cast<const TBitmap*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 3);
    try {
        picture.LoadFromFile(write("b.Xyz", four_bit_file()));
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "拡張子 .Xyz の画像形式は処理できません");
    }
    // A failed load leaves the previous picture.
    EXPECT_THROW(picture.LoadFromFile(write("c.bmp", {'B', 'M'})), EInvalidGraphic);
    EXPECT_THROW(picture.LoadFromFile(m_dir / "missing.bmp"), EStreamError);
    EXPECT_EQ(picture.Width(), 3);
}

TEST_F(PictureFiles, JpegRoundTripKeepsAFlatColour)
{
    std::vector<std::uint8_t> row;
    for (int x = 0; x < 16; ++x)
        row.insert(row.end(), {200, 100, 50});
    auto flat =
        load_bitmap(bmp_file(16, 16, 24, {}, std::vector<std::vector<std::uint8_t>>(16, row)));
    TJPEGImage jpeg;
    jpeg.Assign(*flat);
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    std::vector<std::uint8_t> bytes(stream.Memory(), stream.Memory() + stream.Size());

    TPicture picture;
    picture.LoadFromFile(write("f.jpg", bytes));
    TPixelImage image = picture.Graphic()->ToPixels();
    ASSERT_EQ(image.width, 16);
    ASSERT_EQ(image.height, 16);
    for (std::size_t i = 0; i < image.bgra.size(); i += 4) {
        EXPECT_NEAR(image.bgra[i], 200, 3);
        EXPECT_NEAR(image.bgra[i + 1], 100, 3);
        EXPECT_NEAR(image.bgra[i + 2], 50, 3);
        EXPECT_EQ(image.bgra[i + 3], 255);
    }
}

// The preview shows photos upright: a stored 16 x 8 picture, left half red
// and right half blue, under EXIF orientations.
TEST_F(PictureFiles, JpegIsShownUpright)
{
    cv::Mat stored(8, 16, CV_8UC3, cv::Scalar(255, 0, 0));
    stored(cv::Rect(0, 0, 8, 8)).setTo(cv::Scalar(0, 0, 255));
    const struct
    {
        std::uint8_t orientation;
        int width;
        bool top_left_red;
        bool bottom_right_red;
    } cases[] = {{1, 16, true, false}, {2, 16, false, true}, {3, 16, false, true},
                 {6, 8, true, false},  {8, 8, false, true},  {9, 16, true, false}};
    for (const auto& c : cases) {
        imgctl::OutputMetadata metadata;
        // TIFF header, IFD0 with one entry: Orientation, SHORT, count 1.
        metadata.exif = {'I', 'I',           42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0,
                         0,   c.orientation, 0,  0, 0, 0, 0, 0, 0};
        const std::string path = m_dir / "o.jpg";
        {
            imgctl::AtomicFile out(path);
            imgctl::encode_jpeg(out, stored, 95, &metadata);
            out.commit();
        }
        TPicture picture;
        picture.LoadFromFile(path);
        const TPixelImage image = picture.Graphic()->ToPixels();
        ASSERT_EQ(image.width, c.width) << int(c.orientation);
        ASSERT_EQ(image.height, 128 / c.width);
        const auto red_at = [&](std::size_t pixel) { return image.bgra[pixel * 4 + 2] > 128; };
        EXPECT_EQ(red_at(0), c.top_left_red) << int(c.orientation);
        EXPECT_EQ(red_at(127), c.bottom_right_red) << int(c.orientation);
    }
}

TEST_F(PictureFiles, BrokenJpegRaisesInvalidGraphic)
{
    TJPEGImage jpeg;
    for (const auto& bytes :
         {std::vector<std::uint8_t>{'n', 'o'},
          std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F'}}) {
        TMemoryStream stream;
        stream.WriteBuffer(bytes.data(), bytes.size());
        stream.SetPosition(0);
        EXPECT_THROW(jpeg.LoadFromStream(stream), EInvalidGraphic);
    }
    EXPECT_TRUE(jpeg.Empty());
}

// A JPEG of width x height in four flat quarters (red, green, blue, white),
// made through the class's own encoder.
std::vector<std::uint8_t> quarters_jpeg(int width, int height)
{
    std::vector<std::vector<std::uint8_t>> rows;
    for (int y = 0; y < height; ++y) {
        std::vector<std::uint8_t> row;
        for (int x = 0; x < width; ++x) {
            const int quarter = (y * 2 / height) * 2 + x * 2 / width;
            static const std::uint8_t bgr[4][3] = {
                {0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
            row.insert(row.end(), bgr[quarter], bgr[quarter] + 3);
        }
        rows.push_back(row);
    }
    TJPEGImage jpeg;
    jpeg.Assign(*load_bitmap(bmp_file(width, height, 24, {}, rows)));
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    return {stream.Memory(), stream.Memory() + stream.Size()};
}

std::unique_ptr<TJPEGImage> load_jpeg(const std::vector<std::uint8_t>& bytes)
{
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), bytes.size());
    stream.SetPosition(0);
    auto jpeg = std::make_unique<TJPEGImage>();
    jpeg->LoadFromStream(stream);
    return jpeg;
}

struct ScaleCase
{
    int width, height, fit_width, fit_height, divisor;
};

class JpegScale : public ::testing::TestWithParam<ScaleCase>
{
};

// The largest DCT divisor whose picture still covers the area.
TEST_P(JpegScale, DivisorKeepsThePictureAtLeastAsLargeAsTheArea)
{
    const ScaleCase& c = GetParam();
    EXPECT_EQ(TJPEGImage::ScaleDivisorFor(c.width, c.height, c.fit_width, c.fit_height), c.divisor);
}

INSTANTIATE_TEST_SUITE_P(
    Areas, JpegScale,
    ::testing::Values(ScaleCase{6000, 4000, 240, 180, 8}, ScaleCase{1920, 1440, 240, 180, 8},
                      ScaleCase{1919, 1439, 240, 180, 8}, // rounds up
                      ScaleCase{1900, 1400, 240, 180, 4}, ScaleCase{242, 182, 240, 180, 1},
                      ScaleCase{4000, 300, 240, 180, 1}, ScaleCase{6000, 4000, 0, 0, 1},
                      ScaleCase{6000, 4000, 720, 540, 4}));

// Reduced decoding keeps the picture's own size and gives a smaller picture
// with the same content as the full decode (an oracle: the quarters'
// colours at the centres of the quarters).
TEST(JpegDisplay, ReducedScaleShowsTheSamePictureAndKeepsItsOwnSize)
{
    auto jpeg = load_jpeg(quarters_jpeg(1024, 768));
    EXPECT_EQ(jpeg->Width(), 1024);
    EXPECT_EQ(jpeg->Height(), 768);
    const auto reduced = jpeg->DisplayPixels(240, 180);
    ASSERT_EQ(reduced->width, 256); // 1/4: 1/8 would be 128 x 96
    ASSERT_EQ(reduced->height, 192);
    EXPECT_EQ(jpeg->DisplayPixels(240, 180), reduced) << "decoded once, then shared";
    const TPixelImage full = jpeg->ToPixels();
    ASSERT_EQ(full.width, 1024);
    for (int quarter = 0; quarter < 4; ++quarter) {
        const int fx = (quarter % 2) * 512 + 256, fy = (quarter / 2) * 384 + 192;
        const std::uint32_t expected = rgb(full, fx, fy);
        const std::uint32_t got = rgb(*reduced, fx / 4, fy / 4);
        for (int shift : {0, 8, 16})
            EXPECT_NEAR(static_cast<int>((got >> shift) & 0xFF),
                        static_cast<int>((expected >> shift) & 0xFF), 4)
                << "quarter " << quarter;
    }
    // Once decoded at full size, that picture serves every area.
    EXPECT_EQ(jpeg->DisplayPixels(240, 180)->width, 1024);
}

// A file without its quantisation tables has a sound header, so it loads;
// decoding it fails, every time it is asked for, without a crash.
TEST(JpegDisplay, UndecodableDataFailsAtDecodeAndAgainLater)
{
    const std::vector<std::uint8_t> whole = quarters_jpeg(64, 48);
    std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + 2);
    std::size_t at = 2;
    while (at + 4 <= whole.size() && whole[at] == 0xFF && whole[at + 1] != 0xDA) {
        const std::size_t length = static_cast<std::size_t>(whole[at + 2]) << 8 | whole[at + 3];
        if (whole[at + 1] != 0xDB) // DQT
            bytes.insert(bytes.end(), whole.begin() + at, whole.begin() + at + 2 + length);
        at += 2 + length;
    }
    ASSERT_LT(bytes.size() + 2, at) << "no quantisation table found";
    bytes.insert(bytes.end(), whole.begin() + at, whole.end());
    auto jpeg = load_jpeg(bytes);
    EXPECT_EQ(jpeg->Width(), 64);
    EXPECT_THROW(jpeg->DisplayPixels(0, 0), EInvalidGraphic);
    EXPECT_THROW(jpeg->ToPixels(), EInvalidGraphic);
}

// ---- Colour profiles -------------------------------------------------------

// Linear light in BT.2020 primaries: its numbers mean very different colours
// in sRGB, so a picture shown unconverted is far off.
std::vector<std::uint8_t> wide_profile()
{
    return imgctl::icc_for_nclx({9, 8, 9, true});
}

constexpr std::uint8_t k_flat_bgr[3] = {200, 120, 40};

std::vector<std::uint8_t> wide_jpeg(int width, int height)
{
    const cv::Mat flat(height, width, CV_8UC3,
                       cv::Scalar(k_flat_bgr[0], k_flat_bgr[1], k_flat_bgr[2]));
    imgctl::OutputMetadata metadata;
    metadata.icc = wide_profile();
    const testsupport::TempFolder dir;
    const std::string path = dir / "wide.jpg";
    {
        imgctl::AtomicFile out(path);
        imgctl::encode_jpeg(out, flat, 100, &metadata);
        out.commit();
    }
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A BMP with a BITMAPV5HEADER that embeds the profile after the pixels:
// 24 bits in the flat colour, or 8 bits whose one palette entry is it.
std::vector<std::uint8_t> wide_bmp(int bits)
{
    const std::vector<std::uint8_t> icc = wide_profile();
    std::vector<std::uint8_t> out;
    const auto u16 = [&](unsigned v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    const auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const std::uint32_t palette_size = bits == 8 ? 4 : 0;
    const std::uint32_t pixels_at = 14 + 124 + palette_size;
    const std::uint32_t profile_at = pixels_at + 4; // one pixel, padded row
    out = {'B', 'M'};
    u32(profile_at + static_cast<std::uint32_t>(icc.size()));
    u32(0);
    u32(pixels_at);
    u32(124);
    u32(1); // width
    u32(1); // height
    u16(1);
    u16(static_cast<unsigned>(bits));
    u32(0); // BI_RGB
    u32(4);
    u32(2835);
    u32(2835);
    u32(bits == 8 ? 1 : 0);
    u32(0);
    for (int i = 0; i < 4; ++i)
        u32(0);      // masks
    u32(0x4D424544); // PROFILE_EMBEDDED
    for (int i = 0; i < 9 + 3; ++i)
        u32(0); // end points and gamma
    u32(4);     // intent
    u32(profile_at - 14);
    u32(static_cast<std::uint32_t>(icc.size()));
    u32(0);
    if (bits == 8) {
        out.insert(out.end(), {k_flat_bgr[0], k_flat_bgr[1], k_flat_bgr[2], 0});
        out.insert(out.end(), {0, 0, 0, 0});
    } else {
        out.insert(out.end(), {k_flat_bgr[0], k_flat_bgr[1], k_flat_bgr[2], 0});
    }
    out.insert(out.end(), icc.begin(), icc.end());
    return out;
}

struct ProfileCase
{
    const char* name;
    std::function<TPixelImage()> shown;
};

class ShownInSrgb : public ::testing::TestWithParam<ProfileCase>
{
};

TEST_P(ShownInSrgb, PicturesWithAProfileAreConvertedAsTheConversionDoes)
{
    const cv::Mat flat(1, 1, CV_8UC3, cv::Scalar(k_flat_bgr[0], k_flat_bgr[1], k_flat_bgr[2]));
    const cv::Vec3b expected = imgctl::to_srgb8(flat, wide_profile()).at<cv::Vec3b>(0, 0);
    ASSERT_GT(std::abs(expected[0] - k_flat_bgr[0]), 10);
    const TPixelImage image = GetParam().shown();
    ASSERT_FALSE(image.bgra.empty());
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(image.bgra[c], expected[c], 2) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, ShownInSrgb,
    ::testing::Values(
        ProfileCase{"JpegFullSize", [] { return load_jpeg(wide_jpeg(64, 48))->ToPixels(); }},
        ProfileCase{"JpegReduced",
                    [] { return *load_jpeg(wide_jpeg(640, 480))->DisplayPixels(80, 60); }},
        ProfileCase{"Bmp24", [] { return load_bitmap(wide_bmp(24))->ToPixels(); }},
        ProfileCase{"Bmp8", [] { return load_bitmap(wide_bmp(8))->ToPixels(); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A CMYK JPEG is shown as the conversion loads it: its inks through its
// profile (or by the plain formula without one), at full size and reduced.
class CmykShown : public ::testing::TestWithParam<bool>
{
};

TEST_P(CmykShown, AsTheConversionLoadsIt)
{
    const bool profile = GetParam();
    const int width = 64, height = 48;
    std::vector<std::uint8_t> cmyk;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int patch = (y / 16) * 4 + x / 16; // 16 x 16 patches, Adobe's inverted inks
            cmyk.insert(cmyk.end(),
                        {static_cast<std::uint8_t>(255 - patch * 21),
                         static_cast<std::uint8_t>(patch * 17), static_cast<std::uint8_t>(200),
                         static_cast<std::uint8_t>(255 - (patch % 3) * 60)});
        }
    const testsupport::TempFolder dir;
    const std::string path = dir / "cmyk.jpg";
    testsupport::write_cmyk_jpeg(path, cmyk, width, height, true,
                                 profile ? testsupport::cmyk_press_profile()
                                         : std::vector<std::uint8_t>{});
    const imgctl::HDIB dib =
        imgctl::ToDIBex(path.c_str(), {imgctl::Orientation::Apply, imgctl::MetadataUse::Keep,
                                       imgctl::Colour::ToSrgb});
    ASSERT_NE(dib, 0u);
    const std::vector<std::uint8_t> converted = imgctl::GetDIBPixels(dib);
    imgctl::DeleteDIB(dib);

    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    const TPixelImage full = load_jpeg(bytes)->ToPixels();
    ASSERT_EQ(full.bgra.size(), converted.size());
    for (std::size_t i = 0; i < converted.size(); i += 4)
        for (std::size_t c = 0; c < 3; ++c)
            ASSERT_EQ(full.bgra[i + c], converted[i + c]) << "pixel " << i / 4 << " channel " << c;

    const std::unique_ptr<TJPEGImage> fresh = load_jpeg(bytes);
    const std::shared_ptr<const TPixelImage> reduced = fresh->DisplayPixels(width / 4, height / 4);
    ASSERT_EQ(reduced->width, width / 4);
    for (int y = 2; y < height / 4; y += 4)
        for (int x = 2; x < width / 4; x += 4)
            for (std::size_t c = 0; c < 3; ++c) {
                const std::size_t at = static_cast<std::size_t>(y) * reduced->width + x;
                const std::size_t full_at = static_cast<std::size_t>(y * 4) * width + x * 4;
                EXPECT_NEAR(reduced->bgra[at * 4 + c], converted[full_at * 4 + c], 3)
                    << "patch at " << x << ", " << y;
            }
}

INSTANTIATE_TEST_SUITE_P(Profiles, CmykShown, ::testing::Bool(), [](const auto& info) {
    return info.param ? "WithProfile" : "WithoutProfile";
});

TEST(Streams, MemoryStreamReadsWritesAndSeeks)
{
    TMemoryStream stream;
    stream.WriteBuffer("abcdef", 6);
    stream.Seek(-2, TSeekOrigin::soEnd);
    char two[2];
    stream.ReadBuffer(two, 2);
    EXPECT_EQ(std::string(two, 2), "ef");
    EXPECT_THROW(stream.ReadBuffer(two, 1), EStreamError);
    stream.SetPosition(8);
    stream.WriteBuffer("x", 1);
    EXPECT_EQ(stream.Size(), 9);
    EXPECT_EQ(stream.Memory()[6], 0);
    EXPECT_THROW(stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
    stream.SetPosition(4);
    EXPECT_EQ(stream.ReadRest().size(), 5u);
}

} // namespace
} // namespace zumo
