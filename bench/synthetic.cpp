#include "synthetic.h"

#include "imagelib/atomic_file.h"
#include "imagelib/imgctl.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/png_codec.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <opencv2/imgproc.hpp>

namespace bench {
namespace {

namespace fs = std::filesystem;

// Bump when the pictures change, so that old sets are made again.
constexpr const char* k_set_version = "zumo-bench pictures v1";

void add_shading(cv::Mat& out, cv::RNG& rng)
{
    cv::Mat coarse(std::max(2, out.rows / 200), std::max(2, out.cols / 200), CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 20, 236);
    cv::resize(coarse, out, out.size(), 0, 0, cv::INTER_CUBIC);
}

void add_shapes(cv::Mat& out, cv::RNG& rng)
{
    const int side = std::min(out.cols, out.rows);
    for (int i = 0; i < 40; ++i) {
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        const cv::Point a(rng.uniform(0, out.cols), rng.uniform(0, out.rows));
        if (i % 3 == 0) {
            const cv::Point b(a.x + rng.uniform(-side / 4, side / 4),
                              a.y + rng.uniform(-side / 4, side / 4));
            cv::rectangle(out, a, b, colour, cv::FILLED, cv::LINE_AA);
        } else if (i % 3 == 1) {
            cv::circle(out, a, rng.uniform(side / 60 + 1, side / 8 + 2), colour, cv::FILLED,
                       cv::LINE_AA);
        } else {
            const cv::Point b(rng.uniform(0, out.cols), rng.uniform(0, out.rows));
            cv::line(out, a, b, colour, std::max(1, side / 300), cv::LINE_AA);
        }
    }
    // Lens softness: no edge is perfectly sharp in a photograph.
    cv::GaussianBlur(out, out, cv::Size(0, 0), std::max(0.8, side / 1500.0));
}

// Luminance-weighted grain, as a sensor at moderate ISO gives.
void add_grain(cv::Mat& out, cv::RNG& rng)
{
    cv::Mat grain(out.rows, out.cols, CV_16SC1);
    rng.fill(grain, cv::RNG::NORMAL, 0, 3.0);
    cv::Mat grain3;
    cv::merge(std::vector<cv::Mat>{grain, grain, grain}, grain3);
    cv::Mat wide;
    out.convertTo(wide, CV_16SC3);
    wide += grain3;
    wide.convertTo(out, CV_8UC3);
}

void save_jpeg(const std::string& path, const cv::Mat& bgr)
{
    imgctl::AtomicFile out(path);
    imgctl::encode_jpeg(out, bgr, 92);
    out.commit();
}

void save_png(const std::string& path, const cv::Mat& bgr)
{
    imgctl::AtomicFile out(path);
    imgctl::encode_png(out, bgr, imgctl::Interlace::Off);
    out.commit();
}

void save_gif(const std::string& path, const cv::Mat& bgr)
{
    const std::string png = path + ".tmp.png";
    save_png(png, bgr);
    const imgctl::HDIB dib = imgctl::ToDIB(png.c_str());
    imgctl::DIBtoGIF(path.c_str(), dib, 0);
    imgctl::DeleteDIB(dib);
    fs::remove(png);
}

struct SetPart
{
    const char* workload;
    int count;
    int width;
    int height;
    const char* extension;
    void (*save)(const std::string&, const cv::Mat&);
};

constexpr SetPart k_parts[] = {
    {"W1", 5, 6000, 4000, ".jpg", save_jpeg}, {"W2", 8, 1600, 1200, ".jpg", save_jpeg},
    {"W3", 6, 1600, 1200, ".png", save_png},  {"W4", 8, 1600, 1200, ".jpg", save_jpeg},
    {"W5", 30, 640, 480, ".gif", save_gif},   {"W6", 8, 1600, 1200, ".jpg", save_jpeg},
};

bool set_is_complete(const fs::path& folder)
{
    std::ifstream stamp(folder / "VERSION");
    std::string line;
    return std::getline(stamp, line) && line == k_set_version;
}

bool is_jpeg_name(const fs::path& path)
{
    std::string extension = path.extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".jpg" || extension == ".jpeg";
}

// Copied afresh each time: a dozen files, and the set follows the package.
void copy_photo_set(const fs::path& folder)
{
    const fs::path target = folder / "W1p";
    fs::remove_all(target);
    std::error_code error;
    if (!fs::is_directory(photo_source(), error))
        return;
    fs::create_directories(target);
    for (const auto& entry : fs::directory_iterator(photo_source())) {
        if (entry.is_regular_file() && is_jpeg_name(entry.path()))
            fs::copy_file(entry.path(), target / entry.path().filename());
    }
}

} // namespace

std::string photo_source()
{
    const char* chosen = std::getenv("ZUMO_BENCH_PHOTOS");
    return chosen != nullptr && *chosen != '\0' ? chosen : "/usr/share/backgrounds/mate/nature";
}

cv::Mat synthetic_photo(int width, int height, std::uint64_t seed)
{
    cv::RNG rng(seed);
    cv::Mat out(height, width, CV_8UC3);
    add_shading(out, rng);
    add_shapes(out, rng);
    add_grain(out, rng);
    return out;
}

void make_input_set(const std::string& folder_name)
{
    const fs::path folder(folder_name);
    fs::create_directories(folder);
    copy_photo_set(folder);
    if (set_is_complete(folder))
        return;
    std::fprintf(stderr, "Making the test pictures in %s ...\n", folder_name.c_str());
    std::uint64_t seed = 1;
    for (const SetPart& part : k_parts) {
        const fs::path dir = folder / part.workload;
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (int i = 0; i < part.count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "pic%02d%s", i + 1, part.extension);
            part.save((dir / name).string(), synthetic_photo(part.width, part.height, seed++));
        }
    }
    std::ofstream(folder / "VERSION") << k_set_version << "\n";
}

} // namespace bench
