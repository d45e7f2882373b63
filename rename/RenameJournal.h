// The undo journal of the rename runs. Every run that renames, copies or
// moves files keeps one journal file in the journal folder
// ($XDG_STATE_HOME/zumo, ~/.local/state/zumo by default): before each
// operation a line with what is about to happen (source, target, the
// source's size, time and identity), after it a line with the result (the
// new file's size, time and identity, or the failure). An undo reads it back
// (RenameUndo.h).
//
// Lines are appended, each with one write(2) to a file opened for
// appending, and end with a checksum, so a crash of the program leaves
// every line but the one being written, and a line torn or garbled by a
// power cut is recognised and left out (an undo names the garbled ones).
// The file is flushed to the disk when it is made, at most every quarter
// second while the run goes on, and at the end: a flush before every file
// would make a run of thousands of files many times slower, and a lost
// tail only means that an undo leaves those last files where the run put
// them (it never acts on what it cannot prove).
//
// A run holds an exclusive lock (flock) on its journal while it writes, so
// an undo never works on a run that is still going on, in this process or
// another.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zumo {

enum class JournalOp { Copy, Move };

// What tells one state of a file from another: identity, size and
// modification time (nanoseconds since the epoch).
struct FileStamp
{
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long mtime_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file path names (links followed); nothing for
// anything else or nothing.
std::optional<FileStamp> file_stamp(const std::string& path);

// $XDG_STATE_HOME/zumo when XDG_STATE_HOME is absolute, else
// $HOME/.local/state/zumo; empty when neither gives a place.
std::string DefaultJournalFolder();

// How many journals the folder keeps: making a new one removes the oldest
// beyond this number.
inline constexpr int k_kept_journals = 30;

// One run's journal. Nothing is written until the first operation, so a
// run that renames nothing (a conversion run, a refused question) leaves no
// journal, and a journal in which nothing was done is removed at the end.
class RenameJournal
{
public:
    // warn is told once, in the user's language, when the journal cannot be
    // made or written; the run goes on without it.
    explicit RenameJournal(std::string folder, std::function<void(const std::string&)> warn = {});
    ~RenameJournal();
    RenameJournal(const RenameJournal&) = delete;
    RenameJournal& operator=(const RenameJournal&) = delete;

    // FormFileRe made folder (the subfolder "rename"); an undo removes it
    // again when it is empty.
    void FolderCreated(const std::string& folder);
    // Before the copy or move of source to target.
    void Planned(JournalOp op, const std::string& source, const std::string& target);
    // After it: done when the file now is at the target.
    void Finished(bool done);

    // The journal file; empty before the first line or when none could be made.
    const std::string& path() const { return m_path; }

private:
    bool ready();
    bool make_file();
    void append(const std::string& line);
    void fail(int error);
    void flush();

    std::string m_folder;
    std::function<void(const std::string&)> m_warn;
    std::string m_path;
    int m_fd = -1;
    bool m_failed = false;
    int m_next = 0;            // index of the next planned entry
    bool m_open_entry = false; // planned and written, not finished yet
    std::string m_last_target;
    int m_done = 0; // entries that came back done
    bool m_made_folder = false;
    long long m_last_flush_ms = 0;
};

// ---- the line format, shared with the reader --------------------------------

namespace journal_format {

inline constexpr char k_magic[] = "zumo-journal";
inline constexpr int k_version = 1;

// One line without its checksum: fields joined by tabs; every byte below
// 0x20, 0x7F and "%" of a field is written as %XX.
std::string line(const std::vector<std::string>& fields);
// The fields of a line that ends with a good checksum; nothing otherwise.
std::optional<std::vector<std::string>> parse(const std::string& text);
// Four fields: device, inode, size, time; "-" each when there is no stamp.
void add_stamp(std::vector<std::string>& fields, const std::optional<FileStamp>& stamp);
std::optional<FileStamp> stamp_of(const std::vector<std::string>& fields, std::size_t first);

} // namespace journal_format

} // namespace zumo
