#include "support.h"

#include "imagelib/atomic_file.h"
#include "imagelib/bmp_writer.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/png_codec.h"

#include <fstream>
#include <random>

#include <opencv2/imgproc.hpp>

namespace imgtest {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "imagelib-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_dir = templ;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

cv::Mat photo(int width, int height, std::uint64_t seed)
{
    cv::RNG rng(seed);
    cv::Mat coarse(std::max(2, height / 64), std::max(2, width / 64), CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat out;
    cv::resize(coarse, out, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    for (int i = 0; i < 12; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const int radius = rng.uniform(2, std::max(3, std::min(width, height) / 6));
        cv::circle(out, centre, radius,
                   cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)),
                   cv::FILLED, cv::LINE_AA);
    }
    cv::GaussianBlur(out, out, cv::Size(0, 0), 1.5);
    cv::Mat grain(height, width, CV_8UC3);
    rng.fill(grain, cv::RNG::NORMAL, 0, 4);
    cv::Mat signed_out;
    out.convertTo(signed_out, CV_16SC3);
    cv::Mat signed_grain;
    grain.convertTo(signed_grain, CV_16SC3);
    signed_out += signed_grain;
    signed_out.convertTo(out, CV_8UC3);
    return out;
}

cv::Mat corner_marked(int width, int height)
{
    cv::Mat out(height, width, CV_8UC3, cv::Scalar(128, 128, 128));
    out.at<cv::Vec3b>(0, 0) = {0, 0, 255};
    out.at<cv::Vec3b>(0, width - 1) = {0, 255, 0};
    out.at<cv::Vec3b>(height - 1, 0) = {255, 0, 0};
    out.at<cv::Vec3b>(height - 1, width - 1) = {255, 255, 255};
    return out;
}

double mean_abs_diff(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    const cv::Scalar per_channel = cv::mean(diff);
    double sum = 0;
    for (int c = 0; c < a.channels(); ++c)
        sum = std::max(sum, per_channel[c]);
    return sum;
}

cv::Mat pixels_of(imgctl::HDIB dib)
{
    const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
    std::vector<std::uint8_t> bytes = imgctl::GetDIBPixels(dib);
    return cv::Mat(info.height, info.width, CV_8UC4, bytes.data()).clone();
}

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void save_png(const std::string& path, const cv::Mat& colour)
{
    imgctl::AtomicFile out(path);
    imgctl::encode_png(out, colour, imgctl::Interlace::Off);
    out.commit();
}

void save_jpeg(const std::string& path, const cv::Mat& bgr, int quality)
{
    imgctl::AtomicFile out(path);
    imgctl::encode_jpeg(out, bgr, quality);
    out.commit();
}

void save_bmp(const std::string& path, const cv::Mat& colour)
{
    imgctl::AtomicFile out(path);
    imgctl::encode_bmp(out, colour);
    out.commit();
}

Bytes& Bytes::u8(unsigned v)
{
    data.push_back(static_cast<std::uint8_t>(v));
    return *this;
}

Bytes& Bytes::u16(unsigned v)
{
    return u8(v & 0xFF).u8((v >> 8) & 0xFF);
}

Bytes& Bytes::u32(std::uint32_t v)
{
    return u16(v & 0xFFFF).u16(v >> 16);
}

Bytes& Bytes::raw(const std::vector<std::uint8_t>& bytes)
{
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes& Bytes::text(const char* s)
{
    while (*s != '\0')
        u8(static_cast<unsigned char>(*s++));
    return *this;
}

std::vector<std::uint8_t> make_bmp(std::int32_t width, std::int32_t height, int bit_count,
                                   std::uint32_t compression,
                                   const std::vector<std::uint8_t>& extra,
                                   const std::vector<std::uint8_t>& bits,
                                   std::uint32_t colours_used)
{
    const auto offset = static_cast<std::uint32_t>(14 + 40 + extra.size());
    Bytes b;
    b.text("BM").u32(offset + static_cast<std::uint32_t>(bits.size())).u32(0).u32(offset);
    b.u32(40)
        .u32(static_cast<std::uint32_t>(width))
        .u32(static_cast<std::uint32_t>(height))
        .u16(1)
        .u16(static_cast<unsigned>(bit_count));
    b.u32(compression)
        .u32(static_cast<std::uint32_t>(bits.size()))
        .u32(2835)
        .u32(2835)
        .u32(colours_used)
        .u32(0);
    b.raw(extra).raw(bits);
    return b.data;
}

} // namespace imgtest
