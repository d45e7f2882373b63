#include "imagelib/transform.h"

#include "imagelib/limits.h"
#include "imagelib/resample.h"

#include <cmath>
#include <numbers>

#include <opencv2/imgproc.hpp>

namespace imgctl {
namespace {

// Filtering straight alpha mixes the colour of invisible pixels into their
// visible neighbours (dark fringes around transparent areas); filtering is
// done on premultiplied colour instead.
void premultiply(cv::Mat& bgra)
{
    for (int y = 0; y < bgra.rows; ++y) {
        std::uint8_t* p = bgra.ptr<std::uint8_t>(y);
        for (int x = 0; x < bgra.cols; ++x, p += 4) {
            const unsigned a = p[3];
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>((p[c] * a + 127) / 255);
        }
    }
}

void unpremultiply(cv::Mat& bgra)
{
    for (int y = 0; y < bgra.rows; ++y) {
        std::uint8_t* p = bgra.ptr<std::uint8_t>(y);
        for (int x = 0; x < bgra.cols; ++x, p += 4) {
            const unsigned a = p[3];
            if (a == 0 || a == 255)
                continue;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>(std::min(255u, (p[c] * 255 + a / 2) / a));
        }
    }
}

bool is_right_angle(double degrees)
{
    const double quarters = degrees / 90.0;
    return std::abs(quarters - std::round(quarters)) < 1e-9;
}

} // namespace

cv::Mat turn_quarters(const cv::Mat& pixels, int quarters)
{
    quarters = ((quarters % 4) + 4) % 4;
    if (quarters == 0)
        return pixels;
    static constexpr cv::RotateFlags flags[] = {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180,
                                                cv::ROTATE_90_COUNTERCLOCKWISE};
    cv::Mat out;
    cv::rotate(pixels, out, flags[quarters - 1]);
    return out;
}

cv::Size turned_size(int width, int height, double degrees)
{
    const double radians = degrees * std::numbers::pi / 180.0;
    const double c = std::abs(std::cos(radians));
    const double s = std::abs(std::sin(radians));
    // The small allowance keeps rounding noise from adding a pixel.
    const int w = static_cast<int>(std::ceil(width * c + height * s - 1e-6));
    const int h = static_cast<int>(std::ceil(width * s + height * c - 1e-6));
    return {std::max(w, 1), std::max(h, 1)};
}

cv::Mat turn_any(const cv::Mat& colour, double degrees, COLORREF background, cv::Size canvas)
{
    degrees = std::fmod(degrees, 360.0);
    if (is_right_angle(degrees) && canvas.empty())
        return turn_quarters(colour, static_cast<int>(std::lround(degrees / 90.0)));
    const cv::Size size = canvas.empty() ? turned_size(colour.cols, colour.rows, degrees) : canvas;
    // The canvas grows by up to 41% per side; it must still fit the limits.
    check_dimensions("TurnDIBex", size.width, size.height);
    const double radians = degrees * std::numbers::pi / 180.0;
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    // Clockwise on screen, where y grows downwards, maps (x, y) about the
    // centre to (x c - y s, x s + y c).
    const double sx = (colour.cols - 1) / 2.0, sy = (colour.rows - 1) / 2.0;
    const double dx = (size.width - 1) / 2.0, dy = (size.height - 1) / 2.0;
    const cv::Matx23d forward(c, -s, dx - (c * sx - s * sy), s, c, dy - (s * sx + c * sy));
    const cv::Scalar fill(static_cast<double>((background >> 16) & 0xFF),
                          static_cast<double>((background >> 8) & 0xFF),
                          static_cast<double>(background & 0xFF), 255.0);
    cv::Mat source = colour;
    if (colour.channels() == 4) {
        source = colour.clone();
        premultiply(source);
    }
    cv::Mat out;
    cv::warpAffine(source, out, forward, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    if (out.channels() == 4)
        unpremultiply(out);
    return out;
}

cv::Mat resize_colour(const cv::Mat& colour, cv::Size size)
{
    if (size == colour.size())
        return colour;
    const bool enlarges = size.width >= colour.cols && size.height >= colour.rows;
    cv::Mat source = colour;
    if (colour.channels() == 4) {
        source = colour.clone();
        premultiply(source);
    }
    cv::Mat out;
    if (enlarges)
        cv::resize(source, out, size, 0, 0, cv::INTER_CUBIC);
    else
        out = resample_lanczos3(source, size);
    if (out.channels() == 4)
        unpremultiply(out);
    return out;
}

} // namespace imgctl
