#include "app/core/DryRun.h"

#include "app/core/CommandLine.h"
#include "app/core/Settings.h"
#include "convert/conversion.h"
#include "imagelib/imgctl.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/write_rule.h"
#include "rename/FileRename.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <set>

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
        case StoredControl::CheckBox11:
            return &m_o.CheckBox11;
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
// or moved away laid over them. A path is known by its folder's identity
// (the real folder, links resolved, where it exists) and its name, so two
// spellings of one file ("a.jpg" and "$PWD/a.jpg") are one planned file, as
// they are one file to the run.
class PlannedFiles : public platform::FileView
{
public:
    explicit PlannedFiles(const platform::RunFiles& run) : m_run(run) {}

    platform::FileKind Kind(const std::string& path) const override
    {
        if (const auto it = m_present.find(key(path)); it != m_present.end())
            return it->second ? platform::FileKind::File : platform::FileKind::None;
        if (PlannedFolder(path))
            return platform::FileKind::Folder;
        return platform::file_kind(path);
    }
    bool NonFolderExists(const std::string& path) const override
    {
        const auto it = m_present.find(key(path));
        return it != m_present.end() ? it->second : platform::non_folder_exists(path);
    }
    // A file the run would make is its own to write; what it would move
    // away is gone.
    bool ReadOnly(const std::string& path) const override
    {
        return !Planned(path) && platform::file_is_read_only(path);
    }
    bool SameFile(const std::string& a, const std::string& b) const override
    {
        if (Planned(a) || Planned(b))
            return key(a) == key(b);
        return platform::same_file(a, b);
    }
    bool MadeByRun(const std::string& path) const override { return m_made.contains(key(path)); }
    bool PendingInput(const std::string& path) const override
    {
        return !Planned(path) && m_run.Pending(path);
    }
    bool MayRead(const std::string& path) const override
    {
        return Planned(path) || m_disk.MayRead(path);
    }
    bool MayWriteInto(const std::string& folder) const override
    {
        return PlannedFolder(folder) || m_disk.MayWriteInto(folder);
    }

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
        namespace fs = std::filesystem;
        std::error_code error;
        fs::path p = fs::absolute(path.empty() ? "." : path, error).lexically_normal();
        if (!p.has_filename())
            p = p.parent_path(); // "a/b/" is the folder "a/b"
        fs::path folder = fs::weakly_canonical(p.parent_path(), error);
        if (error)
            folder = p.parent_path();
        return (folder / p.filename()).string();
    }

    const platform::RunFiles& m_run; // the inputs still to come
    platform::DiskView m_disk;
    std::map<std::string, bool> m_present; // true: would be there; false: moved away
    std::set<std::string> m_made;
    std::set<std::string> m_folders;
};

// ---- the run's three operations, planned --------------------------------------

using Loader = imgctl::HDIB (*)(const char*);

class PlannedOperations : public FileProcessor
{
public:
    PlannedOperations(OptionSource& options, std::ostream& out)
        : m_options(options), m_out(out), m_files(m_run),
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
    platform::RunFiles* Run() override { return &m_run; }

private:
    FileOutcome convert(const char* verb, const std::string& path, const OptionSnapshot& o,
                        const char* extension, Loader load);

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
    platform::RunFiles m_run; // the inputs still to come, as the run registers them
    PlannedFiles m_files;
    NumberedNames m_numbers;
};

FileOutcome PlannedOperations::convert(const char* verb, const std::string& path,
                                       const OptionSnapshot& o, const char* extension, Loader load)
{
    // The checks are the conversion's own, asked of the planned files.
    if (const std::string why = ConversionInputRefusal(m_files, path); !why.empty())
        return says(verb, path, FileOutcome::Failed, why);
    // The header is read as the conversion reads it first; the pixels are
    // not decoded, so a file damaged further in shows only in the real run.
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
    if (const std::string why = ConversionOutputRefusal(m_files, plan); !why.empty())
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
    // PlanFileRe makes every check of the rename, here against the plan.
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
