#include "score.h"

#include "reference.h"
#include "workloads.h"

#include "imagelib/imgctl.h"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <tuple>

#include <opencv2/imgproc.hpp>

namespace bench {
namespace {

namespace fs = std::filesystem;

// The picture as the library loads it, fully decoded, as BGR in sRGB: a
// source or an output that carries another profile (an Adobe RGB TIFF, a
// JPEG that kept it) is compared in the colours it shows.
cv::Mat load_bgr(const fs::path& path)
{
    imgctl::LoadOptions options;
    options.colour = imgctl::Colour::ToSrgb;
    const imgctl::HDIB dib = imgctl::ToDIBex(path.c_str(), options);
    if (dib == 0)
        throw std::runtime_error(path.string() + ": cannot load");
    const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
    std::vector<std::uint8_t> bgra = imgctl::GetDIBPixels(dib);
    imgctl::DeleteDIB(dib);
    cv::Mat bgr;
    cv::cvtColor(cv::Mat(info.height, info.width, CV_8UC4, bgra.data()), bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

fs::path output_for(const fs::path& input, const fs::path& folder)
{
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().stem() == input.stem())
            return entry.path();
    }
    throw std::runtime_error(folder.string() + ": no output for " + input.filename().string());
}

} // namespace

std::vector<double> score_folders(const std::string& input_folder,
                                  const std::vector<std::string>& outputs)
{
    std::vector<double> sums(outputs.size(), 0.0);
    const std::vector<fs::path> inputs = pictures_in(input_folder);
    for (const fs::path& input : inputs) {
        const cv::Mat full = load_bgr(input);
        std::map<std::tuple<int, int>, cv::Mat> references;
        for (std::size_t o = 0; o < outputs.size(); ++o) {
            const cv::Mat reduced = load_bgr(output_for(input, outputs[o]));
            cv::Mat& reference = references[{reduced.cols, reduced.rows}];
            if (reference.empty())
                reference = reference_lanczos3(full, reduced.size());
            sums[o] += mean_ssim(reduced, reference);
        }
    }
    for (double& sum : sums)
        sum /= static_cast<double>(std::max<std::size_t>(1, inputs.size()));
    return sums;
}

} // namespace bench
