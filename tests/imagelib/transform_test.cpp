// Rotation and resizing through the public functions.
#include "imagelib/imgctl.h"

#include "support.h"

#include <opencv2/imgproc.hpp>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;

// A loaded picture of the given content, from a lossless PNG.
class Loaded
{
public:
    explicit Loaded(const cv::Mat& colour) : m_path(m_dir.path("in.png"))
    {
        imgtest::save_png(m_path, colour);
    }
    HDIB load() const { return ToDIB(m_path.c_str()); }
    const TempDir& dir() const { return m_dir; }

private:
    TempDir m_dir;
    std::string m_path;
};

std::uint32_t argb_at(const cv::Mat& bgra, int x, int y)
{
    return bgra.at<std::uint32_t>(y, x);
}

constexpr std::uint32_t k_red = 0xFFFF0000, k_green = 0xFF00FF00, k_blue = 0xFF0000FF,
                        k_white = 0xFFFFFFFF;

struct TurnCase
{
    std::int32_t angle;
    int width, height;
    // Corners after the turn: top-left, top-right, bottom-left, bottom-right.
    std::uint32_t tl, tr, bl, br;
};

class RightAngle : public testing::TestWithParam<TurnCase>
{
};

void expect_corners(const cv::Mat& p, const TurnCase& c)
{
    ASSERT_EQ(p.cols, c.width);
    ASSERT_EQ(p.rows, c.height);
    EXPECT_EQ(argb_at(p, 0, 0), c.tl);
    EXPECT_EQ(argb_at(p, p.cols - 1, 0), c.tr);
    EXPECT_EQ(argb_at(p, 0, p.rows - 1), c.bl);
    EXPECT_EQ(argb_at(p, p.cols - 1, p.rows - 1), c.br);
}

// Positive angles turn clockwise: after 90 the old bottom-left corner (blue)
// is at the top-left.
TEST_P(RightAngle, CornersLandWhereAClockwiseTurnPutsThem)
{
    Loaded loaded(imgtest::corner_marked(6, 4));
    Handle dib(loaded.load());
    TurnDIB(dib, GetParam().angle);
    expect_corners(imgtest::pixels_of(dib), GetParam());
}

TEST_P(RightAngle, TurnDIBexAtRightAnglesIsExact)
{
    Loaded loaded(imgtest::corner_marked(6, 4));
    Handle dib(loaded.load());
    TurnDIBex(dib, GetParam().angle * 1000, 0x00FF00FF);
    expect_corners(imgtest::pixels_of(dib), GetParam());
}

TEST_P(RightAngle, LazyJpegTurnsTheSameWay)
{
    // Big flat corner blocks survive JPEG; the turn is applied at decode time.
    cv::Mat picture(64, 96, CV_8UC3, cv::Scalar(128, 128, 128));
    picture(cv::Rect(0, 0, 16, 16)).setTo(cv::Scalar(0, 0, 255));
    picture(cv::Rect(80, 0, 16, 16)).setTo(cv::Scalar(0, 255, 0));
    picture(cv::Rect(0, 48, 16, 16)).setTo(cv::Scalar(255, 0, 0));
    picture(cv::Rect(80, 48, 16, 16)).setTo(cv::Scalar(255, 255, 255));
    TempDir dir;
    imgtest::save_jpeg(dir.path("in.jpg"), picture, 100);
    Handle dib(ToDIB(dir.path("in.jpg").c_str()));
    TurnDIB(dib, GetParam().angle);
    const cv::Mat p = imgtest::pixels_of(dib);
    const int w = GetParam().width == 6 ? 96 : 64;
    ASSERT_EQ(p.cols, w);
    auto near = [](std::uint32_t a, std::uint32_t b) {
        for (int shift = 0; shift < 24; shift += 8)
            if (std::abs(static_cast<int>((a >> shift) & 0xFF) -
                         static_cast<int>((b >> shift) & 0xFF)) > 8)
                return false;
        return true;
    };
    EXPECT_TRUE(near(argb_at(p, 2, 2), GetParam().tl));
    EXPECT_TRUE(near(argb_at(p, p.cols - 3, 2), GetParam().tr));
    EXPECT_TRUE(near(argb_at(p, 2, p.rows - 3), GetParam().bl));
    EXPECT_TRUE(near(argb_at(p, p.cols - 3, p.rows - 3), GetParam().br));
}

