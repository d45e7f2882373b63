// Quality of reductions: the fixed-point Lanczos3 of the picture library
// against the benchmark's float reference, through the public functions.
#include "imagelib/imgctl.h"
#include "imagelib/resample.h"

#include "bench/reference.h"
#include "support.h"

#include <opencv2/imgproc.hpp>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;

// A photograph with a patch of fine detail (one- and two-pixel lines) and a
// hard-edged disc: a filter that is shifted by half a pixel, too soft or
// aliasing shows up there.
cv::Mat detailed_photo(int width, int height)
{
    cv::Mat picture = imgtest::photo(width, height, 5);
    for (int x = width / 8; x < width / 2; ++x) {
        const bool dark = (x / (1 + x % 3 / 2)) % 2 == 0;
        picture(cv::Rect(x, height / 8, 1, height / 3))
            .setTo(dark ? cv::Scalar(30, 40, 50) : cv::Scalar(220, 210, 200));
    }
    cv::circle(picture, {width * 3 / 4, height / 2}, height / 5, cv::Scalar(10, 200, 90),
               cv::FILLED);
    return picture;
}

cv::Mat reference_bytes(const cv::Mat& bgr, cv::Size size)
{
    cv::Mat bytes;
    bench::reference_lanczos3(bgr, size).convertTo(bytes, CV_8UC3); // rounds and clamps
    return bytes;
}

