#include "app/core/DryRun.h"

#include "app/core/CommandLine.h"
#include "app/core/Settings.h"
#include "convert/conversion.h"
#include "imagelib/imgctl.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "rename/FileRename.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace zumo {

namespace {

// ---- the settings file into a snapshot --------------------------------------

class SnapshotSettings : public SettingsWindow
{
public:
    explicit SnapshotSettings(OptionSnapshot& options) : m_o(options) {}

    bool Checked(StoredControl c) const override { return *check_box(c); }
    void SetChecked(StoredControl c, bool checked) override { *check_box(c) = checked; }
    int Position(StoredControl c) const override { return *number(c); }
    void SetPosition(StoredControl c, int position) override { *number(c) = position; }
    int ItemIndex(StoredControl c) const override { return *number(c); }
    void SetItemIndex(StoredControl c, int index) override
    {
        *number(c) = index;
        // What RadioGroup7Click and RadioGroup8Click derive.
        if (c == StoredControl::RadioGroup7)
            m_o.TurnAngle = turn_angle_for(index, m_o.TurnAngle);
        else if (c == StoredControl::RadioGroup8)
            m_o.Interlaced = interlaced_for(index, m_o.Interlaced);
    }
    std::string Text(StoredControl c) const override { return *text(c); }
    void SetText(StoredControl c, const std::string& value) override { *text(c) = value; }
    Placement WindowPlacement() const override { return {}; }
    void SetWindowPlacement(const Placement&) override {}

private:
    bool* check_box(StoredControl c) const
    {
        switch (c) {
        case StoredControl::CheckBox1:
            return &m_o.CheckBox1;
        case StoredControl::CheckBox3:
            return &m_o.CheckBox3;
        case StoredControl::CheckBox4:
            return &m_o.CheckBox4;
        case StoredControl::CheckBox5:
            return &m_o.CheckBox5;
        case StoredControl::CheckBox6:
            return &m_o.CheckBox6;
        case StoredControl::CheckBox7:
            return &m_o.CheckBox7;
        case StoredControl::CheckBox9:
            return &m_o.CheckBox9;
        case StoredControl::CheckBox10:
            return &m_o.CheckBox10;
        default:
            return &m_unused_check;
        }
    }
    int* number(StoredControl c) const
    {
        switch (c) {
        case StoredControl::UpDown1:
            return &m_o.UpDown1;
        case StoredControl::UpDown2:
            return &m_o.UpDown2;
        case StoredControl::UpDown3:
            return &m_o.UpDown3;
        case StoredControl::RadioGroup1:
            return &m_o.RadioGroup1;
        case StoredControl::RadioGroup2:
            return &m_o.RadioGroup2;
        case StoredControl::RadioGroup3:
            return &m_o.RadioGroup3;
        case StoredControl::RadioGroup4:
            return &m_o.RadioGroup4;
        case StoredControl::RadioGroup5:
            return &m_o.RadioGroup5;
        case StoredControl::RadioGroup6:
            return &m_o.RadioGroup6;
        case StoredControl::RadioGroup7:
            return &m_o.RadioGroup7;
        case StoredControl::RadioGroup8:
            return &m_o.RadioGroup8;
        case StoredControl::RadioGroup9:
            return &m_o.RadioGroup9;
        case StoredControl::RadioGroup10:
            return &m_o.RadioGroup10;
        default:
            return &m_unused_number;
        }
    }
    std::string* text(StoredControl c) const
    {
        switch (c) {
        case StoredControl::Edit1:
            return &m_o.Edit1;
        case StoredControl::Edit5:
            return &m_o.Edit5;
        case StoredControl::Edit6:
            return &m_o.Edit6;
        case StoredControl::Edit7:
            return &m_o.Edit7;
        default:
            return &m_unused_text;
        }
    }

