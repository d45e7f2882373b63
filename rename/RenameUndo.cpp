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
    bool valid = false;
    long long started = 0;
    std::map<int, Entry> entries;
    std::vector<std::string> folders; // made by the run, in order
    bool undone = false;

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

std::string read_all(int fd)
{
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
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

// Lines that do not check out (torn by a crash, garbled by a power cut)
// are left out; what they would have said is then not known, and the undo
// acts as if the operation had not been recorded as finished.
Journal parse_journal(const std::string& text)
{
    Journal journal;
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break; // the last line was being written
        const auto fields = journal_format::parse(text.substr(start, end - start));
        start = end + 1;
        if (first) {
            first = false;
            if (!fields || fields->size() != 4 || (*fields)[0] != journal_format::k_magic ||
                (*fields)[1] != std::to_string(journal_format::k_version))
                return journal;
            journal.valid = true;
            journal.started = std::atoll((*fields)[2].c_str());
            continue;
        }
        if (fields && !fields->empty())
            read_entry_line(*fields, journal);
    }
    return journal;
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
    // A copy keeps the source's time; the bytes settle it. Deleting a file
    // that holds exactly what the source still holds loses nothing.
    const auto source_now = file_stamp(e.source);
    return source_now && *source_now == *e.source_stamp && source_now->inode != now.inode &&
           same_content(e.source, e.target);
}

std::optional<UndoSkipped> undo_entry(const Entry& e)
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
    if (e.done_stamp ? *now != *e.done_stamp : !made_by_unfinished(e, *now))
        return skip; // Changed
    bool ok = false;
    if (e.op == JournalOp::Copy) {
        ok = platform::delete_file(e.target);
    } else {
        if (name_taken(e.source)) {
            skip.why = UndoSkip::NameTaken;
            return skip;
        }
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
    case UndoSkip::Failed:
        break;
    }
    return std::string("cannot be undone: ") + std::strerror(s.error);
}

std::string result_message(const UndoResult& result)
{
    std::string text = std::to_string(result.restored) + "個のファイルを元に戻しました";
    if (!result.skipped.empty()) {
        text += ". " + std::to_string(result.skipped.size()) + "個のファイルは元に戻せません:";
        for (std::size_t i = 0; i < result.skipped.size() && i < k_named_in_message; ++i)
            text += "\n" + result.skipped[i].file + ": " + reason_ja(result.skipped[i]);
        if (result.skipped.size() > k_named_in_message)
            text += "\nほか" + std::to_string(result.skipped.size() - k_named_in_message) + "個";
    }
    if (result.stopped)
        text += "\n(中断しました. 残りはもう一度「元に戻す」で戻せます)";
    return text;
}

} // namespace

LastRun FindLastRun(const std::string& folder)
{
    LastRun run;
    if (folder.empty())
        return run;
    for (const std::string& path : journal_paths(folder)) {
        const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid())
            continue;
        if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
            run.state = LastRunState::InProgress;
            run.journal = path;
            return run;
        }
        const Journal journal = parse_journal(read_all(fd.get()));
        if (!journal.valid || journal.undone || journal.pending() == 0)
            continue;
        run.state = LastRunState::Found;
        run.journal = path;
        run.started = journal.started;
        run.operations = journal.pending();
        return run;
    }
    return run;
}

UndoResult UndoRun(const std::string& journal_path,
                   const std::function<bool(int position, int count)>& progress)
{
    UndoResult result;
    const Fd fd(::open(journal_path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        result.in_progress = fd.valid();
        return result;
    }
    const Journal journal = parse_journal(read_all(fd.get()));
    const int count = journal.pending();
    int position = 0;
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        const Entry& e = it->second;
        if (!e.pending())
            continue;
        if (progress && !progress(position, count)) {
            result.stopped = true;
            break;
        }
        ++position;
        if (auto skipped = undo_entry(e)) {
            result.skipped.push_back(std::move(*skipped));
            continue;
        }
        ++result.restored;
        // Recorded at once: an undo that stops here is continued by the next.
        append_line(fd.get(), {"U", std::to_string(it->first)});
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
    const std::string question = std::to_string(run.operations) +
                                 "個のファイルを元に戻します. よろしいですか?\n(" +
                                 RunTimeText(run.started) + " の処理)";
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
    host.ShowMessage(result.in_progress ? "処理中のため元に戻せません" : result_message(result));
}

int UndoFromCommandLine(std::ostream& err, const std::string& journal_folder)
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
    err << "zumo: undoing the run of " << RunTimeText(run.started) << " (" << run.operations
        << " files)\n";
    const UndoResult result = UndoRun(run.journal);
    if (result.in_progress) {
        err << "zumo: the last run is still in progress (" << run.journal << "); nothing undone\n";
        return 2;
    }
    for (const UndoSkipped& s : result.skipped)
        err << "zumo: " << s.file << ": " << reason_en(s) << '\n';
    err << "zumo: " << result.restored << " of " << run.operations << " files restored";
    if (!result.skipped.empty())
        err << ", " << result.skipped.size() << " left as they are";
    err << '\n' << std::flush;
    return result.skipped.empty() ? 0 : 1;
}

} // namespace zumo
