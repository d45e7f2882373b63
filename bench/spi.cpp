// zumo-bench-spi: what running the plug-ins in helper processes costs.
//
//   S1  the preview's decode of a 2 MP PNG through png.spi (TSPIBitmap
//       from the file), in the program and through its helper (already
//       running, as after the first preview of a session); the first use,
//       which starts the helper, is printed apart; then the same for an
//       8 MP PNG (S1d, S1e), and how many of the helper's pictures came
//       back in shared memory rather than in the pipe.
//   S2  the start-up search of 10 plug-ins (copies of the shipped ones in a
//       folder of their own): in the program, and through helpers with
//       every plug-in's information in the cache (read back from the file,
//       as a new start does), where no helper may start.
//
//   zumo-bench-spi [REPEATS]    median ms over REPEATS runs (default 15)
#include "synthetic.h"

#include "imagelib/atomic_file.h"
#include "imagelib/memory_reuse.h"
#include "imagelib/png_codec.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double median_ms(int repeats, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int run = 0; run < repeats; ++run) {
        const auto start = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

double once_ms(const std::function<void()>& work)
{
    return median_ms(1, work);
}

fs::path plugin_folder()
{
    return fs::read_symlink("/proc/self/exe").parent_path() / "spi";
}

void preview(const std::string& path, int width)
{
    zumo::TSPIBitmap bitmap;
    bitmap.LoadFromFile(path);
    if (bitmap.Width() != width)
        throw std::runtime_error("png.spi gave a picture of another size");
}

void print(const char* id, const char* what, double ms)
{
    std::printf("%-4s %-66s %10.1f\n", id, what, ms);
    std::fflush(stdout);
}

void bench_preview(const fs::path& work, int repeats)
{
    struct Size
    {
        int width, height;
        const char* in_id;
        const char* helper_id;
        const char* name;
    };
    const Size sizes[] = {{1633, 1225, "S1a", "S1b", "2 MP PNG (1633x1225)"},
                          {3266, 2450, "S1d", "S1e", "8 MP PNG (3266x2450)"}};
    const int shared_before = zumo::PicturesInSharedMemory();
    int through_helper = 0;
    for (const Size& size : sizes) {
        const std::string png = (work / "s1.png").string();
        {
            imgctl::AtomicFile out(png);
            imgctl::encode_png(out, bench::synthetic_photo(size.width, size.height, 7),
                               imgctl::Interlace::Off);
            out.commit();
        }
        double in_process = 0, helper = 0;
        for (zumo::SPIHosting hosting : {zumo::SPIHosting::InProcess, zumo::SPIHosting::Helper}) {
            zumo::SetSPIHosting(hosting);
            zumo::TSPIs spis;
            spis.Add(zumo::OpenSPI((plugin_folder() / "png.spi").string()));
            const bool in = hosting == zumo::SPIHosting::InProcess;
            const double first = once_ms([&] { preview(png, size.width); });
            const double ms = median_ms(repeats, [&] { preview(png, size.width); });
            (in ? in_process : helper) = ms;
            if (!in)
                through_helper += repeats + 1;
            const std::string what = std::string(size.name) + " through png.spi, " +
                                     (in ? "in the program" : "its helper running");
            print(in ? size.in_id : size.helper_id, what.c_str(), ms);
            if (!in && &size == &sizes[0])
                print("S1c", "2 MP PNG through png.spi, first use (starts the helper)", first);
        }
        std::printf("     %s: helper - in the program: %+.1f ms (target <= +20 ms)\n", size.name,
                    helper - in_process);
    }
    std::printf("     pictures from the helper in shared memory: %d of %d\n",
                zumo::PicturesInSharedMemory() - shared_before, through_helper);
}

void bench_start(const fs::path& work, int repeats)
{
    const fs::path folder = work / "plugins";
    fs::create_directories(folder);
    const char* shipped[] = {"png", "gif", "webp", "tiff"};
    for (int i = 0; i < 10; ++i)
        fs::copy_file(plugin_folder() / (std::string(shipped[i % 4]) + ".spi"),
                      folder / ("p" + std::to_string(i) + ".spi"));
    const std::string mask = (folder / "*").string();
    auto search = [&] {
        zumo::TSPIs spis;
        spis.SearchSPI(mask);
        if (spis.Count() != 10)
            throw std::runtime_error("not all 10 plug-ins were found");
    };

    zumo::SetSPIHosting(zumo::SPIHosting::InProcess);
    const double in_process = median_ms(repeats, search);
    print("S2a", "start-up search of 10 plug-ins, in the program", in_process);

    zumo::SetSPIHosting(zumo::SPIHosting::Helper);
    const std::string cache = (work / "cache" / "spi-info.cache").string();
    zumo::SetSPIInfoCacheFile(cache);
    print("S2b", "the same through helpers, first start (fills the cache)", once_ms(search));
    const int before = zumo::HelpersStarted();
    const double cached = median_ms(repeats, [&] {
        zumo::SetSPIInfoCacheFile(cache); // read back from the file
        search();
    });
    print("S2c", "the same through helpers, information cached", cached);
    std::printf("     helpers started with the cache: %d (target 0); cached - in the program: "
                "%+.1f ms (target <= +5 ms)\n",
                zumo::HelpersStarted() - before, cached - in_process);
}

} // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 15;
    imgctl::reuse_freed_memory(); // as the program does
    std::error_code ignored;
    const fs::path work = fs::temp_directory_path() /
                          ("zumo-bench-spi-" + std::to_string(static_cast<long>(::getpid())));
    fs::remove_all(work, ignored);
    fs::create_directories(work);
    int status = 0;
    try {
        std::printf("\n%-4s %-66s %10s\n", "", "plug-ins in helper processes", "median ms");
        bench_preview(work, repeats);
        bench_start(work, repeats);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zumo-bench-spi: %s\n", error.what());
        status = 1;
    }
    fs::remove_all(work, ignored);
    return status;
}