    OptionSnapshot& m_o;
    mutable bool m_unused_check = false;
    mutable int m_unused_number = 0;
    mutable std::string m_unused_text;
};

// ---- the files as the run would leave them ----------------------------------

// The real files with what the earlier files of the dry run would have made
// or moved away laid over them. Paths are compared as written, made
// lexically normal ("a//b/./c" is "a/b/c").
class PlannedFiles : public RenameView
{
public:
    bool NonFolderExists(const std::string& path) const
    {
        const auto it = m_present.find(key(path));
        return it != m_present.end() ? it->second : platform::non_folder_exists(path);
    }
    bool FileExists(const std::string& path) const override
    {
        const auto it = m_present.find(key(path));
        return it != m_present.end() ? it->second : platform::file_exists(path);
    }
    bool FolderExists(const std::string& path) const override
    {
        return m_folders.contains(key(path)) || platform::folder_exists(path);
    }
    bool SameFile(const std::string& a, const std::string& b) const override
    {
        if (Planned(a) || Planned(b))
            return key(a) == key(b);
        return platform::same_file(a, b);
    }
    bool MadeByRun(const std::string& path) const override { return m_made.contains(key(path)); }

    // True when the run would have made or removed path.
    bool Planned(const std::string& path) const { return m_present.contains(key(path)); }
    bool PlannedFolder(const std::string& path) const { return m_folders.contains(key(path)); }

    void Made(const std::string& path)
    {
        m_present[key(path)] = true;
        m_made.insert(key(path));
    }
    void Removed(const std::string& path)
    {
        m_present[key(path)] = false;
        m_made.erase(key(path));
    }
    void FolderMade(const std::string& path) { m_folders.insert(key(path)); }

private:
    static std::string key(const std::string& path)
    {
        std::string normal = std::filesystem::path(path).lexically_normal().string();
        if (normal.size() > 1 && platform::ends_with_separator(normal))
            normal.pop_back();
        return normal;
    }

    std::map<std::string, bool> m_present; // true: would be there; false: moved away
    std::set<std::string> m_made;
    std::set<std::string> m_folders;
};

// access(2) where there is one; elsewhere the attempt will tell.
bool may_read(const std::string& path)
{
#ifdef _WIN32
    (void)path;
    return true;
#else
    return ::access(path.c_str(), R_OK) == 0;
#endif
}

bool may_write_into(const std::string& folder)
{
#ifdef _WIN32
    (void)folder;
    return true;
#else
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
#endif
}

// ---- the run's three operations, planned --------------------------------------

using Loader = imgctl::HDIB (*)(const char*);

class PlannedOperations : public FileProcessor
{
public:
    PlannedOperations(OptionSource& options, std::ostream& out)
        : m_options(options), m_out(out),
          m_numbers([this](const std::string& path) { return m_files.NonFolderExists(path); })
    {
    }

    FileOutcome ConvertImageFile(const std::string& path) override
    {
        const OptionSnapshot o = m_options.Options();
        return convert("convert", path, o, ImageOutputExtension(o.RadioGroup1), imgctl::ToDIB);
    }
    FileOutcome ConvertGifFile(const std::string& path) override
    {
        const OptionSnapshot o = m_options.Options();
        return convert("gif", path, o, GifOutputExtension(o.RadioGroup2), imgctl::GIFtoDIB);
    }
    FileOutcome FormFileRe(const std::string& path) override;

private:
    FileOutcome convert(const char* verb, const std::string& path, const OptionSnapshot& o,
                        const char* extension, Loader load);
    std::string rename_failure(const RenamePlan& plan, const std::string& source) const;
    std::string folder_failure(const std::string& folder, const std::string& new_folder) const;

    FileOutcome says(const char* verb, const std::string& path, FileOutcome outcome,
                     const std::string& why)
    {
        m_out << verb << ' ' << path
              << (outcome == FileOutcome::Failed ? ": would fail: " : ": would be skipped: ") << why
              << '\n';
        return outcome;
    }

