// The listing's folder search over the project's file finder: FindFile1
// and FindFile2 are TFindFile objects searching one folder, without its
// subfolders, by the masks of the listing.
#pragma once

#include "app/core/Listing.h"
#include "shell/FindFile.h"

namespace zumo {

// A FolderSearch that runs finder (the window's FindFile1 or FindFile2).
// finder must outlive the returned function.
inline FolderSearch find_file_search(TFindFile& finder)
{
    return [&finder](const std::string& folder, const std::vector<std::string>& masks,
                     const std::function<void(const std::string&)>& found) {
        finder.FolderName = folder;
        finder.IsFindSub = false;
        finder.SetFileMask(masks);
        // FindFile1Find: only the bare name is used; the search never stops
        // early.
        finder.OnFind = [&found](const std::string& name, const std::string&, TSearchRec, bool&) {
            found(name);
        };
        finder.Execute();
        finder.OnFind = nullptr;
    };
}

} // namespace zumo
