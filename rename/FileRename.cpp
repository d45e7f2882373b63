#include "rename/FileRename.h"

#include "platform/file_ops.h"
#include "platform/path.h"

#include <cstdio>
#include <optional>

namespace zumo {
namespace {

constexpr int k_last_number = 9999;
constexpr char k_rename_subfolder[] = "rename";

enum class NamingMode { LeadingString = 0, Extension = 1, LeadingStringAndExtension = 2 };
enum class Transfer { Copy = 0, Move = 1 };

// ASCII letters only: every byte of a multi-byte UTF-8 character is 0x80
// or above and stays as it is.
std::string lower_ascii(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// The folder the result goes into, ending with the separator; nothing when
// the output folder is chosen but empty: the name would then land in the
// working directory.
std::optional<std::string> target_folder(const OptionSnapshot& options,
                                         const std::string& file_name, RenameJournal* journal)
{
    if (options.CheckBox8) {
        if (options.Edit8.empty())
            return std::nullopt;
        return options.Edit8;
    }
    const std::string source_folder = platform::folder_part(file_name);
    if (options.CheckBox2) {
        const std::string sub = source_folder + k_rename_subfolder;
        // A failure shows in the copy or move.
        if (!platform::folder_exists(sub) && platform::create_folder(sub) && journal)
            journal->FolderCreated(sub);
        return platform::include_trailing_separator(sub);
    }
    return source_folder;
}

std::optional<std::string> new_path(const OptionSnapshot& options, const std::string& file_name,
                                    const std::string& folder)
{
    switch (static_cast<NamingMode>(options.RadioGroup3)) {
    case NamingMode::LeadingString: {
        std::string ext = platform::extension_part(file_name);
        if (options.CheckBox8)
            ext = lower_ascii(ext);
        return MakeNumberedName(folder, options.Edit5, ext);
    }
    case NamingMode::Extension:
        return platform::change_extension(folder + platform::file_name_part(file_name),
                                          "." + options.Edit6);
    case NamingMode::LeadingStringAndExtension:
        return MakeNumberedName(folder, options.Edit5, options.Edit6);
    }
    return std::nullopt; // no mode selected
}

} // namespace

std::string MakeNumberedName(const std::string& folder, const std::string& lead,
                             const std::string& ext)
{
    const std::string base = folder + lead;
    const std::string dotted = ext.empty() || ext[0] == '.' ? ext : "." + ext;
    for (int n = 1; n <= k_last_number; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%.04d", n);
        std::string candidate = base + number + dotted;
        // A named pipe or a dangling link takes a name as a file does.
        if (!platform::non_folder_exists(candidate))
            return candidate;
    }
    return base + "FULL" + dotted;
}

bool CopyFileAs(const std::string& source, const std::string& target, Overwrite overwrite)
{
    return platform::copy_file(source, target,
                               overwrite == Overwrite::Yes ? platform::IfExists::Replace
                                                           : platform::IfExists::Fail);
}

bool MoveFileAs(const std::string& source, const std::string& target, Overwrite overwrite)
{
    if (overwrite == Overwrite::No)
        return platform::move_file(source, target, platform::IfExists::Fail);
    // Overwriting waits on the source's existence, so a vanished source
    // never costs the target. The old target is replaced in one step rather
    // than deleted first, so a move that then fails leaves it in place.
    if (!platform::file_exists(source) || platform::same_file(source, target))
        return false;
    return platform::move_file(source, target, platform::IfExists::Replace);
}

RenameResult FormFileRe(const OptionSnapshot& options, const std::string& file_name,
                        platform::FileSet* made_by_run, RenameJournal* journal)
{
    // Only files are renamed: a folder named on the command line or
    // dropped would otherwise be moved away under a numbered name.
    if (!platform::file_exists(file_name))
        return RenameResult::Failed;
    const auto folder = target_folder(options, file_name, journal);
    if (!folder)
        return RenameResult::Skipped;
    const auto target = new_path(options, file_name, *folder);
    if (!target)
        return RenameResult::Skipped;
    const Overwrite overwrite = options.CheckBox4 ? Overwrite::Yes : Overwrite::No;
    bool done = false;
    switch (static_cast<Transfer>(options.RadioGroup4)) {
    case Transfer::Copy:
        if (made_by_run && made_by_run->holds(*target))
            return RenameResult::Failed;
        if (journal)
            journal->Planned(JournalOp::Copy, file_name, *target);
        done = CopyFileAs(file_name, *target, overwrite);
        break;
    case Transfer::Move:
        // Moving a file onto itself would, with overwriting, begin by
        // deleting it; it is left alone instead.
        if (platform::same_file(file_name, *target))
            return RenameResult::Skipped;
        // Two sources that map to one name (a.jpg and a.gif with the
        // extension png, or every file once "FULL" is reached) would
        // otherwise leave one file where two went in.
        if (made_by_run && made_by_run->holds(*target))
            return RenameResult::Failed;
        if (journal)
            journal->Planned(JournalOp::Move, file_name, *target);
        done = MoveFileAs(file_name, *target, overwrite);
        break;
    default:
        return RenameResult::Skipped; // no transfer selected
    }
    if (journal)
        journal->Finished(done);
    if (!done)
        return RenameResult::Failed;
    if (made_by_run)
        made_by_run->add(*target);
    return RenameResult::Done;
}

} // namespace zumo
