#include "rename/RenameUndo.h"

#include "platform/file_ops.h"
#include "rename/RenameJournal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <sys/file.h>
#include <unistd.h>

namespace zumo {

namespace {

constexpr std::size_t k_named_in_message = 10;

struct Entry
{
    JournalOp op = JournalOp::Copy;
    std::string source;
    std::string target;
    bool replaced = false; // a file of the target's name existed before
    std::optional<FileStamp> source_stamp;
    std::optional<FileStamp> done_stamp; // the target after the operation
    bool failed = false;
    bool undone = false;

    bool pending() const { return !failed && !undone; }
};

struct Journal
{
    JournalDamage damage = JournalDamage::None;
    int error = 0; // Unreadable
    long long started = 0;
    std::map<int, Entry> entries;
    std::vector<std::string> folders; // made by the run, in order
    bool undone = false;
    std::vector<int> garbled_lines;
    int torn_line = 0;             // the last line, cut short by a crash (0: none)
    std::vector<int> mended_lines; // torn lines an undo has closed since

    int pending() const
    {
        return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                              [](const auto& e) { return e.second.pending(); }));
    }
};

// Closes on every way out.
class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The whole file; false (errno set) when a read fails.
bool read_all(int fd, std::string& text)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

bool parse_index(const std::vector<std::string>& f, int& index)
{
    if (f.size() < 2 || f[1].empty() || f[1].size() > 9 ||
        f[1].find_first_not_of("0123456789") != std::string::npos)
        return false;
    index = std::stoi(f[1]);
    return true;
}

void read_entry_line(const std::vector<std::string>& f, Journal& journal)
{
    int index = 0;
    const std::string& kind = f[0];
    if (kind == "C" && f.size() == 2) {
        journal.folders.push_back(f[1]);
    } else if (kind == "X") {
        journal.undone = true;
    } else if (kind == "T" && f.size() == 2 && parse_index(f, index)) {
        journal.mended_lines.push_back(index);
    } else if (kind == "P" && f.size() == 10 && parse_index(f, index) &&
               (f[2] == "copy" || f[2] == "move") && !journal.entries.contains(index)) {
        Entry e;
        e.op = f[2] == "copy" ? JournalOp::Copy : JournalOp::Move;
        e.source = f[3];
        e.target = f[4];
        e.replaced = f[5] != "0";
        e.source_stamp = journal_format::stamp_of(f, 6);
        journal.entries.emplace(index, std::move(e));
    } else if (parse_index(f, index) && journal.entries.contains(index)) {
        Entry& e = journal.entries.at(index);
        if (kind == "D" && f.size() == 6)
            e.done_stamp = journal_format::stamp_of(f, 2);
        else if (kind == "F")
            e.failed = true;
        else if (kind == "U")
            e.undone = true;
    }
}

// A line that does not check out is left out; what it would have said is
// then not known, and the undo acts as if the operation had not been
// recorded as finished. The last line of a crashed run, cut short, is
// expected; any other such line was garbled after it was written and is
// reported.
Journal parse_journal(const std::string& text)
{
    Journal journal;
    if (text.empty()) {
        journal.damage = JournalDamage::Empty;
        return journal;
    }
    std::vector<int> bad_lines;
    bool header = false;
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        ++number;
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            journal.torn_line = number;
            break;
        }
        const auto fields = journal_format::parse(text.substr(start, end - start));
        start = end + 1;
        if (number == 1) {
            if (!fields || fields->size() != 4 || (*fields)[0] != journal_format::k_magic ||
                (*fields)[1] != std::to_string(journal_format::k_version))
                break;
            header = true;
            journal.started = std::atoll((*fields)[2].c_str());
            continue;
        }
        if (!fields)
            bad_lines.push_back(number);
        else if (!fields->empty())
            read_entry_line(*fields, journal);
    }
    if (!header) {
        // No whole, good header: nothing in the file can be trusted.
        journal.damage = JournalDamage::BadHeader;
        return journal;
    }
    for (const int line : bad_lines) {
        if (std::find(journal.mended_lines.begin(), journal.mended_lines.end(), line) ==
            journal.mended_lines.end())
            journal.garbled_lines.push_back(line);
    }
    return journal;
}

enum class Held { No, ByAnother };

// Locks the open journal fd (LOCK_SH to read, LOCK_EX to undo) and reads
// it. ByAnother when a run or an undo holds it.
Held read_journal(int fd, int lock, Journal& journal)
{
    if (::flock(fd, lock | LOCK_NB) != 0)
        return Held::ByAnother;
    std::string text;
    if (!read_all(fd, text)) {
        journal.damage = JournalDamage::Unreadable;
        journal.error = errno;
        return Held::No;
    }
    journal = parse_journal(text);
    return Held::No;
}

