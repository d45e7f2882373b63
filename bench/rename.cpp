// zumo-bench-rename: times a numbered copy-and-rename run against a plain
// copy of the same files.
//
//   zumo-bench-rename [FILES [ROUNDS]]   FILES sources (default 10000) are
//                                        copied by FormFileRe, as a run of the
//                                        rename tab does, into a folder that
//                                        already holds new0001 .. new5000 of
//                                        each extension; the same files are
//                                        then copied under their own names
//                                        into a folder holding the same, with
//                                        the same file primitive. ROUNDS
//                                        (default 5) alternate the two; the
//                                        medians and their ratio are printed.
//   zumo-bench-rename --from-start FILES
//                                        one round in which every file searches
//                                        its number from 0001 again, as
//                                        MakeNumberedName alone does
//
// Numbers end at 9999 per extension, so 10,000 files cannot all follow
// 0001..5000 of one extension: the sources are JPEG, PNG, GIF and BMP files
// in turn, 2,500 of each, and every extension starts at 5001. The folders
// lie under $TMPDIR (default /tmp); the sources are 8 KiB each.
#include "platform/file_ops.h"
#include "rename/FileRename.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int k_taken = 5000; // new0001 .. new5000 of each extension are there at the start
constexpr const char* k_extensions[] = {".jpg", ".png", ".gif", ".bmp"};
constexpr int k_extension_count = 4;
constexpr std::size_t k_file_size = 8192;

struct TempFolder
{
    TempFolder()
    {
        std::string templ = (fs::temp_directory_path() / "zumo-bench-rename-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        path = templ + "/";
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

std::string numbered(int n, const char* ext)
{
    char name[32];
    std::snprintf(name, sizeof name, "new%.04d%s", n, ext);
    return name;
}

void fill_taken(const std::string& folder)
{
    for (const char* ext : k_extensions) {
        for (int n = 1; n <= k_taken; ++n)
            std::ofstream(folder + numbered(n, ext), std::ios::binary) << "taken";
    }
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Empties folder except the names keep says to keep.
template <class Keep> void prune(const std::string& folder, Keep keep)
{
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!keep(entry.path().filename().string()))
            fs::remove(entry.path());
    }
}

bool is_taken_at_start(const std::string& name)
{
    return name.size() == 11 && name.compare(0, 3, "new") == 0 && name.compare(3, 4, "FULL") != 0 &&
           std::atoi(name.substr(3, 4).c_str()) <= k_taken;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One run of the rename tab over sources into out. shared: one RenameRun
// for the whole run, as the runs hand it on; otherwise every file starts
// afresh, as a search from 0001 for every file did.
double rename_round(const std::vector<std::string>& sources, const std::string& out, bool shared)
{
    zumo::OptionSnapshot options;
    options.CheckBox8 = true; // into the output folder
    options.Edit8 = out;
    zumo::RenameRun run;
    int failed = 0;
    const auto start = Clock::now();
    for (const std::string& source : sources) {
        if (zumo::FormFileRe(options, source, shared ? &run : nullptr) != zumo::RenameResult::Done)
            ++failed;
    }
    const double seconds = seconds_since(start);
    const int last =
        k_taken + static_cast<int>(sources.size() + k_extension_count - 1) / k_extension_count;
    if (failed > 0 || !platform::file_exists(out + numbered(last, k_extensions[0])) ||
        platform::file_exists(out + numbered(last + 1, k_extensions[0])))
        throw std::runtime_error("the rename run did not number the files as expected");
    return seconds;
}

double copy_round(const std::vector<std::string>& sources, const std::string& out)
{
    const auto start = Clock::now();
    for (const std::string& source : sources) {
        if (!platform::copy_file(source, out + fs::path(source).filename().string(),
                                 platform::IfExists::Fail))
            throw std::runtime_error("a plain copy failed");
    }
    return seconds_since(start);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double peak_mb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

int run(int files, int rounds, bool from_start)
{
    TempFolder temp;
    const std::string sources_folder = temp.path + "sources/";
    const std::string out = temp.path + "out/";
    const std::string plain = temp.path + "plain/";
    for (const std::string& folder : {sources_folder, out, plain})
        fs::create_directory(folder);
    std::vector<std::string> sources;
    std::string content(k_file_size, '\0');
    for (int i = 0; i < files; ++i) {
        for (std::size_t b = 0; b < content.size(); ++b)
            content[b] = static_cast<char>((i * 31 + b * 7) & 0xFF);
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%05d%s", i + 1, k_extensions[i % k_extension_count]);
        sources.push_back(sources_folder + name);
        write_file(sources.back(), content);
    }
    fill_taken(out);
    fill_taken(plain);
    std::printf("zumo-bench-rename: %d files of %zu bytes (jpg, png, gif, bmp in turn) into %s,\n"
                "which holds new0001..new%04d of each extension; the plain copy goes into a\n"
                "folder holding the same\n",
                files, k_file_size, out.c_str(), k_taken);

    std::vector<double> renamed;
    std::vector<double> copied;
    double memory_after_first = 0;
    // Each timed part starts with the disk caught up, so that neither pays
    // for the writing the other left behind.
    for (int r = 0; r < rounds; ++r) {
        ::sync();
        renamed.push_back(rename_round(sources, out, !from_start));
        prune(out, is_taken_at_start);
        if (r == 0)
            memory_after_first = peak_mb();
        ::sync();
        copied.push_back(copy_round(sources, plain));
        prune(plain, is_taken_at_start);
        std::printf("  round %d: rename %.3f s, plain copy %.3f s\n", r + 1, renamed.back(),
                    copied.back());
        std::fflush(stdout);
    }
    const double zumo = median(renamed);
    const double copy = median(copied);
    std::printf("R1   copy-and-rename %d files%s: median %.3f s (%.1f us per file); plain copy "
                "%.3f s; ratio %.2f; peak MB %.1f after round 1, %.1f at the end\n",
                files, from_start ? " (every search from 0001)" : "", zumo, zumo * 1e6 / files,
                copy, zumo / copy, memory_after_first, peak_mb());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc >= 2 && std::string(argv[1]) == "--from-start")
            return run(argc >= 3 ? std::atoi(argv[2]) : 10000, 1, true);
        const int files = argc >= 2 ? std::atoi(argv[1]) : 10000;
        const int rounds = argc >= 3 ? std::atoi(argv[2]) : 5;
        if (files <= 0 || files > (9999 - k_taken) * k_extension_count || rounds <= 0) {
            std::fprintf(stderr,
                         "usage: zumo-bench-rename [FILES [ROUNDS]] | --from-start FILES\n"
                         "       (FILES at most %d)\n",
                         (9999 - k_taken) * k_extension_count);
            return 2;
        }
        return run(files, rounds, false);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zumo-bench-rename: %s\n", error.what());
        return 1;
    }
}
