// The first free numbered name of a run, found at a cost that does not grow
// with the numbers already taken.
#pragma once

#include "platform/file_ops.h"

#include <functional>
#include <map>
#include <string>
#include <variant>

namespace zumo {

// Gives exactly the names MakeNumberedName gives (folder + lead + the first
// free number "0001".."9999" + ext, or "FULL" when all are taken) for the
// folder as the name test sees it, but remembers, per folder, lead and
// extension, the first number its last search found free. Every number below
// it was taken then and stays taken: others may add files meanwhile, which
// only moves the answer further on, and what the run itself removes it
// reports through Freed. So a run of n files costs about n + (numbers taken
// at the start) name tests instead of n times that.
//
// A number freed by someone else during the run is not seen again until the
// next run; the run then goes on after it, as if that file were still there.
class NumberedNames
{
public:
    // taken(path): the name cannot be had. A real run asks the file system
    // (anything but a folder takes a name); a dry run asks its own view.
    using NameTaken = std::function<bool(const std::string& path)>;
    explicit NumberedNames(NameTaken taken = platform::non_folder_exists);

    // folder ends with the separator or is empty; ext with or without its dot.
    std::string Next(const std::string& folder, const std::string& lead, const std::string& ext);

    // The name Next gives when all 9999 numbers are taken ("newFULL.jpg").
    static std::string Full(const std::string& folder, const std::string& lead,
                            const std::string& ext);

    // The run removed path (moved it away): when it holds a number of a
    // remembered search (letter case aside, for file systems that ignore
    // it), that number is searched again.
    void Freed(const std::string& path);

private:
    // The folder by identity where it exists, so that two spellings of one
    // folder share what is known of it; by its path where it does not yet.
    using FolderKey = std::variant<platform::FileId, std::string>;
    struct Key
    {
        FolderKey folder;
        std::string lead; // the name's part before the number
        std::string ext;  // with its dot, or empty
        auto operator<=>(const Key&) const = default;
    };
    static FolderKey folder_key(const std::string& folder);

    NameTaken m_taken;
    std::map<Key, int> m_first_free; // 1..9999, or 10000 when all were taken
};

} // namespace zumo
