// The message a run of the window shows at its end for the files it did not
// rename. Header only: the drop run of the window uses it too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace zumo {

inline constexpr std::size_t k_named_failures = 5;

// "N個のファイルをリネームできませんでした." and the first k_named_failures
// paths, one a line, then "ほかM個" for the rest. Empty when there are none.
inline std::string RenameFailuresMessage(const std::vector<std::string>& not_renamed)
{
    if (not_renamed.empty())
        return {};
    std::string text =
        std::to_string(not_renamed.size()) + "個のファイルをリネームできませんでした.";
    const std::size_t named = std::min(not_renamed.size(), k_named_failures);
    for (std::size_t i = 0; i < named; ++i)
        text += "\n" + not_renamed[i];
    if (not_renamed.size() > named)
        text += "\nほか" + std::to_string(not_renamed.size() - named) + "個";
    return text;
}

} // namespace zumo
