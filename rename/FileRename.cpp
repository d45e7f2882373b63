#include "rename/FileRename.h"

#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/shown_text.h"

#include <cerrno>
#include <cstdio>
#include <optional>

namespace zumo {
namespace {

constexpr int k_last_number = 9999;
constexpr char k_rename_subfolder[] = "rename";

enum class NamingMode { LeadingString = 0, Extension = 1, LeadingStringAndExtension = 2 };

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

RenamePlan ends(RenamePlan plan, RenameResult result, std::string why)
{
    plan.result = result;
    plan.why = std::move(why);
    return plan;
}

// The folder the result goes into, ending with the separator (empty for a
// bare source name: the working folder); nothing when the output folder is
// chosen but empty: the name would then land in the working directory. A
// subfolder "rename" that does not exist yet is noted in the plan; it is
// created when the plan is carried out (a failure shows in the copy or
// move).
std::optional<std::string> target_folder(const OptionSnapshot& options,
                                         const std::string& file_name, const RenameView& view,
                                         RenamePlan& plan)
{
    if (options.CheckBox8) {
        if (options.Edit8.empty())
            return std::nullopt;
        return options.Edit8;
    }
    const std::string source_folder = platform::folder_part(file_name);
    if (options.CheckBox2) {
        const std::string sub = source_folder + k_rename_subfolder;
        if (!view.FolderExists(sub))
            plan.new_folder = sub;
        return platform::include_trailing_separator(sub);
    }
    return source_folder;
}

std::optional<std::string> new_path(const OptionSnapshot& options, const std::string& file_name,
                                    const std::string& folder, NumberedNames& numbers,
                                    std::optional<RenamePlan::Numbered>& numbered)
{
    switch (static_cast<NamingMode>(options.RadioGroup3)) {
    case NamingMode::LeadingString: {
        std::string ext = platform::extension_part(file_name);
        if (options.CheckBox8)
            ext = lower_ascii(ext);
        numbered = RenamePlan::Numbered{folder, options.Edit5, ext};
        return numbers.Next(folder, options.Edit5, ext);
    }
    case NamingMode::Extension:
        return platform::change_extension(folder + platform::file_name_part(file_name),
                                          "." + options.Edit6);
    case NamingMode::LeadingStringAndExtension:
        numbered = RenamePlan::Numbered{folder, options.Edit5, options.Edit6};
        return numbers.Next(folder, options.Edit5, options.Edit6);
    }
    return std::nullopt; // no mode selected
}

// A numbered name is the run's only while nobody else has it: it is taken
// exclusively, also with overwriting on, and when another program (a second
// run into the same folder) took it since the search, that attempt is
// recorded as failed and the next free number is tried. The "FULL" name and
// the extension-only names keep the overwrite option.
bool numbered_claim(const RenamePlan& plan, const std::string& target)
{
    return plan.numbered && target != NumberedNames::Full(plan.numbered->folder,
                                                          plan.numbered->lead, plan.numbered->ext);
}

// Why the copy or move of plan must not be tried: it would replace what the
// write rule protects, or the file system is bound to refuse it.
std::string transfer_refusal(const RenamePlan& plan, const std::string& source,
                             const RenameView& view)
{
    if (plan.transfer == Transfer::Copy && view.SameFile(source, plan.target))
        return "新しい名前がファイル自身です";
    const platform::Replace replace =
        plan.overwrite == Overwrite::Yes ? platform::Replace::Allowed : platform::Replace::Never;
    // A numbered name was free when it was searched; a file that another
    // program puts there since then only moves the claim on to the next
    // number, so it is no reason to fail. A folder there stays in the way.
    std::string why;
    if (!numbered_claim(plan, plan.target))
        why = platform::target_refusal(view, plan.target, replace);
    else if (view.FolderExists(plan.target))
        why = platform::shown_name(plan.target) + " はフォルダです";
    if (why.empty())
        why = platform::name_refusal(plan.target);
    if (why.empty())
        why = plan.transfer == Transfer::Copy ? platform::read_refusal(view, source)
                                              : platform::move_refusal(view, source);
    if (why.empty())
        why = platform::folder_refusal(view, platform::folder_part(plan.target), plan.new_folder);
    return why;
}

std::string transfer_failure(int error)
{
    return error != 0 ? platform::system_error_reason(error) : "コピーも移動もできませんでした";
}

RenameResult failed(RenameRun& run, std::string why)
{
    run.LastFailure = std::move(why);
    return RenameResult::Failed;
}

RenameResult carry_out(const RenamePlan& plan, const std::string& file_name, RenameRun& run)
{
    if (plan.result == RenameResult::Failed)
        return failed(run, plan.why);
    if (plan.result != RenameResult::Done)
        return plan.result;
    if (!plan.new_folder.empty() && !platform::folder_exists(plan.new_folder) &&
        platform::create_folder(plan.new_folder) && run.Journal)
        run.Journal->FolderCreated(plan.new_folder);
    const bool copy = plan.transfer == Transfer::Copy;
    std::string target = plan.target;
    for (;;) {
        const bool claim = numbered_claim(plan, target);
        const Overwrite overwrite = claim ? Overwrite::No : plan.overwrite;
        if (run.Journal)
            run.Journal->Planned(copy ? JournalOp::Copy : JournalOp::Move, file_name, target);
        errno = 0; // a failure that sets none is not told by a stale one
        const bool done = copy ? CopyFileAs(file_name, target, overwrite)
                               : MoveFileAs(file_name, target, overwrite);
        const int error = errno;
        if (run.Journal)
            run.Journal->Finished(done);
        if (done)
            break;
        if (!claim || error != EEXIST)
            return failed(run, transfer_failure(error));
        std::string next =
            run.Numbers.Next(plan.numbered->folder, plan.numbered->lead, plan.numbered->ext);
        // The same name again: what holds it is no file (a folder), and
        // it stays in the way.
        if (next == target || run.Files.Made(next))
            return failed(run, transfer_failure(error));
        target = std::move(next);
    }
    run.Files.AddMade(target);
    if (plan.transfer == Transfer::Move)
        run.Numbers.Freed(file_name);
    return RenameResult::Done;
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
    return NumberedNames::Full(folder, lead, ext);
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
    if (!platform::file_exists(source)) {
        errno = ENOENT;
        return false;
    }
    if (platform::same_file(source, target)) {
        errno = EEXIST;
        return false;
    }
    return platform::move_file(source, target, platform::IfExists::Replace);
}

RenamePlan PlanFileRe(const OptionSnapshot& options, const std::string& file_name,
                      NumberedNames& numbers, const RenameView& view)
{
    RenamePlan plan;
    plan.overwrite = options.CheckBox4 ? Overwrite::Yes : Overwrite::No;
    plan.transfer = options.RadioGroup4 == 1 ? Transfer::Move : Transfer::Copy;
    // Only files are renamed: a folder named on the command line or
    // dropped would otherwise be moved away under a numbered name.
    if (std::string why = platform::input_refusal(view, file_name); !why.empty())
        return ends(plan, RenameResult::Failed, std::move(why));
    const auto folder = target_folder(options, file_name, view, plan);
    if (!folder)
        return ends(plan, RenameResult::Skipped, "no output folder chosen");
    const auto target = new_path(options, file_name, *folder, numbers, plan.numbered);
    if (!target)
        return ends(plan, RenameResult::Skipped, "no naming mode selected");
    plan.target = *target;
    switch (options.RadioGroup4) {
    case 0:
        break;
    case 1:
        // Moving a file onto itself would, with overwriting, begin by
        // deleting it; it is left alone instead.
        if (view.SameFile(file_name, plan.target))
            return ends(plan, RenameResult::Skipped, "the new name is the file itself");
        break;
    default:
        return ends(plan, RenameResult::Skipped, "neither copy nor move selected");
    }
    if (std::string why = transfer_refusal(plan, file_name, view); !why.empty())
        return ends(plan, RenameResult::Failed, std::move(why));
    return plan;
}

RenameResult FormFileRe(const OptionSnapshot& options, const std::string& file_name, RenameRun* run)
{
    RenameRun single;
    RenameRun& shared = run ? *run : single;
    const RenamePlan plan =
        PlanFileRe(options, file_name, shared.Numbers, platform::DiskView(&shared.Files));
    return carry_out(plan, file_name, shared);
}

} // namespace zumo
