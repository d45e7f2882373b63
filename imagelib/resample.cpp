#include "imagelib/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZUMO_RESAMPLE_AVX2 1
#endif

namespace imgctl {
namespace {

constexpr int k_one = 1 << AxisTaps::k_tap_bits;
constexpr int k_half = k_one / 2;

double lanczos3(double x)
{
    x = std::abs(x);
    if (x < 1e-9)
        return 1.0;
    if (x >= 3.0)
        return 0.0;
    const double px = std::numbers::pi * x;
    return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

std::uint8_t clamp_byte(std::int32_t fixed)
{
    return static_cast<std::uint8_t>(std::clamp(fixed >> AxisTaps::k_tap_bits, 0, 255));
}

// Weights of one output pixel in double, folded onto the input range, then
// rounded to fixed point with the rounding error put on the largest weight
// so that they add up to exactly one: a flat picture stays exactly flat.
std::vector<int> fixed_weights(const std::vector<double>& weights)
{
    double sum = 0;
    for (const double w : weights)
        sum += w;
    std::vector<int> fixed(weights.size());
    int fixed_sum = 0;
    std::size_t largest = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        fixed[i] = static_cast<int>(std::lround(weights[i] / sum * k_one));
        fixed_sum += fixed[i];
        if (std::abs(weights[i]) > std::abs(weights[largest]))
            largest = i;
    }
    fixed[largest] += k_one - fixed_sum;
    return fixed;
}

template <int Channels>
void filter_line(const std::uint8_t* in, std::uint8_t* out, int out_cols, const AxisTaps& taps)
{
    for (int x = 0; x < out_cols; ++x) {
        const std::int16_t* weights = &taps.weights[static_cast<std::size_t>(x) * taps.count];
        const std::uint8_t* p = in + static_cast<std::ptrdiff_t>(taps.start[x]) * Channels;
        std::int32_t sum[Channels];
        for (int c = 0; c < Channels; ++c)
            sum[c] = k_half;
        for (int k = 0; k < taps.count; ++k, p += Channels) {
            const std::int32_t w = weights[k];
            for (int c = 0; c < Channels; ++c)
                sum[c] += w * p[c];
        }
        for (int c = 0; c < Channels; ++c)
            out[c] = clamp_byte(sum[c]);
        out += Channels;
    }
}

#if defined(__SSE2__)
// Three or four channels, two taps per step: the two pixels' channels are
// interleaved as 16-bit pairs and multiplied with the pair of weights in
// one madd, giving 32-bit sums per channel. Reads up to one pixel plus one
// byte past the window (the line buffer is padded; those taps weigh 0).
template <int Channels>
void filter_line_sse2(const std::uint8_t* in, std::uint8_t* out, int out_cols, const AxisTaps& taps)
{
    const __m128i zero = _mm_setzero_si128();
    for (int x = 0; x < out_cols; ++x) {
        const std::int16_t* weights = &taps.weights[static_cast<std::size_t>(x) * taps.count];
        const std::uint8_t* p = in + static_cast<std::ptrdiff_t>(taps.start[x]) * Channels;
        __m128i sum = _mm_set1_epi32(k_half);
        for (int k = 0; k < taps.count; k += 2, p += 2 * Channels) {
            std::int32_t a = 0, b = 0;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + Channels, 4);
            const __m128i pa = _mm_unpacklo_epi8(_mm_cvtsi32_si128(a), zero);
            const __m128i pb = _mm_unpacklo_epi8(_mm_cvtsi32_si128(b), zero);
            const std::uint32_t pair =
                static_cast<std::uint16_t>(weights[k]) |
                static_cast<std::uint32_t>(static_cast<std::uint16_t>(weights[k + 1])) << 16;
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(pa, pb),
                                                    _mm_set1_epi32(static_cast<int>(pair))));
        }
        const __m128i shifted = _mm_srai_epi32(sum, AxisTaps::k_tap_bits);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(shifted, zero), zero);
        const std::int32_t packed = _mm_cvtsi128_si32(bytes);
        std::memcpy(out, &packed, Channels);
        out += Channels;
    }
}
#endif

#if defined(ZUMO_RESAMPLE_AVX2)
bool has_avx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// One step of the line filter below: four taps of one output pixel.
__attribute__((target("avx2"))) inline __m256i tap_sums(const std::uint8_t* pixels,
                                                        const std::int16_t* weights, __m256i order)
{
    const __m256i both =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels)));
    const __m256i w =
        _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(weights)));
    return _mm256_madd_epi16(_mm256_shuffle_epi8(both, order), w);
}