INSTANTIATE_TEST_SUITE_P(Angles, RightAngle,
                         testing::Values(TurnCase{0, 6, 4, k_red, k_green, k_blue, k_white},
                                         TurnCase{90, 4, 6, k_blue, k_red, k_white, k_green},
                                         TurnCase{180, 6, 4, k_white, k_blue, k_green, k_red},
                                         TurnCase{270, 4, 6, k_green, k_white, k_red, k_blue},
                                         TurnCase{-90, 4, 6, k_green, k_white, k_red, k_blue}));

TEST(RightAngle, FourQuarterTurnsGiveTheInputBack)
{
    const cv::Mat original = imgtest::photo(33, 21);
    Loaded loaded(original);
    Handle dib(loaded.load());
    const cv::Mat before = imgtest::pixels_of(dib);
    for (int i = 0; i < 4; ++i)
        TurnDIB(dib, 90);
    EXPECT_EQ(cv::norm(imgtest::pixels_of(dib), before, cv::NORM_INF), 0);
}

TEST(RightAngle, OtherAnglesAreRefused)
{
    Loaded loaded(imgtest::photo(8, 8));
    Handle dib(loaded.load());
    EXPECT_THROW(TurnDIB(dib, 45), ImageError);
}

// --- Arbitrary angles ----------------------------------------------------------

TEST(AnyAngle, CanvasHoldsTheWholePictureAndCornersTakeTheBackground)
{
    Loaded loaded(cv::Mat(120, 160, CV_8UC3, cv::Scalar(40, 80, 120)));
    Handle dib(loaded.load());
    TurnDIBex(dib, 30000, 0x00FFFF00); // COLORREF: blue 0xFF, green 0xFF, red 0
    const DIBInfo info = GetDIBInfo(dib);
    // 160 cos 30 + 120 sin 30 = 198.6; 160 sin 30 + 120 cos 30 = 183.9
    EXPECT_EQ(info.width, 199);
    EXPECT_EQ(info.height, 184);
    const cv::Mat p = imgtest::pixels_of(dib);
    for (const auto& [x, y] : {std::pair{0, 0},
                               {info.width - 1, 0},
                               {0, info.height - 1},
                               {info.width - 1, info.height - 1}})
        EXPECT_EQ(argb_at(p, x, y), 0xFF00FFFFu) << x << "," << y;
    EXPECT_EQ(argb_at(p, info.width / 2, info.height / 2), 0xFF785028u);
}

// Bilinear filtering at the edges mixes the picture with the background,
// never with black.
TEST(AnyAngle, EdgesHaveNoDarkFringe)
{
    Loaded loaded(cv::Mat(50, 70, CV_8UC3, cv::Scalar(255, 255, 255)));
    Handle dib(loaded.load());
    TurnDIBex(dib, 17500, 0x00FFFFFF);
    double low = 0;
    cv::minMaxLoc(imgtest::pixels_of(dib).reshape(1), &low);
    EXPECT_GE(low, 254);
}