cv::Mat bgr_of(HDIB dib)
{
    cv::Mat bgr;
    cv::cvtColor(imgtest::pixels_of(dib), bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

struct ReductionCase
{
    int width, height;         // source
    int new_width, new_height; // as ResizeDIB takes them
    bool box_first;            // more than four times smaller
    double mean_limit, max_limit;
};

class Reduction : public testing::TestWithParam<ReductionCase>
{
};

// Straight Lanczos3 stays within rounding of the float reference (the
// largest differences are where the float result overshoots past 0 or 255
// and the bytes clamp between the two passes), and much closer to it than
// an area reduction, which blurs the fine lines. With the box shrink first
// (reductions past 4) the fine lines are averaged early, as an area filter
// does, but the result stays close.
TEST_P(Reduction, CloseToTheFloatReference)
{
    const ReductionCase& c = GetParam();
    const cv::Mat original = detailed_photo(c.width, c.height);
    TempDir dir;
    imgtest::save_png(dir.path("in.png"), original);
    Handle dib(ToDIB(dir.path("in.png").c_str()));
    ResizeDIB(dib, c.new_width, c.new_height);
    const cv::Mat ours = bgr_of(dib);
    const cv::Mat reference = reference_bytes(original, ours.size());
    cv::Mat area;
    cv::resize(original, area, ours.size(), 0, 0, cv::INTER_AREA);
    const double mean = imgtest::mean_abs_diff(ours, reference);
    EXPECT_LT(mean, c.mean_limit);
    EXPECT_LE(cv::norm(ours, reference, cv::NORM_INF), c.max_limit);
    if (!c.box_first) {
        EXPECT_LT(mean * 2, imgtest::mean_abs_diff(area, reference));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Factors, Reduction,
    testing::Values(ReductionCase{600, 400, -1, 300, false, 0.3, 10},    // 1.33
                    ReductionCase{625, 417, -1, 200, false, 0.3, 10},    // 2.08
                    ReductionCase{700, 500, -1, 150, false, 0.3, 10},    // 3.33
                    ReductionCase{900, 600, -1, 133, true, 1.6, 20},     // 4.5: box 2 first
                    ReductionCase{1000, 800, -1, 80, true, 1.6, 20},     // 10: box 5 first
                    ReductionCase{300, 400, 400, 200, false, 0.3, 16})); // wider and lower

struct FlatCase
{
    int channels;
    cv::Size from, to;
};

class FlatStaysFlat : public testing::TestWithParam<FlatCase>
{
};

// The weights of every output pixel add up to exactly one, at the edges
// too, so a flat picture comes out exactly flat.
TEST_P(FlatStaysFlat, EveryPixelKeepsTheColour)
{
    const FlatCase& c = GetParam();
    const cv::Scalar colour(3, 128, 254, 77);
    const cv::Mat flat(c.from, CV_8UC(c.channels), colour);
    const cv::Mat out = resample_lanczos3(flat, c.to);
    ASSERT_EQ(out.size(), c.to);
    EXPECT_EQ(cv::norm(out, cv::Mat(c.to, flat.type(), colour), cv::NORM_INF), 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlatStaysFlat,
                         testing::Values(FlatCase{3, {640, 480}, {97, 61}},
                                         FlatCase{4, {640, 480}, {97, 61}},
                                         FlatCase{1, {640, 480}, {97, 61}},
                                         FlatCase{3, {7, 5}, {3, 2}}, FlatCase{4, {5, 300}, {9, 1}},
                                         FlatCase{3, {2000, 3}, {1, 1}}));

// The row-by-row filter gives the same pixels whatever the channel layout:
// BGRA with opaque alpha, grey and BGR agree channel for channel.
TEST(RowResampler, ChannelLayoutsAgree)
{
    const cv::Mat bgr = detailed_photo(301, 203);
    cv::Mat bgra, grey;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    cv::extractChannel(bgr, grey, 1);
    const cv::Size to(117, 64);
    const cv::Mat from_bgr = resample_lanczos3(bgr, to);
    cv::Mat from_bgra, green_of_bgr;
    cv::cvtColor(resample_lanczos3(bgra, to), from_bgra, cv::COLOR_BGRA2BGR);
    cv::extractChannel(from_bgr, green_of_bgr, 1);
    EXPECT_EQ(cv::norm(from_bgra, from_bgr, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(resample_lanczos3(grey, to), green_of_bgr, cv::NORM_INF), 0);
}

// The same two passes in plain integer arithmetic: the vector filters (whichever
// the processor runs) must give exactly these bytes, at every channel count and
// at widths that leave tails after the wide steps.
cv::Mat plain_two_passes(const cv::Mat& in, cv::Size to)
{
    const AxisTaps rows = lanczos3_taps(in.rows, to.height, double(in.rows) / to.height);
    const AxisTaps cols = lanczos3_taps(in.cols, to.width, double(in.cols) / to.width);
    const int channels = in.channels();
    const auto rounded = [](int sum) {
        return cv::saturate_cast<std::uint8_t>((sum + (1 << 13)) >> AxisTaps::k_tap_bits);
    };
    cv::Mat tall(to.height, in.cols, in.type()), out(to, in.type());
    for (int y = 0; y < to.height; ++y)
        for (int v = 0; v < in.cols * channels; ++v) {
            int sum = 0;
            for (int k = 0; k < rows.count; ++k)
                sum += rows.weights[y * rows.count + k] * in.ptr(rows.start[y] + k)[v];
            tall.ptr(y)[v] = rounded(sum);
        }
    for (int y = 0; y < to.height; ++y)
        for (int x = 0; x < to.width; ++x)
            for (int c = 0; c < channels; ++c) {
                int sum = 0;
                for (int k = 0; k < cols.count; ++k)
                    sum += cols.weights[x * cols.count + k] *
                           tall.ptr(y)[(cols.start[x] + k) * channels + c];
                out.ptr(y)[x * channels + c] = rounded(sum);
            }
    return out;
}

TEST(RowResampler, VectorFiltersGiveThePlainSums)
{
    cv::RNG rng(11);
    const cv::Size cases[][2] = {{{641, 479}, {331, 250}}, {{33, 17}, {31, 9}},
                                 {{7, 5}, {3, 2}},         {{129, 65}, {64, 33}},
                                 {{17, 40}, {5, 39}},      {{300, 20}, {300, 11}}};
    for (const int channels : {1, 3, 4})
        for (const auto& [from, to] : cases) {
            cv::Mat in(from, CV_8UC(channels));
            rng.fill(in, cv::RNG::UNIFORM, 0, 256);
            EXPECT_EQ(cv::norm(resample_lanczos3(in, to), plain_two_passes(in, to), cv::NORM_INF),
                      0)
                << channels << " channels, " << from << " to " << to;
        }
}

struct TurnedCase
{
    std::int32_t quarter_turns; // through TurnDIB, before the turn by any angle
    std::int32_t angle;         // thousandths of a degree, through TurnDIBex
    std::int32_t height;
};

class ReducedJpegTurn : public testing::TestWithParam<TurnedCase>
{
};

// A JPEG not decoded yet is reduced before its turns are applied; the result
// still has exactly the size that the turned picture promised, the corners
// of the canvas show the background and the middle shows the picture.
TEST_P(ReducedJpegTurn, LandsOnThePromisedCanvas)
{
    const TurnedCase& c = GetParam();
    TempDir dir;
    imgtest::save_jpeg(dir.path("flat.jpg"), cv::Mat(900, 1200, CV_8UC3, cv::Scalar(40, 160, 90)),
                       95);
    Handle dib(ToDIB(dir.path("flat.jpg").c_str()));
    TurnDIB(dib, c.quarter_turns);
    TurnDIBex(dib, c.angle, 0x00FFFFFF);
    const DIBInfo promised = GetDIBInfo(dib);
    ResizeDIB(dib, -1, c.height);
    const DIBInfo info = GetDIBInfo(dib);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.width,
              std::lround(static_cast<double>(promised.width) * c.height / promised.height));
    const cv::Mat p = imgtest::pixels_of(dib);
    const cv::Vec4b middle = p.at<cv::Vec4b>(p.rows / 2, p.cols / 2);
    EXPECT_NEAR(middle[0], 40, 3);
    EXPECT_NEAR(middle[1], 160, 3);
    EXPECT_NEAR(middle[2], 90, 3);
    for (const auto& [x, y] :
         {std::pair{0, 0}, {p.cols - 1, 0}, {0, p.rows - 1}, {p.cols - 1, p.rows - 1}})
        EXPECT_EQ(p.at<cv::Vec4b>(y, x), cv::Vec4b(255, 255, 255, 255)) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Turns, ReducedJpegTurn,
                         testing::Values(TurnedCase{0, 30000, 480}, TurnedCase{90, 30000, 240},
                                         TurnedCase{0, -17500, 101}, TurnedCase{270, 45000, 77},
                                         TurnedCase{0, 10000, 17}));

// The yardstick itself: SSIM of flat pictures has a closed form, identical
// pictures score 1, and more noise scores lower.
TEST(Ssim, KnownValues)
{
    const cv::Mat flat100(40, 40, CV_8UC3, cv::Scalar::all(100));
    const cv::Mat flat110(40, 40, CV_8UC3, cv::Scalar::all(110));
    const double c1 = 0.01 * 255 * 0.01 * 255;
    EXPECT_NEAR(bench::mean_ssim(flat100, flat110),
                (2 * 100 * 110 + c1) / (100 * 100 + 110 * 110 + c1), 1e-9);
    const cv::Mat photo = imgtest::photo(64, 48, 3);
    EXPECT_NEAR(bench::mean_ssim(photo, photo), 1.0, 1e-12);
    double last = 1.0;
    for (const double sigma : {2.0, 6.0, 20.0}) {
        cv::Mat noise(photo.size(), CV_16SC3), noisy;
        cv::randn(noise, 0, sigma);
        cv::add(photo, noise, noisy, cv::noArray(), CV_8UC3);
        const double score = bench::mean_ssim(photo, noisy);
        EXPECT_LT(score, last) << sigma;
        last = score;
    }
}

} // namespace