// Two output pixels' channel sums, rounded, as bytes (`pack` drops the
// fourth channel where there are three).
__attribute__((target("avx2"))) inline __m128i rounded_bytes(__m256i a, __m256i b, __m128i pack)
{
    // Per half, a's pairs of sums added, then b's: c0 c1 in the low half,
    // c2 c3 in the high one; then a's four channels, b's four.
    const __m256i channels = _mm256_permutevar8x32_epi32(_mm256_hadd_epi32(a, b),
                                                         _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    const __m256i rounded = _mm256_srai_epi32(_mm256_add_epi32(channels, _mm256_set1_epi32(k_half)),
                                              AxisTaps::k_tap_bits);
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
    return _mm_shuffle_epi8(_mm_packus_epi16(words, words), pack);
}

// Three or four channels, four taps per step, two output pixels at a
// time. The sixteen bytes from the window's next pixel go to both halves
// of a register; one shuffle spreads taps k to k + 3 of the first two
// channels over the low half and of the others over the high half, as
// 16-bit values, so that one madd with the four weights repeated gives
// per channel the sums of taps k, k + 1 and of taps k + 2, k + 3. Reads up
// to sixteen bytes from the last step's first pixel (the line buffer is
// padded; those taps weigh 0). The tap count is a multiple of four.
template <int Channels>
__attribute__((target("avx2"))) void filter_line_avx2(const std::uint8_t* in, std::uint8_t* out,
                                                      int out_cols, const AxisTaps& taps)
{
    static_assert(Channels == 3 || Channels == 4);
    constexpr char C = Channels, none = -1;
    const __m256i order = _mm256_setr_epi8(
        0, none, C, none, 2 * C, none, 3 * C, none, 1, none, 1 + C, none, 1 + 2 * C, none,
        1 + 3 * C, none, 2, none, 2 + C, none, 2 + 2 * C, none, 2 + 3 * C, none, //
        Channels == 4 ? 3 : none, none, Channels == 4 ? 3 + C : none, none,
        Channels == 4 ? 3 + 2 * C : none, none, Channels == 4 ? 3 + 3 * C : none, none);
    // The two pixels' channels side by side, without the fourth of three.
    const __m128i pack = Channels == 3 ? _mm_setr_epi8(0, 1, 2, 4, 5, 6, none, none, none, none,
                                                       none, none, none, none, none, none)
                                       : _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, none, none, none,
                                                       none, none, none, none, none);
    const int count = taps.count;
    int x = 0;
    for (; x + 1 < out_cols; x += 2) {
        const std::int16_t* wa = &taps.weights[static_cast<std::size_t>(x) * count];
        const std::int16_t* wb = wa + count;
        const std::uint8_t* pa = in + static_cast<std::ptrdiff_t>(taps.start[x]) * Channels;
        const std::uint8_t* pb = in + static_cast<std::ptrdiff_t>(taps.start[x + 1]) * Channels;
        __m256i a = _mm256_setzero_si256(), b = _mm256_setzero_si256();
        for (int k = 0; k < count; k += 4) {
            a = _mm256_add_epi32(a, tap_sums(pa + k * Channels, wa + k, order));
            b = _mm256_add_epi32(b, tap_sums(pb + k * Channels, wb + k, order));
        }
        const __m128i bytes = rounded_bytes(a, b, pack);
        // Eight bytes at once where the row goes on past the pair: with
        // three channels the two beyond belong to the next pixel, which is
        // written later.
        if (Channels == 4 || x + 2 < out_cols)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        else
            std::memcpy(out, &bytes, 2 * Channels);
        out += 2 * Channels;
    }
    if (x < out_cols) {
        const std::int16_t* wa = &taps.weights[static_cast<std::size_t>(x) * count];
        const std::uint8_t* pa = in + static_cast<std::ptrdiff_t>(taps.start[x]) * Channels;
        __m256i a = _mm256_setzero_si256();
        for (int k = 0; k < count; k += 4)
            a = _mm256_add_epi32(a, tap_sums(pa + k * Channels, wa + k, order));
        const __m128i bytes = rounded_bytes(a, _mm256_setzero_si256(), pack);
        std::memcpy(out, &bytes, Channels);
    }
}
#endif

