// Scores reduced pictures against the float Lanczos3 reference of their
// full-size source (see reference.h).
#pragma once

#include <string>
#include <vector>

namespace bench {

// For each folder of `outputs`: the mean SSIM over the pictures of
// `input_folder`, each matched with the output of the same name stem (any
// extension). Every picture is read through the picture library, the
// reference at the output's own size. Throws when an output is missing.
std::vector<double> score_folders(const std::string& input_folder,
                                  const std::vector<std::string>& outputs);

} // namespace bench