TEST(AnyAngle, ClockwiseForPositiveAngles)
{
    // A red bar along the top edge; after a small clockwise turn its right
    // end sits lower than its left end.
    cv::Mat picture(100, 200, CV_8UC3, cv::Scalar(0, 0, 0));
    picture(cv::Rect(0, 0, 200, 10)).setTo(cv::Scalar(0, 0, 255));
    Loaded loaded(picture);
    Handle dib(loaded.load());
    TurnDIBex(dib, 10000, 0x00000000);
    const cv::Mat p = imgtest::pixels_of(dib);
    auto top_of_red = [&](int x) {
        for (int y = 0; y < p.rows; ++y)
            if (p.at<cv::Vec4b>(y, x)[2] > 128)
                return y;
        return -1;
    };
    EXPECT_LT(top_of_red(p.cols / 4), top_of_red(3 * p.cols / 4));
}

TEST(AnyAngle, FullTurnAndNegativeAnglesNormalise)
{
    Loaded loaded(imgtest::corner_marked(6, 4));
    Handle full(loaded.load());
    TurnDIBex(full, 360000, 0);
    EXPECT_EQ(GetDIBInfo(full).width, 6);
    Handle minus(loaded.load());
    TurnDIBex(minus, -270000, 0);
    Handle plus(loaded.load());
    TurnDIBex(plus, 90000, 0);
    EXPECT_EQ(cv::norm(imgtest::pixels_of(minus), imgtest::pixels_of(plus), cv::NORM_INF), 0);
}

TEST(AnyAngle, CanvasBeyondThePixelLimitIsRefused)
{
    // 65535 x 1 turned by 45 degrees needs a canvas of 46341 x 46341.
    Loaded loaded(cv::Mat(1, 65535, CV_8UC3, cv::Scalar(1, 2, 3)));
    Handle dib(loaded.load());
    EXPECT_THROW(TurnDIBex(dib, 45000, 0), ImageError);
    EXPECT_EQ(GetDIBInfo(dib).width, 65535);
}

// --- Resizing ------------------------------------------------------------------

struct ResizeCase
{
    int width, height;
    std::int32_t turn;
    std::int32_t new_width, new_height;
    int expect_width, expect_height;
};

class Resize : public testing::TestWithParam<ResizeCase>
{
};