bool same_content(const std::string& a, const std::string& b)
{
    std::FILE* fa = platform::open_file_for_reading(a);
    std::FILE* fb = platform::open_file_for_reading(b);
    bool same = fa && fb;
    char ba[65536], bb[65536];
    while (same) {
        const std::size_t na = std::fread(ba, 1, sizeof ba, fa);
        const std::size_t nb = std::fread(bb, 1, sizeof bb, fb);
        same = na == nb && std::memcmp(ba, bb, na) == 0;
        if (na == 0 || na < sizeof ba)
            break;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return same;
}

bool name_taken(const std::string& path)
{
    return platform::non_folder_exists(path) || platform::folder_exists(path);
}

// For an operation begun but not recorded as finished: whether the file at
// the target is the one it made.
bool made_by_unfinished(const Entry& e, const FileStamp& now)
{
    if (!e.source_stamp || now.size != e.source_stamp->size ||
        now.mtime_ns != e.source_stamp->mtime_ns)
        return false;
    if (e.op == JournalOp::Move)
        return true; // a name taken again at the source is caught after
    // A copy keeps the source's time; the source left as it was settles the
    // rest (its bytes are compared before the copy goes).
    const auto source_now = file_stamp(e.source);
    return !source_now || *source_now == *e.source_stamp;
}

// A copy goes only while its source is another file that holds exactly
// its bytes: then deleting it loses nothing.
std::optional<UndoSkip> copy_still_redundant(const Entry& e, const FileStamp& copy)
{
    const auto source_now = file_stamp(e.source);
    if (!source_now)
        return name_taken(e.source) ? UndoSkip::SourceChanged : UndoSkip::SourceGone;
    if ((source_now->device == copy.device && source_now->inode == copy.inode) ||
        source_now->size != copy.size || !same_content(e.source, e.target))
        return UndoSkip::SourceChanged;
    return std::nullopt;
}

// Whether the undo may reverse e now, and the stamp of the file it would
// act on. Touches nothing: the dry run asks this too.
std::optional<UndoSkipped> check_entry(const Entry& e, FileStamp& target_now)
{
    UndoSkipped skip{e.target, e.source, UndoSkip::Changed, 0};
    if (e.op == JournalOp::Copy && e.replaced) {
        skip.why = UndoSkip::Replaced;
        return skip;
    }
    const auto now = file_stamp(e.target);
    if (!now) {
        skip.why = name_taken(e.target) ? UndoSkip::Changed : UndoSkip::Gone;
        return skip;
    }
    target_now = *now;
    if (e.done_stamp ? *now != *e.done_stamp : !made_by_unfinished(e, *now))
        return skip; // Changed
    if (e.op == JournalOp::Copy) {
        if (const auto why = copy_still_redundant(e, *now)) {
            skip.why = *why;
            return skip;
        }
    } else if (name_taken(e.source)) {
        skip.why = UndoSkip::NameTaken;
        return skip;
    }
    return std::nullopt;
}

std::optional<UndoSkipped> undo_entry(const Entry& e)
{
    FileStamp checked;
    if (auto skip = check_entry(e, checked))
        return skip;
    UndoSkipped skip{e.target, e.source, UndoSkip::Changed, 0};
    // Comparing a large copy takes a while: the file must still be the one
    // that was compared.
    if (file_stamp(e.target) != checked)
        return skip;
    bool ok = false;
    if (e.op == JournalOp::Copy) {
        ok = platform::delete_file(e.target);
    } else {
        ok = platform::move_file(e.target, e.source, platform::IfExists::Fail);
        if (!ok && errno == EEXIST) {
            skip.why = UndoSkip::NameTaken;
            return skip;
        }
    }
    if (ok)
        return std::nullopt;
    skip.why = UndoSkip::Failed;
    skip.error = errno;
    return skip;
}

bool append_line(int fd, const std::vector<std::string>& fields)
{
    const std::string line = journal_format::line(fields);
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

std::vector<std::string> journal_paths(const std::string& folder)
{
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".journal")
            paths.push_back(entry.path().string());
    }
    std::sort(paths.rbegin(), paths.rend()); // newest first
    return paths;
}

