#include "imagelib/colour.h"

#include "imagelib/metadata.h"

#include <algorithm>

namespace imgctl {

static_assert(decoders::k_max_profile_bytes == k_max_icc_bytes);

cv::Mat to_srgb8(const cv::Mat& pixels, std::span<const std::uint8_t> icc,
                 const std::optional<decoders::Nclx>& nclx)
{
    CV_Assert(pixels.depth() == CV_8U || pixels.depth() == CV_16U);
    CV_Assert(pixels.channels() >= 1 && pixels.channels() <= 4);
    const decoders::SrgbConverter converter(icc, nclx, pixels.channels(),
                                            pixels.depth() == CV_16U ? 16 : 8);
    if (!converter.converts() || pixels.empty()) {
        if (pixels.depth() == CV_8U)
            return pixels;
        cv::Mat out;
        pixels.convertTo(out, CV_8U, 1.0 / 257.0);
        return out;
    }
    cv::Mat out(pixels.rows, pixels.cols, CV_MAKETYPE(CV_8U, pixels.channels()));
    // Bands of rows over OpenCV's threads: a 12 MP photo is 36 million
    // samples. The converter is shared read-only between threads.
    constexpr double k_band_pixels = 1 << 18;
    cv::parallel_for_(
        cv::Range(0, pixels.rows),
        [&](const cv::Range& rows) {
            converter.convert(pixels.ptr(rows.start), pixels.step[0], out.ptr(rows.start),
                              out.step[0], pixels.cols, rows.end - rows.start);
        },
        std::max(1.0, static_cast<double>(pixels.total()) / k_band_pixels));
    return out;
}

std::vector<std::uint8_t> bmp_embedded_profile(std::span<const std::uint8_t> file)
{
    constexpr std::size_t k_info = 14;
    constexpr std::size_t k_v5_size = 124;
    constexpr std::uint32_t k_profile_embedded = 0x4D424544; // 'MBED'
    const auto le32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 |
               std::uint32_t{file[at + 2]} << 16 | std::uint32_t{file[at + 3]} << 24;
    };
    if (file.size() < k_info + k_v5_size || le32(k_info) < k_v5_size ||
        le32(k_info + 56) != k_profile_embedded)
        return {};
    // The profile's offset counts from the start of the info header.
    const std::uint64_t offset = k_info + std::uint64_t{le32(k_info + 112)};
    const std::uint64_t size = le32(k_info + 116);
    if (size == 0 || size > k_max_icc_bytes || offset + size > file.size())
        return {};
    return {file.begin() + static_cast<std::ptrdiff_t>(offset),
            file.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

} // namespace imgctl
