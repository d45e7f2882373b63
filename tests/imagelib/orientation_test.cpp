// EXIF orientation: every value turns the stored picture upright, before
// the caller's turn and resize, for JPEG (pending decode) and PNG (eXIf).
#include "imagelib/imgctl.h"

#include "imagelib/atomic_file.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/png_codec.h"
#include "support.h"

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;

// A TIFF structure whose IFD0 holds only Orientation = value.
std::vector<std::uint8_t> orientation_exif(unsigned value)
{
    imgtest::Bytes b;
    b.text("II").u16(42).u32(8);            // header, IFD0 at 8
    b.u16(1);                               // one entry
    b.u16(0x0112).u16(3).u32(1).u16(value); // Orientation, SHORT, 1
    b.u16(0).u32(0);                        // value padding, no next IFD
    return b.data;
}

// Stored picture 64 x 32 in four solid quadrants, so that lossy coding and
// resizing keep every corner's colour.
enum Colour { Red, Green, Blue, White };
const cv::Vec3b k_bgr[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};

cv::Mat quadrants()
{
    cv::Mat m(32, 64, CV_8UC3);
    m(cv::Rect(0, 0, 32, 16)).setTo(cv::Scalar(0, 0, 255));
    m(cv::Rect(32, 0, 32, 16)).setTo(cv::Scalar(0, 255, 0));
    m(cv::Rect(0, 16, 32, 16)).setTo(cv::Scalar(255, 0, 0));
    m(cv::Rect(32, 16, 32, 16)).setTo(cv::Scalar(255, 255, 255));
    return m;
}

enum class Then { Nothing, Turn90, HalveHeight };
enum class Container { Jpeg, Png };

struct OrientationCase
{
    unsigned orientation;
    // Where the stored top-left, top-right, bottom-left and bottom-right
    // quadrants show after turning upright, read from the tag's definition
    // (which side the 0th row and the 0th column are on): visual corners
    // top-left, top-right, bottom-left, bottom-right.
    Colour top_left, top_right, bottom_left, bottom_right;
};

const OrientationCase k_cases[] = {
    {1, Red, Green, Blue, White}, {2, Green, Red, White, Blue}, {3, White, Blue, Green, Red},
    {4, Blue, White, Red, Green}, {5, Red, Blue, Green, White}, {6, Blue, Red, White, Green},
    {7, White, Green, Blue, Red}, {8, Green, White, Red, Blue},
};

struct Param
{
    OrientationCase c;
    Then then;
    Container container;
};

class ExifOrientation : public testing::TestWithParam<Param>
{
};

std::string write_source(const TempDir& dir, const Param& p)
{
    OutputMetadata metadata;
    metadata.exif = orientation_exif(p.c.orientation);
    const std::string path = dir.path(p.container == Container::Jpeg ? "in.jpg" : "in.png");
    AtomicFile out(path);
    if (p.container == Container::Jpeg)
        encode_jpeg(out, quadrants(), 95, &metadata);
    else
        encode_png(out, quadrants(), Interlace::Off, &metadata);
    out.commit();
    return path;
}

cv::Vec3b sample(const cv::Mat& bgra, double fx, double fy)
{
    const cv::Vec4b p =
        bgra.at<cv::Vec4b>(static_cast<int>(fy * bgra.rows), static_cast<int>(fx * bgra.cols));
    return {p[0], p[1], p[2]};
}

void expect_colour(const cv::Vec3b& got, Colour want, const char* corner)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(got[c], k_bgr[want][c], 40) << corner << " channel " << c;
}