TEST_P(Resize, OutputSize)
{
    const ResizeCase& c = GetParam();
    Loaded loaded(cv::Mat(c.height, c.width, CV_8UC3, cv::Scalar(10, 20, 30)));
    Handle dib(loaded.load());
    TurnDIB(dib, c.turn);
    ResizeDIB(dib, c.new_width, c.new_height);
    EXPECT_EQ(GetDIBInfo(dib).width, c.expect_width);
    EXPECT_EQ(GetDIBInfo(dib).height, c.expect_height);
    // A flat colour stays flat whichever filter ran.
    const cv::Mat p = imgtest::pixels_of(dib);
    EXPECT_EQ(cv::norm(p, cv::Mat(p.size(), CV_8UC4, cv::Scalar(10, 20, 30, 255)), cv::NORM_INF),
              0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Resize,
                         testing::Values(ResizeCase{1600, 1200, 90, -1, 480, 360, 480},
                                         ResizeCase{800, 600, 0, -1, 1200, 1600, 1200},
                                         ResizeCase{640, 480, 0, -1, 10, 13, 10},
                                         ResizeCase{333, 100, 0, -1, 10, 33, 10},
                                         ResizeCase{100, 100, 0, 50, 20, 50, 20},
                                         ResizeCase{100, 50, 0, 300, -1, 300, 150},
                                         ResizeCase{10, 1000, 0, -1, 10, 1, 10}));

TEST(Resize, BadSizesAreRefused)
{
    Loaded loaded(imgtest::photo(20, 20));
    Handle dib(loaded.load());
    for (const auto& [w, h] :
         {std::pair{-1, 0}, {0, 10}, {-1, -1}, {-5, 10}, {-1, 70000}, {100000, 100000}})
        EXPECT_THROW(ResizeDIB(dib, w, h), ImageError) << w << "x" << h;
    EXPECT_EQ(GetDIBInfo(dib).width, 20);
}

TEST(Resize, ReductionDoesNotAlias)
{
    // One-pixel stripes average to grey under area filtering; point
    // sampling would keep black and white pixels.
    cv::Mat stripes(400, 400, CV_8UC3);
    for (int x = 0; x < 400; ++x)
        stripes.col(x).setTo(x % 2 ? cv::Scalar(255, 255, 255) : cv::Scalar(0, 0, 0));
    Loaded loaded(stripes);
    struct Bound
    {
        int height;
        double low, high;
    };
    for (const Bound b : {Bound{100, 125, 130}, Bound{130, 60, 195}}) {
        Handle dib(loaded.load());
        ResizeDIB(dib, -1, b.height);
        double low = 0, high = 0;
        cv::minMaxLoc(imgtest::pixels_of(dib).reshape(1, b.height * b.height).colRange(0, 3), &low,
                      &high);
        EXPECT_GT(low, b.low) << b.height;
        EXPECT_LT(high, b.high) << b.height;
    }
}

TEST(Resize, TransparentPixelsDoNotDarkenTheirNeighbours)
{
    cv::Mat picture(64, 64, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    picture(cv::Rect(0, 0, 32, 64)).setTo(cv::Scalar(255, 255, 255, 255));
    Loaded loaded(picture);
    Handle dib(loaded.load());
    ResizeDIB(dib, -1, 20);
    const cv::Mat p = imgtest::pixels_of(dib);
    for (int x = 0; x < p.cols; ++x) {
        const cv::Vec4b px = p.at<cv::Vec4b>(10, x);
        if (px[3] > 0) {
            EXPECT_GE(px[0], 250) << x;
        }
    }
}

// --- Shrink-on-load ------------------------------------------------------------

struct ShrinkCase
{
    std::int32_t turn; // thousandths of a degree, through TurnDIBex
    std::int32_t height;
};

class ShrinkOnLoad : public testing::TestWithParam<ShrinkCase>
{
};

// The reduced-scale decode must look like a full decode resized the same way.
TEST_P(ShrinkOnLoad, MatchesFullDecodeThenResize)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("photo.jpg"), imgtest::photo(1600, 1200, 11), 92);
    Handle lazy(ToDIB(dir.path("photo.jpg").c_str()));
    Handle full(ToDIB(dir.path("photo.jpg").c_str()));
    GetDIBPixels(full); // decodes at full size now
    for (HDIB dib : {lazy.get(), full.get()}) {
        TurnDIBex(dib, GetParam().turn, 0x00336699);
        ResizeDIB(dib, -1, GetParam().height);
    }
    const cv::Mat a = imgtest::pixels_of(lazy);
    const cv::Mat b = imgtest::pixels_of(full);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_LT(imgtest::mean_abs_diff(a, b), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Scales, ShrinkOnLoad,
                         testing::Values(ShrinkCase{0, 960}, ShrinkCase{0, 480},
                                         ShrinkCase{90000, 480}, ShrinkCase{0, 150},
                                         ShrinkCase{270000, 100}, ShrinkCase{0, 1300},
                                         ShrinkCase{30000, 480}, ShrinkCase{-17500, 300},
                                         ShrinkCase{30000, 1500}));

// A turn by any angle waits for the decode too: the size it reports is the
// size the turned picture will have.
TEST(ShrinkOnLoad, PendingTurnReportsTheTurnedSize)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("photo.jpg"), imgtest::photo(160, 120), 92);
    Handle lazy(ToDIB(dir.path("photo.jpg").c_str()));
    TurnDIBex(lazy, 30000, 0);
    const DIBInfo promised = GetDIBInfo(lazy);
    EXPECT_EQ(promised.width, 199);
    EXPECT_EQ(promised.height, 184);
    TurnDIB(lazy, 90); // a second turn decodes and turns for real
    const cv::Mat p = imgtest::pixels_of(lazy);
    EXPECT_EQ(p.cols, 184);
    EXPECT_EQ(p.rows, 199);
}

} // namespace