void filter_line(const std::uint8_t* in, std::uint8_t* out, int out_cols, int channels,
                 const AxisTaps& taps)
{
#if defined(ZUMO_RESAMPLE_AVX2)
    if (has_avx2() && taps.count % 4 == 0) {
        if (channels == 3) {
            filter_line_avx2<3>(in, out, out_cols, taps);
            return;
        }
        if (channels == 4) {
            filter_line_avx2<4>(in, out, out_cols, taps);
            return;
        }
    }
#endif
#if defined(__SSE2__)
    if (channels == 3) {
        filter_line_sse2<3>(in, out, out_cols, taps);
        return;
    }
    if (channels == 4) {
        filter_line_sse2<4>(in, out, out_cols, taps);
        return;
    }
#endif
    switch (channels) {
    case 1:
        filter_line<1>(in, out, out_cols, taps);
        break;
    case 3:
        filter_line<3>(in, out, out_cols, taps);
        break;
    default:
        filter_line<4>(in, out, out_cols, taps);
        break;
    }
}

// Zero weights added up to a multiple of `step` taps, so that the line
// filters can step two or four taps at a time.
AxisTaps padded_taps(AxisTaps taps, int step)
{
    const int count = (taps.count + step - 1) / step * step;
    if (count == taps.count)
        return taps;
    const std::size_t outputs = taps.start.size();
    std::vector<std::int16_t> weights(outputs * count, 0);
    for (std::size_t j = 0; j < outputs; ++j)
        std::copy_n(&taps.weights[j * taps.count], taps.count, &weights[j * count]);
    taps.weights = std::move(weights);
    taps.count = count;
    return taps;
}

// Taps a line filter steps through: four at a time where the processor
// has the wide filter, else two.
int tap_step()
{
#if defined(ZUMO_RESAMPLE_AVX2)
    if (has_avx2())
        return 4;
#endif
    return 2;
}

// One output row from the `count` input rows of its window: a weighted
// sum down each column, channels interleaved, so that one pass runs along
// whole rows of bytes.
// Weights k and k + 1 (0 past the last) as the 16-bit pair a madd takes.
inline int weight_pair(const std::int16_t* weights, int k, int count)
{
    const std::uint32_t high = k + 1 < count ? static_cast<std::uint16_t>(weights[k + 1]) : 0;
    return static_cast<int>(static_cast<std::uint16_t>(weights[k]) | high << 16);
}

#if defined(ZUMO_RESAMPLE_AVX2)
// The SSE2 step below on thirty-two values at a time; returns how many
// values it did. Within each 128-bit half the unpacks and packs work as
// the SSE2 ones, so the bytes come out in order.
__attribute__((target("avx2"))) int filter_window_avx2(const std::uint8_t* const* rows,
                                                       const std::int16_t* weights, int count,
                                                       int values, std::uint8_t* out)
{
    const __m256i zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 32 <= values; x += 32) {
        __m256i sums[4];
        for (__m256i& sum : sums)
            sum = _mm256_set1_epi32(k_half);
        for (int k = 0; k < count; k += 2) {
            const bool pair = k + 1 < count;
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + x));
            const __m256i b =
                pair ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + x)) : zero;
            const __m256i w = _mm256_set1_epi32(weight_pair(weights, k, count));
            const __m256i a_lo = _mm256_unpacklo_epi8(a, zero),
                          a_hi = _mm256_unpackhi_epi8(a, zero);
            const __m256i b_lo = _mm256_unpacklo_epi8(b, zero),
                          b_hi = _mm256_unpackhi_epi8(b, zero);
            sums[0] =
                _mm256_add_epi32(sums[0], _mm256_madd_epi16(_mm256_unpacklo_epi16(a_lo, b_lo), w));
            sums[1] =
                _mm256_add_epi32(sums[1], _mm256_madd_epi16(_mm256_unpackhi_epi16(a_lo, b_lo), w));
            sums[2] =
                _mm256_add_epi32(sums[2], _mm256_madd_epi16(_mm256_unpacklo_epi16(a_hi, b_hi), w));
            sums[3] =
                _mm256_add_epi32(sums[3], _mm256_madd_epi16(_mm256_unpackhi_epi16(a_hi, b_hi), w));
        }
        for (__m256i& sum : sums)
            sum = _mm256_srai_epi32(sum, AxisTaps::k_tap_bits);
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(sums[0], sums[1]),
                                                  _mm256_packs_epi32(sums[2], sums[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), bytes);
    }
    return x;
}
#endif

