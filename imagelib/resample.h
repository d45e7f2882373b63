// Reduction of 8-bit pictures (CV_8UC1/3/4) the way photographs need it:
// a Lanczos3 filter widened to the reduction, so that fine detail neither
// aliases (as with point or bilinear sampling) nor goes soft (as with a box
// or area filter over the whole reduction). Pictures in memory that are
// more than twice the target take a cheap whole-factor box shrink first.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace imgctl {

// Fixed-point filter taps of one axis: output pixel j reads `count` input
// pixels from `start[j]` with weights `weights[j * count ...]` that add up
// to exactly 1 << k_tap_bits. Taps that fall outside the input are folded
// onto the edge pixel (the edge is repeated).
struct AxisTaps
{
    static constexpr int k_tap_bits = 14;
    std::vector<int> start;
    std::vector<std::int16_t> weights;
    int count = 0;
};

// Lanczos3 taps from `in_length` input pixels to `out_length` outputs.
// `scale` is the input pixels per output pixel (in_length / out_length
// unless the input was box-shrunk beforehand); pixel centres line up as
// (j + 0.5) * scale - 0.5. Reductions widen the kernel by the scale;
// enlargements interpolate with the plain kernel.
AxisTaps lanczos3_taps(int in_length, int out_length, double scale);

// Lanczos3 from rows handed in one at a time, top to bottom, so that a
// decoder can feed it without holding the whole picture: only the input
// rows of one output row's window are kept. Each output row is filtered
// down its columns, then along the row.
class RowResampler
{
public:
    // `type` is CV_8UC1, CV_8UC3 or CV_8UC4.
    RowResampler(cv::Size in, int type, cv::Size out);
    RowResampler(cv::Size in, int type, cv::Size out, double scale_x, double scale_y);

    // Adds the next input row (in.width pixels).
    void add_row(const std::uint8_t* row);
    // Takes every input row of a picture held whole, in place (no copy),
    // instead of add_row.
    void add_all_rows(const cv::Mat& pixels);
    // The output, once every input row was added.
    const cv::Mat& result() const { return m_out; }

private:
    // Output row y from the input rows m_window points at.
    void make_row(int y);

    cv::Size m_in;
    int m_channels;
    AxisTaps m_rows;
    AxisTaps m_columns;
    bool m_same_width;
    int m_next_in = 0;
    int m_next_out = 0;
    std::vector<std::uint8_t> m_recent; // add_row: the last m_rows.count input rows
    std::vector<const std::uint8_t*> m_window;
    std::vector<std::uint8_t> m_line;
    cv::Mat m_out;
};

// Box shrink by whole factors while more than twice the target, then
// Lanczos3 to `size`. Any mix of reduction and enlargement per axis is
// allowed. Colour values are filtered as stored (premultiply transparent
// pictures first).
cv::Mat resample_lanczos3(const cv::Mat& pixels, cv::Size size);

} // namespace imgctl
