// Deterministic photograph-like test pictures: smooth shading, soft-edged
// shapes, hard edges and sensor-like grain, so that codecs and filters meet
// the statistics of real photographs.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace bench {

cv::Mat synthetic_photo(int width, int height, std::uint64_t seed);

// Writes the input set of every workload into `folder`/W1 ... W6 unless a
// complete set of this version is already there.
void make_input_set(const std::string& folder);

} // namespace bench
