// The message a run of the window shows at its end for the files it did not
// rename. Header only: the drop run of the window uses it too.
#pragma once

#include "platform/shown_text.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace zumo {

inline constexpr std::size_t k_named_failures = 5;

// A file that was not renamed and why (empty when no reason is known).
struct NotRenamedFile
{
    std::string path;
    std::string reason;
};

// "N個のファイルをリネームできませんでした." and the first k_named_failures
// files, one a line ("path: reason", the path shown by its bytes), then
// "ほかM個" for the rest. Empty when there are none.
inline std::string RenameFailuresMessage(const std::vector<NotRenamedFile>& not_renamed)
{
    if (not_renamed.empty())
        return {};
    std::string text =
        std::to_string(not_renamed.size()) + "個のファイルをリネームできませんでした.";
    const std::size_t named = std::min(not_renamed.size(), k_named_failures);
    for (std::size_t i = 0; i < named; ++i) {
        text += "\n" + platform::shown_name(not_renamed[i].path);
        if (!not_renamed[i].reason.empty())
            text += ": " + not_renamed[i].reason;
    }
    if (not_renamed.size() > named)
        text += "\nほか" + std::to_string(not_renamed.size() - named) + "個";
    return text;
}

inline std::string RenameFailuresMessage(const std::vector<std::string>& not_renamed)
{
    std::vector<NotRenamedFile> files;
    for (const std::string& path : not_renamed)
        files.push_back({path, {}});
    return RenameFailuresMessage(files);
}

} // namespace zumo
