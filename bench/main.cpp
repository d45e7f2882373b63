// zumo-bench: times the picture library's workloads.
//
//   zumo-bench                      make the test pictures (once) and run every
//                                   workload, each in a fresh process, printing
//                                   a table of median ms per picture and peak
//                                   resident memory
//   zumo-bench W1 DIR [--out OUT] [--summary]
//                                   run one workload on every picture of DIR
//   zumo-bench --make-inputs DIR    write the test pictures to DIR/W1 ... DIR/W6
//
// Everything runs on one thread, as the peers in bench/peers.sh do: OpenCV
// is set to one thread and OMP_NUM_THREADS=1 is put in the environment for
// libimagequant's OpenMP before it starts.
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
                 "usage: zumo-bench [W1..W6 DIR [--out OUT] [--summary] | --make-inputs DIR]\n");
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

// Each workload in its own process, so that its peak memory is its own.
bool run_child(const std::string& workload, const std::string& folder, bench::Figures& figures)
{
    std::string command = "'";
    for (const std::string& part : {self_path(), "' "s + workload, " '"s + folder, "/"s + workload})
        command += part;
    command += "' --summary";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    char line[256] = "";
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = pclose(pipe);
    char name[16] = "";
    return read && status == 0 &&
           std::sscanf(line, "%15s pictures=%d median_ms=%lf mean_ms=%lf output_kb=%lf peak_mb=%lf",
                       name, &figures.pictures, &figures.median_ms, &figures.mean_ms,
                       &figures.mean_output_kb, &figures.peak_mb) == 6;
}

int run_all()
{
    const std::string folder = default_picture_folder();
    bench::make_input_set(folder);
    std::printf("zumo-bench: single-threaded, pictures in %s\n\n", folder.c_str());
    std::printf("%-4s %-62s %5s %10s %10s %10s\n", "", "workload", "pics", "median ms", "output kB",
                "peak MB");
    int failures = 0;
    for (const bench::Workload& w : bench::workloads()) {
        bench::Figures f;
        if (!run_child(w.name, folder, f)) {
            std::printf("%-4s %-62s failed\n", w.name, w.description);
            ++failures;
            continue;
        }
        std::printf("%-4s %-62s %5d %10.1f %10.1f %10.1f\n", w.name, w.description, f.pictures,
                    f.median_ms, f.mean_output_kb, f.peak_mb);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    pin_to_one_thread(argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty())
            return run_all();
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
