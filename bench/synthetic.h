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
// complete set of this version is already there, and copies the
// photographs of W1p (see photo_source()) into `folder`/W1p when they are
// installed; without them `folder`/W1p is removed.
void make_input_set(const std::string& folder);

// Where W1p's photographs come from: $ZUMO_BENCH_PHOTOS, or the nature
// photographs of Debian's package mate-backgrounds.
std::string photo_source();

} // namespace bench