std::string reason_ja(const UndoSkipped& s)
{
    switch (s.why) {
    case UndoSkip::Changed:
        return "処理の後で変更されています";
    case UndoSkip::Gone:
        return "見つかりません";
    case UndoSkip::NameTaken:
        return "元の名前 " + s.old_name + " が使われています";
    case UndoSkip::Replaced:
        return "同じ名前のファイルを上書きしたため戻せません";
    case UndoSkip::SourceGone:
        return "コピー元 " + s.old_name + " がないため, 残します";
    case UndoSkip::SourceChanged:
        return "コピー元 " + s.old_name + " の内容が変わっているため, 残します";
    case UndoSkip::Failed:
        break;
    }
    return std::string("元に戻せません (") + std::strerror(s.error) + ")";
}

std::string reason_en(const UndoSkipped& s)
{
    switch (s.why) {
    case UndoSkip::Changed:
        return "changed since the run (size, time or identity); left as it is";
    case UndoSkip::Gone:
        return "not found; nothing to undo";
    case UndoSkip::NameTaken:
        return "the old name " + s.old_name + " is taken again; left as it is";
    case UndoSkip::Replaced:
        return "the run copied it over a file of the same name, which an undo cannot bring "
               "back; left as it is";
    case UndoSkip::SourceGone:
        return "its source " + s.old_name + " is gone, so this copy may be the only one; left " +
               "as it is";
    case UndoSkip::SourceChanged:
        return "its source " + s.old_name + " no longer holds the same bytes; left as it is";
    case UndoSkip::Failed:
        break;
    }
    return std::string("cannot be undone: ") + std::strerror(s.error);
}

std::string damage_ja(JournalDamage damage, int error)
{
    switch (damage) {
    case JournalDamage::Empty:
        return "空です";
    case JournalDamage::BadHeader:
        return "先頭の行が正しくありません";
    case JournalDamage::Unreadable:
    case JournalDamage::None:
        break;
    }
    return std::string("読めません: ") + std::strerror(error);
}

std::string damage_en(JournalDamage damage, int error)
{
    switch (damage) {
    case JournalDamage::Empty:
        return "it is empty";
    case JournalDamage::BadHeader:
        return "its first line is not a good journal header";
    case JournalDamage::Unreadable:
    case JournalDamage::None:
        break;
    }
    return std::string("it cannot be read: ") + std::strerror(error);
}

std::string damaged_message_ja(const std::string& journal, JournalDamage damage, int error)
{
    return "元に戻すための記録 " + journal + " が壊れているため, 元に戻せません (" +
           damage_ja(damage, error) +
           ").\nそれより前の処理を元に戻すには, この記録を別の場所へ移してください";
}

void report_damaged(std::ostream& err, const std::string& journal, JournalDamage damage, int error)
{
    err << "zumo: the newest journal " << journal << " is damaged (" << damage_en(damage, error)
        << "); nothing undone. Older runs are not undone past it: move it elsewhere to undo "
           "them\n";
}

std::string line_list(const std::vector<int>& lines)
{
    std::string text;
    for (const int line : lines)
        text += (text.empty() ? "" : ", ") + std::to_string(line);
    return text;
}

std::string garbled_ja(const std::string& journal, const std::vector<int>& lines)
{
    return "記録 " + journal + " の " + line_list(lines) +
           " 行目が壊れています. そこに書かれた処理は元に戻らないことがあります";
}

void report_garbled(std::ostream& err, const std::string& journal, const std::vector<int>& lines)
{
    if (lines.empty())
        return;
    err << "zumo: " << journal << ": " << (lines.size() == 1 ? "line " : "lines ")
        << line_list(lines) << " of the journal " << (lines.size() == 1 ? "is" : "are")
        << " garbled; what " << (lines.size() == 1 ? "it" : "they")
        << " recorded may not be undone\n";
}

std::string result_message(const std::string& journal, const UndoResult& result)
{
    std::string text = std::to_string(result.restored) + "個のファイルを元に戻しました";
    if (!result.skipped.empty()) {
        text += ". " + std::to_string(result.skipped.size()) + "個のファイルは元に戻せません:";
        for (std::size_t i = 0; i < result.skipped.size() && i < k_named_in_message; ++i)
            text += "\n" + result.skipped[i].file + ": " + reason_ja(result.skipped[i]);
        if (result.skipped.size() > k_named_in_message)
            text += "\nほか" + std::to_string(result.skipped.size() - k_named_in_message) + "個";
    }
    if (!result.garbled_lines.empty())
        text += "\n" + garbled_ja(journal, result.garbled_lines);
    if (result.stopped)
        text += "\n(中断しました. 残りはもう一度「元に戻す」で戻せます)";
    return text;
}