void filter_window(const std::uint8_t* const* rows, const std::int16_t* weights, int count,
                   int values, std::uint8_t* out)
{
    int x = 0;
#if defined(ZUMO_RESAMPLE_AVX2)
    if (has_avx2())
        x = filter_window_avx2(rows, weights, count, values, out);
#endif
#if defined(__SSE2__)
    // Sixteen values and two rows per step: the rows' bytes are
    // interleaved as 16-bit pairs and multiplied with the pair of weights
    // in one madd.
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= values; x += 16) {
        __m128i sums[4];
        for (__m128i& sum : sums)
            sum = _mm_set1_epi32(k_half);
        for (int k = 0; k < count; k += 2) {
            const bool pair = k + 1 < count;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + x));
            const __m128i b =
                pair ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + x)) : zero;
            const __m128i w = _mm_set1_epi32(weight_pair(weights, k, count));
            const __m128i a_lo = _mm_unpacklo_epi8(a, zero), a_hi = _mm_unpackhi_epi8(a, zero);
            const __m128i b_lo = _mm_unpacklo_epi8(b, zero), b_hi = _mm_unpackhi_epi8(b, zero);
            sums[0] = _mm_add_epi32(sums[0], _mm_madd_epi16(_mm_unpacklo_epi16(a_lo, b_lo), w));
            sums[1] = _mm_add_epi32(sums[1], _mm_madd_epi16(_mm_unpackhi_epi16(a_lo, b_lo), w));
            sums[2] = _mm_add_epi32(sums[2], _mm_madd_epi16(_mm_unpacklo_epi16(a_hi, b_hi), w));
            sums[3] = _mm_add_epi32(sums[3], _mm_madd_epi16(_mm_unpackhi_epi16(a_hi, b_hi), w));
        }
        for (__m128i& sum : sums)
            sum = _mm_srai_epi32(sum, AxisTaps::k_tap_bits);
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(sums[0], sums[1]), _mm_packs_epi32(sums[2], sums[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), bytes);
    }
#endif
    for (; x < values; ++x) {
        std::int32_t sum = k_half;
        for (int k = 0; k < count; ++k)
            sum += weights[k] * rows[k][x];
        out[x] = clamp_byte(sum);
    }
}

// Whole factor of the box shrink: leaves at least twice the target for the
// Lanczos step, which needs that room to suppress aliasing well.
int box_factor(int in_length, int out_length)
{
    return std::max(1, in_length / out_length / 2);
}

} // namespace

AxisTaps lanczos3_taps(int in_length, int out_length, double scale)
{
    const double widen = std::max(1.0, scale);
    const double support = 3.0 * widen;
    const int longest = std::min(in_length, static_cast<int>(std::floor(2 * support)) + 1);
    AxisTaps taps;
    taps.count = longest;
    taps.start.resize(static_cast<std::size_t>(out_length));
    taps.weights.assign(static_cast<std::size_t>(out_length) * longest, 0);
    std::vector<double> folded;
    for (int j = 0; j < out_length; ++j) {
        const double centre = (j + 0.5) * scale - 0.5;
        const int first = static_cast<int>(std::ceil(centre - support));
        const int last = static_cast<int>(std::floor(centre + support));
        const int lo = std::clamp(first, 0, in_length - 1);
        const int hi = std::clamp(last, 0, in_length - 1);
        folded.assign(static_cast<std::size_t>(hi - lo + 1), 0.0);
        for (int i = first; i <= last; ++i)
            folded[static_cast<std::size_t>(std::clamp(i, lo, hi) - lo)] +=
                lanczos3((i - centre) / widen);
        // Keep every window inside the input, so that the filters read
        // `count` pixels from `start` without a bounds check.
        const int start = std::min(lo, in_length - longest);
        taps.start[static_cast<std::size_t>(j)] = start;
        const std::vector<int> fixed = fixed_weights(folded);
        std::int16_t* row = &taps.weights[static_cast<std::size_t>(j) * longest];
        for (std::size_t i = 0; i < fixed.size(); ++i)
            row[static_cast<std::size_t>(lo - start) + i] = static_cast<std::int16_t>(fixed[i]);
    }
    return taps;
}

