// The runs of the rename tab: over files picked in the open dialog, and
// over the ticked lines of a folder listing; and the listing itself. Each
// run hands its files one by one to FormFileRe under the progress dialog,
// with a fresh option snapshot per file, and ends with the end signal.
#pragma once

#include "convert/check_list.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "shell/FindFile.h"

#include <functional>
#include <string>
#include <vector>

namespace zumo {

// RenameFileList: asks "N個のファイルを処理します. よろしいですか?" first;
// a refusal processes nothing but still gives the end signal. A cancel in
// the progress dialog ends the run after the current file, without the end
// signal. Files that were not renamed are named in one message once the
// dialog has gone (also after a cancel), before the end signal.
void RenameFileList(OptionSource& options, UserHost& host, const std::vector<std::string>& files);

// Button9Click's run over the ticked lines, without a question. The folder
// is asked of listing_folder afresh for every ticked line (the folder
// dialog may have been used in between); when it no longer names an
// existing folder the line is skipped, never looked up in the working
// directory. Unticked lines advance the progress too. Files that were not
// renamed are named at the end as in RenameFileList.
void RenameCheckedList(OptionSource& options, UserHost& host, const CheckListSource& list,
                       const std::function<std::string()>& listing_folder);

// FindFile3 as the rename tab uses it: no masks, the chosen folder only,
// no time filter.
void SetUpFindFile3(TFindFile& finder);

struct RenameListing
{
    std::vector<std::string> Names; // bare names, in the order found
    int FoundCount = 0;
};

// Button10Click's listing of folder with FindFile3. process_messages runs
// before every directory entry (may be empty).
RenameListing ListRenameFolder(const std::string& folder,
                               const std::function<void()>& process_messages);

// Label7's text after a listing: "12 Files.".
std::string FoundFilesLabel(int found_count);

} // namespace zumo
