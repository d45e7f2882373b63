// The rename engine's single-file operation: a new path from the rename
// options, then a copy or a move of the file to it. The content is never
// touched; only name, extension and folder change. Failures are silent for
// the user; the result lets an unattended run compute its exit status.
#pragma once

#include "convert/options.h"
#include "platform/file_ops.h"
#include "platform/write_rule.h"
#include "rename/NumberedNames.h"
#include "rename/RenameJournal.h"

#include <optional>
#include <string>

namespace zumo {

enum class RenameResult {
    Done,    // copied or moved
    Skipped, // nothing to do safely: no output folder chosen, no mode
             // selected, or a move onto the source itself
    Failed,  // the copy or move failed (target exists, source gone, ...)
};

enum class Overwrite { No, Yes };
enum class Transfer { Copy = 0, Move = 1 }; // RadioGroup4

// What one run shares between its FormFileRe calls (and the conversions of
// a drop or command-line run, which share Files).
struct RenameRun
{
    // The files the run made so far and its inputs still to come: a target
    // among them is never replaced (the file fails and that target stays).
    platform::RunFiles Files;
    // Where each numbered search of the run ended.
    NumberedNames Numbers;
    // Records every copy or move before it starts and its result after, and
    // the subfolder "rename" when the run made it; none when null.
    RenameJournal* Journal = nullptr;
    // Why the last file that failed did so, for the run's list of failures.
    std::string LastFailure;
};

// Renames, copies or moves file_name under the rename options
// (RadioGroup3 naming mode, Edit5 leading string, Edit6 extension,
// RadioGroup4 copy or move, CheckBox4 overwrite, CheckBox8 + Edit8 output
// folder, CheckBox2 subfolder "rename"). Only regular files are renamed.
// run, when given, is what the calling run shares between its files: its
// own files are never replaced, the new file joins them, and numbered names
// continue where the run's last search ended, and its journal hears of the
// copy or move. Overwriting never replaces a read-only file, nor an input
// of the run whose turn has not come.
RenameResult FormFileRe(const OptionSnapshot& options, const std::string& file_name,
                        RenameRun* run = nullptr);

// The file system as FormFileRe's plan sees it: the real one with the run's
// sets, or a dry run's, which lays what its earlier files would make or move
// away over the real one.
using RenameView = platform::FileView;

// What FormFileRe is going to do with one file. result is Done when the
// copy or move is to be tried; Skipped or Failed when that was decided
// without touching a file, with the reason in why. Every check of the write
// rule (platform/write_rule.h) is made here, so a dry run that plans with
// its own view comes to the run's verdict.
struct RenamePlan
{
    RenameResult result = RenameResult::Done;
    std::string why;
    std::string target;
    Transfer transfer = Transfer::Copy;
    Overwrite overwrite = Overwrite::No;
    std::string new_folder; // the subfolder "rename", to be created first
    // What a numbered target is made of (NumberedNames::Next's arguments):
    // such a name is taken exclusively whatever the overwrite option, and a
    // number another program takes meanwhile gives way to the next free one.
    struct Numbered
    {
        std::string folder, lead, ext;
    };
    std::optional<Numbered> numbered;
};

// The plan for file_name under options, as view sees the files; the
// numbered name comes from numbers. Changes nothing on disk.
RenamePlan PlanFileRe(const OptionSnapshot& options, const std::string& file_name,
                      NumberedNames& numbers, const RenameView& view);

// folder + lead + the first free number "0001".."9999" + ext. folder ends
// with the separator or is empty; ext may come with or without its dot.
// When all 9999 names exist: folder + lead + "FULL" + ext, existing or not.
// Searches from 0001 every time; a run uses RenameRun::Numbers instead.
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
