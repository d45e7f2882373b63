// The benchmark's workloads: each runs one picture from file to file
// through the imgctl functions, as a conversion does.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

struct Workload
{
    const char* name;
    const char* description;
    const char* output_extension;
    void (*run)(const char* input, const char* output);
    bool scored; // a reduction whose outputs are scored with SSIM
};

const std::vector<Workload>& workloads();
const Workload* find_workload(const std::string& name);

struct Figures
{
    std::string workload;
    int pictures = 0;
    double median_ms = 0;     // wall time per picture
    double median_cpu_ms = 0; // processor time per picture (user and system)
    double mean_ms = 0;
    double mean_output_kb = 0;
    double peak_mb = 0;
};

// Runs the workload on every file of `input_folder` (sorted by name),
// writing into `output_folder`. With `per_picture` prints one line per file.
Figures run_workload(const Workload& workload, const std::string& input_folder,
                     const std::string& output_folder, bool per_picture);

std::string summary_line(const Figures& figures);

// The regular files of a folder, sorted by name, without hidden ones.
std::vector<std::filesystem::path> pictures_in(const std::string& folder);

} // namespace bench
