// zumo-bench: times the picture library's workloads.
//
//   zumo-bench                      make the test pictures (once) and run every
//                                   workload, each in a fresh process, printing
//                                   a table of median ms per picture, output
//                                   size, peak resident memory and, for the
//                                   reductions, the mean SSIM (bench/README.md)
//   zumo-bench W1 DIR [--out OUT] [--summary]
//                                   run one workload on every picture of DIR
//   zumo-bench --make-inputs DIR    write the test pictures to DIR/W1 ... DIR/W6
//                                   and copy the photographs to DIR/W1p
//   zumo-bench --score DIR OUT...   print the mean SSIM of the reductions in
//                                   each OUT against the reference of DIR
//
// Everything runs on one thread, as the peers in bench/peers.sh do: OpenCV
// is set to one thread and OMP_NUM_THREADS=1 is put in the environment for
// libimagequant's OpenMP before it starts.
#include "imagelib/memory_reuse.h"
#include "score.h"
#include "synthetic.h"
#include "workloads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string self_path()
{
    std::error_code error;
    const fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string("zumo-bench") : path.string();
}

// libgomp reads OMP_NUM_THREADS when it is loaded, before main: set it and
// start again.
void pin_to_one_thread(char** argv)
{
    if (std::getenv("OMP_NUM_THREADS") == nullptr) {
        setenv("OMP_NUM_THREADS", "1", 1);
        execv(self_path().c_str(), argv);
    }
    cv::setNumThreads(1);
}

int usage()
{
    std::fprintf(stderr,
                 "usage: zumo-bench [W1..W6 DIR [--out OUT] [--summary] | --make-inputs DIR |\n"
                 "                   --score DIR OUT...]\n");
    return 2;
}

struct TempFolder
{
    TempFolder()
    {
        std::string templ = (fs::temp_directory_path() / "zumo-bench-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        path = templ;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

int run_one(const std::vector<std::string>& args)
{
    const bench::Workload* workload = bench::find_workload(args[0]);
    if (workload == nullptr || args.size() < 2)
        return usage();
    std::string out;
    bool summary_only = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size())
            out = args[++i];
        else if (args[i] == "--summary")
            summary_only = true;
        else
            return usage();
    }
    TempFolder temp;
    if (out.empty())
        out = temp.path;
    fs::create_directories(out);
    const bench::Figures figures = bench::run_workload(*workload, args[1], out, !summary_only);
    std::printf("%s\n", bench::summary_line(figures).c_str());
    return 0;
}

std::string default_picture_folder()
{
    return (fs::path(self_path()).parent_path().parent_path() / "bench-pictures").string();
}

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? "'\\''"s : std::string(1, c);
    return out + "'";
}

// Runs this program with `arguments` and returns the first line it prints,
// or an empty string when it failed.
std::string run_self(const std::string& arguments)
{
    const std::string command = quoted(self_path()) + " " + arguments;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    char line[512] = "";
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = pclose(pipe);
    return read && status == 0 ? line : "";
}

// Each workload in its own process, so that its peak memory is its own.
bool run_child(const std::string& workload, const std::string& inputs, const std::string& out,
               bench::Figures& figures)
{
    const std::string line =
        run_self(workload + " " + quoted(inputs) + " --out " + quoted(out) + " --summary");
    char name[16] = "";
    return std::sscanf(line.c_str(),
                       "%15s pictures=%d median_ms=%lf mean_ms=%lf output_kb=%lf peak_mb=%lf "
                       "median_cpu_ms=%lf",
                       name, &figures.pictures, &figures.median_ms, &figures.mean_ms,
                       &figures.mean_output_kb, &figures.peak_mb, &figures.median_cpu_ms) == 7;
}

// Scored in another process too: the reference needs far more memory than
// the workload, and must not count in its peak.
std::string score_child(const std::string& inputs, const std::string& out)
{
    double ssim = 0;
    if (std::sscanf(run_self("--score " + quoted(inputs) + " " + quoted(out)).c_str(), "ssim=%lf",
                    &ssim) != 1)
        return "failed";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", ssim);
    return text;
}

int run_all()
{
    const std::string folder = default_picture_folder();
    bench::make_input_set(folder);
    std::printf("zumo-bench: single-threaded, pictures in %s\n\n", folder.c_str());
    std::printf("%-4s %-62s %5s %10s %10s %10s %10s %8s\n", "", "workload", "pics", "median ms",
                "cpu ms", "output kB", "peak MB", "SSIM");
    int failures = 0;
    for (const bench::Workload& w : bench::workloads()) {
        const std::string inputs = folder + "/" + w.name;
        if (!fs::is_directory(inputs)) {
            std::printf("%-4s %-62s skipped: no photographs in %s (install the Debian package "
                        "mate-backgrounds, see bench/README.md)\n",
                        w.name, w.description, bench::photo_source().c_str());
            continue;
        }
        TempFolder out;
        bench::Figures f;
        if (!run_child(w.name, inputs, out.path, f)) {
            std::printf("%-4s %-62s failed\n", w.name, w.description);
            ++failures;
            continue;
        }
        const std::string ssim = w.scored ? score_child(inputs, out.path) : "-";
        failures += ssim == "failed" ? 1 : 0;
        std::printf("%-4s %-62s %5d %10.1f %10.1f %10.1f %10.1f %8s\n", w.name, w.description,
                    f.pictures, f.median_ms, f.median_cpu_ms, f.mean_output_kb, f.peak_mb,
                    ssim.c_str());
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

int score(const std::vector<std::string>& args)
{
    const std::vector<std::string> outputs(args.begin() + 2, args.end());
    const std::vector<double> scores = bench::score_folders(args[1], outputs);
    for (std::size_t i = 0; i < scores.size(); ++i)
        std::printf("%sssim=%.5f", i == 0 ? "" : " ", scores[i]);
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    pin_to_one_thread(argv);
    imgctl::reuse_freed_memory(); // as the program does
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty())
            return run_all();
        if (args[0] == "--score" && args.size() >= 3)
            return score(args);
        if (args[0] == "--make-inputs" && args.size() == 2) {
            bench::make_input_set(args[1]);
            return 0;
        }
        return run_one(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zumo-bench: %s\n", error.what());
        return 1;
    }
}