// The pending entries, newest first.
std::vector<std::pair<int, const Entry*>> pending_entries(const Journal& journal)
{
    std::vector<std::pair<int, const Entry*>> out;
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        if (it->second.pending())
            out.emplace_back(it->first, &it->second);
    }
    return out;
}

} // namespace

LastRun FindLastRun(const std::string& folder)
{
    LastRun run;
    if (folder.empty())
        return run;
    for (const std::string& path : journal_paths(folder)) {
        const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        Journal journal;
        if (!fd.valid()) {
            if (errno == ENOENT)
                continue; // removed meanwhile
            journal.damage = JournalDamage::Unreadable;
            journal.error = errno;
        } else if (read_journal(fd.get(), LOCK_SH, journal) == Held::ByAnother) {
            run.state = LastRunState::InProgress;
            run.journal = path;
            return run;
        }
        if (journal.damage != JournalDamage::None) {
            // What it recorded is unknown: an older run is not undone in its place.
            run.state = LastRunState::Damaged;
            run.journal = path;
            run.damage = journal.damage;
            run.error = journal.error;
            return run;
        }
        if (journal.undone || (journal.pending() == 0 && journal.garbled_lines.empty()))
            continue;
        run.state = LastRunState::Found;
        run.journal = path;
        run.started = journal.started;
        run.operations = journal.pending();
        run.garbled_lines = journal.garbled_lines;
        return run;
    }
    return run;
}