RowResampler::RowResampler(cv::Size in, int type, cv::Size out)
    : RowResampler(in, type, out, static_cast<double>(in.width) / out.width,
                   static_cast<double>(in.height) / out.height)
{
}

RowResampler::RowResampler(cv::Size in, int type, cv::Size out, double scale_x, double scale_y)
    : m_in(in), m_channels(CV_MAT_CN(type)), m_rows(lanczos3_taps(in.height, out.height, scale_y)),
      m_same_width(in.width == out.width && scale_x == 1.0), m_out(out, type)
{
    CV_Assert(CV_MAT_DEPTH(type) == CV_8U && in.width > 0 && in.height > 0 && out.width > 0 &&
              out.height > 0);
    if (!m_same_width) {
        m_columns = padded_taps(lanczos3_taps(in.width, out.width, scale_x), tap_step());
        // Room for what the steps read past a window at the end of the
        // line: the padded taps, and up to sixteen bytes from the last
        // step's first pixel.
        m_line.resize(static_cast<std::size_t>(in.width + 8) * m_channels);
    }
    m_window.resize(static_cast<std::size_t>(m_rows.count));
}

// The last `count` input rows are kept; an output row is made as soon as
// the last row of its window has come.
void RowResampler::add_row(const std::uint8_t* row)
{
    CV_Assert(m_next_in < m_in.height);
    const int i = m_next_in++;
    const std::size_t values = static_cast<std::size_t>(m_in.width) * m_channels;
    if (m_recent.empty())
        m_recent.resize(static_cast<std::size_t>(m_rows.count) * values);
    std::copy_n(row, values, &m_recent[static_cast<std::size_t>(i % m_rows.count) * values]);
    while (m_next_out < m_out.rows &&
           m_rows.start[static_cast<std::size_t>(m_next_out)] + m_rows.count - 1 <= i) {
        const int y = m_next_out++;
        const int start = m_rows.start[static_cast<std::size_t>(y)];
        for (int k = 0; k < m_rows.count; ++k)
            m_window[static_cast<std::size_t>(k)] =
                &m_recent[static_cast<std::size_t>((start + k) % m_rows.count) * values];
        make_row(y);
    }
}

void RowResampler::add_all_rows(const cv::Mat& pixels)
{
    CV_Assert(m_next_in == 0 && pixels.size() == m_in && pixels.channels() == m_channels &&
              pixels.depth() == CV_8U);
    m_next_in = m_in.height;
    for (; m_next_out < m_out.rows; ++m_next_out) {
        const int start = m_rows.start[static_cast<std::size_t>(m_next_out)];
        for (int k = 0; k < m_rows.count; ++k)
            m_window[static_cast<std::size_t>(k)] = pixels.ptr<std::uint8_t>(start + k);
        make_row(m_next_out);
    }
}

void RowResampler::make_row(int y)
{
    const std::size_t values = static_cast<std::size_t>(m_in.width) * m_channels;
    std::uint8_t* line = m_same_width ? m_out.ptr<std::uint8_t>(y) : m_line.data();
    filter_window(m_window.data(), &m_rows.weights[static_cast<std::size_t>(y) * m_rows.count],
                  m_rows.count, static_cast<int>(values), line);
    if (!m_same_width)
        filter_line(line, m_out.ptr<std::uint8_t>(y), m_out.cols, m_channels, m_columns);
}

cv::Mat resample_lanczos3(const cv::Mat& pixels, cv::Size size)
{
    CV_Assert(pixels.depth() == CV_8U && !pixels.empty() && size.width > 0 && size.height > 0);
    const int bx = box_factor(pixels.cols, size.width);
    const int by = box_factor(pixels.rows, size.height);
    cv::Mat work = pixels;
    if (bx > 1 || by > 1) {
        // Whole blocks only, so that OpenCV takes its fast integer path; the
        // few rows and columns left over at the far edges are dropped.
        const cv::Size shrunk(pixels.cols / bx, pixels.rows / by);
        cv::resize(pixels(cv::Rect(0, 0, shrunk.width * bx, shrunk.height * by)), work, shrunk, 0,
                   0, cv::INTER_AREA);
    }
    RowResampler resampler(work.size(), work.type(), size,
                           static_cast<double>(pixels.cols) / size.width / bx,
                           static_cast<double>(pixels.rows) / size.height / by);
    resampler.add_all_rows(work);
    return resampler.result();
}

} // namespace imgctl