    OptionSource& m_options;
    std::ostream& m_out;
    PlannedFiles m_files;
    NumberedNames m_numbers;
};

FileOutcome PlannedOperations::convert(const char* verb, const std::string& path,
                                       const OptionSnapshot& o, const char* extension, Loader load)
{
    // The header is read as the conversion reads it first; the pixels are
    // not decoded, so a file damaged further in shows only in the real run.
    if (!m_files.FileExists(path))
        return says(verb, path, FileOutcome::Failed, "no such file");
    // A file that an earlier one would make cannot be looked into yet.
    if (!m_files.Planned(path)) {
        try {
            const imgctl::HDIB dib = load(path.c_str());
            if (dib == 0)
                return says(verb, path, FileOutcome::Failed, "not a picture it reads");
            imgctl::DeleteDIB(dib);
        } catch (const std::exception& e) {
            return says(verb, path, FileOutcome::Failed, e.what());
        }
    }
    if (!extension)
        return says(verb, path, FileOutcome::Skipped, "no output format selected");
    const OutputPlan plan = PlanOutputPath(path, extension, o, [this](const std::string& folder) {
        return m_files.FolderExists(folder);
    });
    if (plan.asks_folder)
        return says(verb, path, FileOutcome::Skipped,
                    "no output folder given; \"フォルダが指定されていません.処理を中断しますか?\" "
                    "is answered はい");
    if (m_files.MadeByRun(plan.path))
        return says(verb, path, FileOutcome::Failed, plan.path + " is made earlier in this run");
    if (const std::string why = folder_failure(platform::folder_part(plan.path), plan.new_folder);
        !why.empty())
        return says(verb, path, FileOutcome::Failed, why);
    const bool replaces = m_files.NonFolderExists(plan.path);
    if (!plan.new_folder.empty())
        m_files.FolderMade(plan.new_folder);
    m_files.Made(plan.path);
    m_out << verb << ' ' << path << " -> " << plan.path << (replaces ? " (replacing it)" : "")
          << '\n';
    return FileOutcome::Done;
}

FileOutcome PlannedOperations::FormFileRe(const std::string& path)
{
    const RenamePlan plan = PlanFileRe(m_options.Options(), path, m_numbers, m_files);
    const char* verb = plan.transfer == Transfer::Move ? "move" : "copy";
    switch (plan.result) {
    case RenameResult::Failed:
        return says(verb, path, FileOutcome::Failed, plan.why);
    case RenameResult::Skipped:
        return says(verb, path, FileOutcome::Skipped, plan.why);
    case RenameResult::Done:
        break;
    }
    if (const std::string why = rename_failure(plan, path); !why.empty())
        return says(verb, path, FileOutcome::Failed, why);
    const bool replaces = m_files.NonFolderExists(plan.target);
    if (!plan.new_folder.empty())
        m_files.FolderMade(plan.new_folder);
    if (plan.transfer == Transfer::Move) {
        m_files.Removed(path);
        m_numbers.Freed(path);
    }
    m_files.Made(plan.target);
    m_out << verb << ' ' << path << " -> " << plan.target << (replaces ? " (replacing it)" : "")
          << '\n';
    return FileOutcome::Done;
}

// Why the primitives would refuse, as far as can be told without trying.
std::string PlannedOperations::rename_failure(const RenamePlan& plan,
                                              const std::string& source) const
{
    const std::string& target = plan.target;
    if (plan.transfer == Transfer::Copy && m_files.SameFile(source, target))
        return "the new name is the file itself";
    if (m_files.FolderExists(target))
        return "a folder is named " + target;
    if (m_files.NonFolderExists(target)) {
        if (plan.overwrite == Overwrite::No)
            return target + " exists and overwriting is off";
        if (!m_files.Planned(target) && platform::file_is_read_only(target))
            return target + " is read-only";
    }
    if (!m_files.Planned(source) && !may_read(source))
        return "it cannot be read";
    if (plan.transfer == Transfer::Move && !m_files.Planned(source)) {
        const std::string folder = platform::folder_part(source);
        if (!may_write_into(folder))
            return "it cannot be moved out of " + (folder.empty() ? std::string(".") : folder);
    }
    return folder_failure(platform::folder_part(target), plan.new_folder);
}

// Why nothing could be written into folder (ending with the separator);
// new_folder is the folder the file's own plan makes first, or empty.
std::string PlannedOperations::folder_failure(const std::string& folder,
                                              const std::string& new_folder) const
{
    std::string bare = folder;
    if (bare.size() > 1 && platform::ends_with_separator(bare))
        bare.pop_back();
    if (m_files.PlannedFolder(bare) || (!new_folder.empty() && bare == new_folder)) {
        const std::string parent = platform::folder_part(bare);
        return m_files.FolderExists(parent.empty() ? "." : parent) && may_write_into(parent)
                   ? std::string()
                   : "the folder " + bare + " cannot be made";
    }
    if (!m_files.FolderExists(bare.empty() ? "." : bare))
        return "there is no folder " + bare;
    return may_write_into(folder) ? std::string() : "nothing can be written into " + bare;
}

// ---- what FormShowRun needs besides ----------------------------------------------

class FixedOptions : public OptionSource
{
public:
    explicit FixedOptions(const OptionSnapshot& options) : m_options(options) {}
    OptionSnapshot Options() override { return m_options; }

private:
    OptionSnapshot m_options;
};

class NoDialog : public ProgressDialog
{
public:
    void SetCaption(const std::string&) override {}
    void SetSmooth(bool) override {}
    void SetProgress(const std::string&, int, int) override {}
    bool Cancelled() const override { return false; }
};

// Nothing is shown and nothing sounds; a question, which the planned
// operations never ask, would take the answer that skips.
class SilentHost : public UserHost
{
public:
    Answer Ask(const std::string&, const std::string&, Buttons buttons) override
    {
        return buttons == Buttons::YesNo ? Answer::Yes : Answer::Cancel;
    }
    void ShowMessage(const std::string&) override {}
    void Beep() override {}
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string&) override
    {
        return std::make_unique<NoDialog>();
    }
    void ProcessMessages() override {}
};

