#include "workloads.h"

#include "imagelib/imgctl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <stdexcept>

#include <sys/resource.h>
#include <time.h>

namespace bench {
namespace {

namespace fs = std::filesystem;
using namespace imgctl;

HDIB load(const char* input)
{
    const HDIB dib = ToDIB(input);
    if (dib == 0)
        throw std::runtime_error(std::string(input) + ": cannot load");
    return dib;
}

void w1(const char* in, const char* out)
{
    const HDIB dib = load(in);
    TurnDIB(dib, 0);
    ResizeDIB(dib, -1, 960);
    DIBtoJPG(out, dib, 92, 0);
    DeleteDIB(dib);
}

void w2(const char* in, const char* out)
{
    const HDIB dib = load(in);
    TurnDIB(dib, 90);
    DIBtoPNG(out, dib, 0);
    DeleteDIB(dib);
}

void w3(const char* in, const char* out)
{
    const HDIB dib = load(in);
    DIBto8Bit(dib, 0, 0);
    DIBtoGIF(out, dib, 0);
    DeleteDIB(dib);
}

void w4(const char* in, const char* out)
{
    const HDIB dib = load(in);
    TurnDIBex(dib, 30000, 0x000000);
    ResizeDIB(dib, -1, 480);
    DIBtoJPG(out, dib, 92, 0);
    DeleteDIB(dib);
}

void w5(const char* in, const char* out)
{
    const HDIB dib = GIFtoDIB(in);
    if (dib == 0)
        throw std::runtime_error(std::string(in) + ": cannot load");
    DIBtoBMP(out, dib);
    DeleteDIB(dib);
}

void w6(const char* in, const char* out)
{
    const HDIB dib = load(in);
    DIBtoPNG(out, dib, -1);
    DeleteDIB(dib);
}

double peak_mb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Processor time of the process: on a loaded machine the wall time grows
// with the other processes' share, the processor time much less.
double cpu_ms()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

std::vector<fs::path> pictures_in(const std::string& folder)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

const std::vector<Workload>& workloads()
{
    static const std::vector<Workload> table = {
        {"W1", "6000x4000 JPEG, turn 0, height 960, JPEG 92", ".jpg", w1, true},
        {"W1p", "photographs (JPEG, 1.3-4.9 MP), turn 0, height 960, JPEG 92", ".jpg", w1, true},
        {"W7", "photographs as 12 MP HEIC, height 960, JPEG 92", ".jpg", w1, true},
        {"W8", "photographs as WebP, height 960, JPEG 92", ".jpg", w1, true},
        {"W9", "photographs as JPEG XL, height 960, JPEG 92", ".jpg", w1, true},
        {"W10", "photographs as 16-bit Adobe RGB TIFF, height 960, JPEG 92", ".jpg", w1, true},
        {"W2", "1600x1200 JPEG, turn 90, PNG", ".png", w2, false},
        {"W3", "1600x1200 PNG, 8 bit, GIF", ".gif", w3, false},
        {"W4", "1600x1200 JPEG, turn 30 deg over black, height 480, JPEG 92", ".jpg", w4, false},
        {"W5", "640x480 GIF, BMP", ".bmp", w5, false},
        {"W6", "1600x1200 JPEG, interlaced PNG", ".png", w6, false},
    };
    return table;
}

const Workload* find_workload(const std::string& name)
{
    for (const Workload& w : workloads()) {
        if (name == w.name)
            return &w;
    }
    return nullptr;
}

Figures run_workload(const Workload& workload, const std::string& input_folder,
                     const std::string& output_folder, bool per_picture)
{
    std::vector<double> times;
    std::vector<double> cpu_times;
    std::uintmax_t output_bytes = 0;
    for (const fs::path& input : pictures_in(input_folder)) {
        const fs::path output =
            fs::path(output_folder) / input.stem().concat(workload.output_extension);
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_ms();
        workload.run(input.c_str(), output.c_str());
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        times.push_back(took.count());
        cpu_times.push_back(cpu_ms() - cpu_start);
        const std::uintmax_t size = fs::file_size(output);
        output_bytes += size;
        if (per_picture)
            std::printf("%s %s ms=%.1f cpu_ms=%.1f output_kb=%.1f\n", workload.name,
                        input.filename().c_str(), took.count(), cpu_times.back(), size / 1024.0);
    }
    Figures figures;
    figures.workload = workload.name;
    figures.pictures = static_cast<int>(times.size());
    if (!times.empty()) {
        figures.median_ms = median(times);
        figures.median_cpu_ms = median(cpu_times);
        figures.mean_ms =
            std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size());
        figures.mean_output_kb =
            static_cast<double>(output_bytes) / 1024.0 / static_cast<double>(times.size());
    }
    figures.peak_mb = peak_mb();
    return figures;
}

std::string summary_line(const Figures& f)
{
    char line[240];
    std::snprintf(line, sizeof line,
                  "%s pictures=%d median_ms=%.1f mean_ms=%.1f output_kb=%.1f peak_mb=%.1f "
                  "median_cpu_ms=%.1f",
                  f.workload.c_str(), f.pictures, f.median_ms, f.mean_ms, f.mean_output_kb,
                  f.peak_mb, f.median_cpu_ms);
    return line;
}

} // namespace bench