TEST_P(ExifOrientation, QuadrantsEndUpWhereTheTagSays)
{
    const Param p = GetParam();
    TempDir dir;
    Handle dib(ToDIB(write_source(dir, p).c_str()));
    ASSERT_NE(dib.get(), 0u);
    const bool sideways = p.c.orientation >= 5;
    int width = sideways ? 32 : 64;
    int height = sideways ? 64 : 32;
    OrientationCase want = p.c;
    if (p.then == Then::Turn90) {
        TurnDIB(dib, 90);
        std::swap(width, height);
        want = {0, p.c.bottom_left, p.c.top_left, p.c.bottom_right, p.c.top_right};
    } else if (p.then == Then::HalveHeight) {
        ResizeDIB(dib, -1, height / 2);
        width /= 2;
        height /= 2;
    }
    const cv::Mat got = imgtest::pixels_of(dib);
    ASSERT_EQ(got.cols, width);
    ASSERT_EQ(got.rows, height);
    expect_colour(sample(got, 0.25, 0.25), want.top_left, "top left");
    expect_colour(sample(got, 0.75, 0.25), want.top_right, "top right");
    expect_colour(sample(got, 0.25, 0.75), want.bottom_left, "bottom left");
    expect_colour(sample(got, 0.75, 0.75), want.bottom_right, "bottom right");
}

std::vector<Param> all_params()
{
    std::vector<Param> out;
    for (const OrientationCase& c : k_cases) {
        for (const Then then : {Then::Nothing, Then::Turn90, Then::HalveHeight})
            out.push_back({c, then, Container::Jpeg});
        out.push_back({c, Then::Nothing, Container::Png});
    }
    return out;
}

std::string param_name(const testing::TestParamInfo<Param>& info)
{
    static const char* then[] = {"", "Turn90", "Halve"};
    const Param& p = info.param;
    return std::string(p.container == Container::Jpeg ? "Jpeg" : "Png") +
           std::to_string(p.c.orientation) + then[static_cast<int>(p.then)];
}

INSTANTIATE_TEST_SUITE_P(AllValues, ExifOrientation, testing::ValuesIn(all_params()), param_name);

// The pending turn keeps the reduced-scale decode: an oriented photo
// shrunk on load matches a full decode of it resized the same way.
TEST(ExifOrientation, ShrinkOnLoadMatchesFullDecode)
{
    TempDir dir;
    OutputMetadata metadata;
    metadata.exif = orientation_exif(5);
    {
        AtomicFile out(dir.path("photo.jpg"));
        encode_jpeg(out, imgtest::photo(1600, 1200, 3), 92, &metadata);
        out.commit();
    }
    Handle lazy(ToDIB(dir.path("photo.jpg").c_str()));
    Handle full(ToDIB(dir.path("photo.jpg").c_str()));
    GetDIBPixels(full);
    for (HDIB dib : {lazy.get(), full.get()}) {
        TurnDIB(dib, 90);
        ResizeDIB(dib, -1, 300);
    }
    const cv::Mat a = imgtest::pixels_of(lazy);
    const cv::Mat b = imgtest::pixels_of(full);
    ASSERT_EQ(a.size(), cv::Size(400, 300));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_LT(imgtest::mean_abs_diff(a, b), 2.0);
}

// The choice not to apply it leaves the picture as stored.
TEST(ExifOrientation, IgnoredOnRequest)
{
    TempDir dir;
    const std::string path = write_source(dir, {k_cases[5], Then::Nothing, Container::Jpeg});
    Handle dib(ToDIBex(path.c_str(), {imgctl::Orientation::Ignore, MetadataUse::Keep}));
    const DIBInfo info = GetDIBInfo(dib);
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 32);
}

// Values outside 1..8 and broken structures read as "upright".
TEST(ExifOrientation, BrokenTagsReadAsUpright)
{
    auto lying_offset = orientation_exif(6);
    lying_offset[4] = 0xF0; // IFD0 beyond the block
    auto lying_count = orientation_exif(6);
    lying_count[8] = 0x30; // 48 entries in a block holding one
    auto wrong_type = orientation_exif(6);
    wrong_type[12] = 4; // LONG
    const std::vector<std::vector<std::uint8_t>> blocks = {
        orientation_exif(0), orientation_exif(9), orientation_exif(0xFFFF), lying_offset,
        lying_count,         wrong_type,          {'I', 'I', 42, 0},
    };
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(exif_orientation(blocks[i]), 1) << "block " << i;
    EXPECT_EQ(exif_orientation(orientation_exif(8)), 8);
}

} // namespace
