// Helpers shared by the picture library's tests: temporary folders,
// deterministic pictures, files written byte by byte.
#pragma once

#include "imagelib/imgctl.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace imgtest {

// A fresh folder per test, removed afterwards.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return (m_dir / name).string(); }
    std::vector<std::string> entries() const;

private:
    std::filesystem::path m_dir;
};

// Releases a handle on every way out of a test.
class Handle
{
public:
    explicit Handle(imgctl::HDIB dib) : m_dib(dib) {}
    ~Handle()
    {
        if (m_dib != 0)
            imgctl::DeleteDIB(m_dib);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    imgctl::HDIB get() const { return m_dib; }
    operator imgctl::HDIB() const { return m_dib; }

private:
    imgctl::HDIB m_dib;
};

// Smooth gradients, soft blobs and fine grain: compresses and filters like
// a photograph. Deterministic for a given seed. BGR.
cv::Mat photo(int width, int height, std::uint64_t seed = 1);

// A picture whose four corners carry distinct colours (BGR): top-left red,
// top-right green, bottom-left blue, bottom-right white, the rest grey.
cv::Mat corner_marked(int width, int height);

// Mean absolute difference per channel of two BGR(A) pictures of one size.
double mean_abs_diff(const cv::Mat& a, const cv::Mat& b);

// A handle's pixels as a BGRA matrix.
cv::Mat pixels_of(imgctl::HDIB dib);

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_bytes(const std::string& path);

// Writes a picture with the library's own encoders (BGR or BGRA).
void save_png(const std::string& path, const cv::Mat& colour);
void save_jpeg(const std::string& path, const cv::Mat& bgr, int quality = 90);
void save_bmp(const std::string& path, const cv::Mat& colour);

// Little-endian byte string builder for hand-made files.
struct Bytes
{
    std::vector<std::uint8_t> data;
    Bytes& u8(unsigned v);
    Bytes& u16(unsigned v);
    Bytes& u32(std::uint32_t v);
    Bytes& raw(const std::vector<std::uint8_t>& bytes);
    Bytes& text(const char* s);
};

// BMP file header + BITMAPINFOHEADER (40 bytes) + extra (masks, palette) +
// pixel bits. The pixel offset points right after `extra`.
std::vector<std::uint8_t> make_bmp(std::int32_t width, std::int32_t height, int bit_count,
                                   std::uint32_t compression,
                                   const std::vector<std::uint8_t>& extra,
                                   const std::vector<std::uint8_t>& bits,
                                   std::uint32_t colours_used = 0);

} // namespace imgtest