// The lines for files no operation looks at.
class RunLines : public RunObserver
{
public:
    explicit RunLines(std::ostream& out) : m_out(out) {}
    void FileFinished(const std::string& path, std::optional<FileOutcome> outcome) override
    {
        if (!outcome)
            m_out << "none " << path << ": would be skipped: no drop mode selected\n";
    }
    void RunEnded(const RunSummary& summary, const std::string& stopped_at) override
    {
        if (summary.end == RunEnd::StoppedAtNonGif)
            m_out << "gif " << stopped_at << ": not a GIF: the run would stop here\n";
    }

private:
    std::ostream& m_out;
};

class ExitStatus : public ApplicationControl
{
public:
    void SetTitle(const std::string&) override {}
    void Minimize() override {}
    void ApplyEnableRule() override {}
    void Terminate(int exit_status) override { status = exit_status; }
    int status = k_exit_ok;
};

} // namespace

OptionSnapshot StoredOptions(const std::string& ini_path)
{
    OptionSnapshot options;
    options.TurnAngle = turn_angle_for(options.RadioGroup7, options.TurnAngle);
    options.Interlaced = interlaced_for(options.RadioGroup8, options.Interlaced);
    SnapshotSettings window(options);
    LoadSettings(ini_path, window);
    return options;
}

int DryRun(const std::vector<std::string>& files, const OptionSnapshot& options, std::ostream& out)
{
    FixedOptions source(options);
    SilentHost host;
    PlannedOperations operations(source, out);
    RunLines lines(out);
    RunContext context{source, host, operations, {}, &lines};
    ExitStatus app;
    CommandLineOptions run_options;
    run_options.session = Session::Headless;
    FormShowRun(files, context, app, run_options);
    return app.status;
}

} // namespace zumo
