#include "reference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace bench {
namespace {

double kernel(double x)
{
    if (x == 0)
        return 1;
    if (std::abs(x) >= 3)
        return 0;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px * std::sin(px / 3) / (px / 3);
}

struct Window
{
    int first = 0;
    std::vector<double> weights; // for input pixels first, first + 1, ...
};

std::vector<Window> windows(int in, int out)
{
    const double scale = static_cast<double>(in) / out;
    const double widen = std::max(1.0, scale);
    std::vector<Window> all(static_cast<std::size_t>(out));
    for (int j = 0; j < out; ++j) {
        const double centre = (j + 0.5) * scale - 0.5;
        Window& w = all[static_cast<std::size_t>(j)];
        w.first = static_cast<int>(std::floor(centre - 3 * widen));
        const int last = static_cast<int>(std::ceil(centre + 3 * widen));
        double sum = 0;
        for (int i = w.first; i <= last; ++i) {
            w.weights.push_back(kernel((i - centre) / widen));
            sum += w.weights.back();
        }
        for (double& weight : w.weights)
            weight /= sum;
    }
    return all;
}

} // namespace

cv::Mat reference_lanczos3(const cv::Mat& bgr, cv::Size size)
{
    CV_Assert(bgr.type() == CV_8UC3);
    const std::vector<Window> across = windows(bgr.cols, size.width);
    const std::vector<Window> down = windows(bgr.rows, size.height);
    cv::Mat wide(bgr.rows, size.width, CV_32FC3);
    for (int y = 0; y < bgr.rows; ++y) {
        const cv::Vec3b* in = bgr.ptr<cv::Vec3b>(y);
        cv::Vec3f* out = wide.ptr<cv::Vec3f>(y);
        for (int x = 0; x < size.width; ++x) {
            const Window& w = across[static_cast<std::size_t>(x)];
            double sum[3] = {0, 0, 0};
            for (std::size_t k = 0; k < w.weights.size(); ++k) {
                const int i = std::clamp(w.first + static_cast<int>(k), 0, bgr.cols - 1);
                for (int c = 0; c < 3; ++c)
                    sum[c] += w.weights[k] * in[i][c];
            }
            out[x] = cv::Vec3f(static_cast<float>(sum[0]), static_cast<float>(sum[1]),
                               static_cast<float>(sum[2]));
        }
    }
    cv::Mat result(size, CV_32FC3);
    std::vector<double> sum(static_cast<std::size_t>(size.width) * 3);
    for (int y = 0; y < size.height; ++y) {
        const Window& w = down[static_cast<std::size_t>(y)];
        std::fill(sum.begin(), sum.end(), 0.0);
        for (std::size_t k = 0; k < w.weights.size(); ++k) {
            const int i = std::clamp(w.first + static_cast<int>(k), 0, bgr.rows - 1);
            const float* in = wide.ptr<float>(i);
            for (std::size_t v = 0; v < sum.size(); ++v)
                sum[v] += w.weights[k] * in[v];
        }
        float* out = result.ptr<float>(y);
        for (std::size_t v = 0; v < sum.size(); ++v)
            out[v] = static_cast<float>(sum[v]);
    }
    return result;
}

double mean_ssim(const cv::Mat& a, const cv::Mat& b)
{
    CV_Assert(a.size() == b.size() && a.channels() == 3 && b.channels() == 3);
    constexpr double c1 = (0.01 * 255) * (0.01 * 255);
    constexpr double c2 = (0.03 * 255) * (0.03 * 255);
    std::vector<cv::Mat> xs, ys;
    cv::split(a, xs);
    cv::split(b, ys);
    const auto blur = [](const cv::Mat& m) {
        cv::Mat out;
        cv::GaussianBlur(m, out, cv::Size(11, 11), 1.5);
        return out;
    };
    double total = 0;
    for (int c = 0; c < 3; ++c) {
        cv::Mat x, y;
        xs[static_cast<std::size_t>(c)].convertTo(x, CV_64F);
        ys[static_cast<std::size_t>(c)].convertTo(y, CV_64F);
        const cv::Mat mx = blur(x), my = blur(y);
        const cv::Mat mxx = mx.mul(mx), myy = my.mul(my), mxy = mx.mul(my);
        const cv::Mat vx = blur(x.mul(x)) - mxx;
        const cv::Mat vy = blur(y.mul(y)) - myy;
        const cv::Mat cxy = blur(x.mul(y)) - mxy;
        const cv::Mat numerator = (2 * mxy + c1).mul(2 * cxy + c2);
        const cv::Mat denominator = (mxx + myy + c1).mul(vx + vy + c2);
        cv::Mat map;
        cv::divide(numerator, denominator, map);
        total += cv::mean(map)[0];
    }
    return total / 3;
}

} // namespace bench
