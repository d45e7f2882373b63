// The rename engine's single-file operation: a new path from the rename
// options, then a copy or a move of the file to it. The content is never
// touched; only name, extension and folder change. Failures are silent for
// the user; the result lets an unattended run compute its exit status.
#pragma once

#include "convert/options.h"
#include "platform/file_ops.h"
#include "rename/RenameJournal.h"

#include <string>

namespace zumo {

enum class RenameResult {
    Done,    // copied or moved
    Skipped, // nothing to do safely: no output folder chosen, no mode
             // selected, or a move onto the source itself
    Failed,  // the copy or move failed (target exists, source gone, ...)
};

enum class Overwrite { No, Yes };

// Renames, copies or moves file_name under the rename options
// (RadioGroup3 naming mode, Edit5 leading string, Edit6 extension,
// RadioGroup4 copy or move, CheckBox4 overwrite, CheckBox8 + Edit8 output
// folder, CheckBox2 subfolder "rename"). Only regular files are renamed.
// made_by_run, when given, holds the files the same run made so far: a
// target among them is never replaced (the file fails and that target
// stays), and the new file is added to it. Overwriting never replaces a
// read-only file either. journal, when given, records the copy or move
// before it starts and its result after, and the subfolder "rename" when
// this call made it.
RenameResult FormFileRe(const OptionSnapshot& options, const std::string& file_name,
                        platform::FileSet* made_by_run = nullptr, RenameJournal* journal = nullptr);

// folder + lead + the first free number "0001".."9999" + ext. folder ends
// with the separator or is empty; ext may come with or without its dot.
// When all 9999 names exist: folder + lead + "FULL" + ext, existing or not.
std::string MakeNumberedName(const std::string& folder, const std::string& lead,
                             const std::string& ext);

// Copies source to target; without overwrite it fails when target exists,
// with it an existing target is replaced. Copying a file onto itself fails
// and leaves it intact. The source is never changed.
bool CopyFileAs(const std::string& source, const std::string& target, Overwrite overwrite);

// Moves source to target; without overwrite it fails when target exists,
// with it (and an existing source) an existing target is replaced. A target
// that is the source itself fails and keeps the source.
bool MoveFileAs(const std::string& source, const std::string& target, Overwrite overwrite);

} // namespace zumo