UndoResult UndoRun(const std::string& journal_path,
                   const std::function<bool(int position, int count)>& progress)
{
    UndoResult result;
    const Fd fd(::open(journal_path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (!fd.valid()) {
        result.damage = JournalDamage::Unreadable;
        result.error = errno;
        return result;
    }
    Journal journal;
    if (read_journal(fd.get(), LOCK_EX, journal) == Held::ByAnother) {
        result.in_progress = true;
        return result;
    }
    if (journal.damage != JournalDamage::None) {
        result.damage = journal.damage;
        result.error = journal.error;
        return result;
    }
    result.garbled_lines = journal.garbled_lines;
    if (journal.torn_line > 0) {
        // The crashed run's last line is closed first, so that the lines
        // appended below stay whole; it is noted as torn, not garbled.
        (void)!::write(fd.get(), "\n", 1);
        append_line(fd.get(), {"T", std::to_string(journal.torn_line)});
    }
    const auto entries = pending_entries(journal);
    const int count = static_cast<int>(entries.size());
    int position = 0;
    for (const auto& [index, entry] : entries) {
        if (progress && !progress(position, count)) {
            result.stopped = true;
            break;
        }
        ++position;
        if (auto skipped = undo_entry(*entry)) {
            result.skipped.push_back(std::move(*skipped));
            continue;
        }
        ++result.restored;
        // Recorded at once: an undo that stops here is continued by the next.
        append_line(fd.get(), {"U", std::to_string(index)});
    }
    if (!result.stopped) {
        // The folders the run made go again when they are empty now.
        for (auto f = journal.folders.rbegin(); f != journal.folders.rend(); ++f)
            platform::remove_empty_folder(*f);
        append_line(fd.get(), {"X"});
    }
    ::fdatasync(fd.get());
    return result;
}

UndoPreview PreviewUndo(const std::string& journal_path)
{
    UndoPreview preview;
    const Fd fd(::open(journal_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        preview.damage = JournalDamage::Unreadable;
        preview.error = errno;
        return preview;
    }
    Journal journal;
    if (read_journal(fd.get(), LOCK_SH, journal) == Held::ByAnother) {
        preview.in_progress = true;
        return preview;
    }
    preview.damage = journal.damage;
    preview.error = journal.error;
    if (journal.damage != JournalDamage::None)
        return preview;
    preview.garbled_lines = journal.garbled_lines;
    for (const auto& [index, entry] : pending_entries(journal)) {
        FileStamp unused;
        preview.steps.push_back(
            {entry->op, entry->target, entry->source, check_entry(*entry, unused)});
    }
    for (auto f = journal.folders.rbegin(); f != journal.folders.rend(); ++f) {
        if (platform::folder_exists(*f))
            preview.folders.push_back(*f);
    }
    return preview;
}

std::string RunTimeText(long long started)
{
    const auto seconds = static_cast<std::time_t>(started);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

void UndoLastRun(UserHost& host, const std::string& journal_folder)
{
    const LastRun run = FindLastRun(journal_folder);
    if (run.state == LastRunState::Nothing) {
        host.ShowMessage("元に戻せる処理がありません");
        return;
    }
    if (run.state == LastRunState::InProgress) {
        host.ShowMessage("処理中のため元に戻せません");
        return;
    }
    if (run.state == LastRunState::Damaged) {
        host.ShowMessage(damaged_message_ja(run.journal, run.damage, run.error));
        return;
    }
    std::string question = std::to_string(run.operations) +
                           "個のファイルを元に戻します. よろしいですか?\n(" +
                           RunTimeText(run.started) + " の処理)";
    if (!run.garbled_lines.empty())
        question += "\n" + garbled_ja(run.journal, run.garbled_lines);
    if (host.Ask("確認", question, Buttons::OkCancel) != Answer::Ok)
        return;
    UndoResult result;
    {
        const std::string text = "元に戻しています";
        auto dialog = host.ShowProgress(text);
        dialog->SetCaption("Zumo変換");
        result = UndoRun(run.journal, [&](int position, int count) {
            dialog->SetProgress(text, count - 1, position);
            return !dialog->Cancelled();
        });
    }
    if (result.in_progress)
        host.ShowMessage("処理中のため元に戻せません");
    else if (result.damage != JournalDamage::None)
        host.ShowMessage(damaged_message_ja(run.journal, result.damage, result.error));
    else
        host.ShowMessage(result_message(run.journal, result));
}

namespace {

void print_step(std::ostream& out, const UndoStep& step)
{
    if (step.left) {
        out << "would leave " << step.file << ": " << reason_en(*step.left) << '\n';
    } else if (step.op == JournalOp::Move) {
        out << "would restore " << step.file << " -> " << step.old_name << '\n';
    } else {
        out << "would delete " << step.file << " (a copy of " << step.old_name
            << ", which holds the same bytes)\n";
    }
}

int dry_run_undo(std::ostream& err, std::ostream& out, const LastRun& run)
{
    const UndoPreview preview = PreviewUndo(run.journal);
    if (preview.in_progress) {
        err << "zumo: the last run is still in progress (" << run.journal << "); nothing undone\n";
        return 2;
    }
    if (preview.damage != JournalDamage::None) {
        report_damaged(err, run.journal, preview.damage, preview.error);
        return 2;
    }
    int left = 0;
    for (const UndoStep& step : preview.steps) {
        print_step(out, step);
        left += step.left.has_value();
    }
    for (const std::string& folder : preview.folders)
        out << "would remove the folder " << folder << " if it is empty then\n";
    out << std::flush;
    report_garbled(err, run.journal, preview.garbled_lines);
    err << "zumo: dry run: " << static_cast<int>(preview.steps.size()) - left << " of "
        << preview.steps.size() << " files would be restored; nothing was changed\n"
        << std::flush;
    return left == 0 && preview.garbled_lines.empty() ? 0 : 1;
}

} // namespace

int UndoFromCommandLine(std::ostream& err, const std::string& journal_folder, UndoMode mode,
                        std::ostream* out)
{
    const LastRun run = FindLastRun(journal_folder);
    if (run.state == LastRunState::Nothing) {
        err << "zumo: nothing to undo (no rename, copy or move run is recorded in "
            << (journal_folder.empty() ? std::string("$XDG_STATE_HOME/zumo") : journal_folder)
            << ")\n";
        return 2;
    }
    if (run.state == LastRunState::InProgress) {
        err << "zumo: the last run is still in progress (" << run.journal << "); nothing undone\n";
        return 2;
    }
    if (run.state == LastRunState::Damaged) {
        report_damaged(err, run.journal, run.damage, run.error);
        return 2;
    }
    if (mode == UndoMode::DryRun)
        return dry_run_undo(err, out ? *out : err, run);
    err << "zumo: undoing the run of " << RunTimeText(run.started) << " (" << run.operations
        << " files)\n";
    const UndoResult result = UndoRun(run.journal);
    if (result.in_progress) {
        err << "zumo: the last run is still in progress (" << run.journal << "); nothing undone\n";
        return 2;
    }
    if (result.damage != JournalDamage::None) {
        report_damaged(err, run.journal, result.damage, result.error);
        return 2;
    }
    for (const UndoSkipped& s : result.skipped)
        err << "zumo: " << s.file << ": " << reason_en(s) << '\n';
    report_garbled(err, run.journal, result.garbled_lines);
    err << "zumo: " << result.restored << " of " << run.operations << " files restored";
    if (!result.skipped.empty())
        err << ", " << result.skipped.size() << " left as they are";
    err << '\n' << std::flush;
    return result.skipped.empty() && result.garbled_lines.empty() ? 0 : 1;
}

} // namespace zumo
