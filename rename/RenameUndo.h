// Undo of the most recent rename run from its journal (RenameJournal.h):
// moves go back to their old names, copies that the run made are deleted,
// newest first. An undo only touches a file that is provably the one the
// run left: its identity, size and modification time are still those the
// journal recorded. Everything else is skipped and reported; an undo never
// deletes or replaces a file the run did not make.
//
// A run whose journal ends in the middle (the program crashed) is undone as
// far as its lines tell: an operation that was begun but never recorded as
// finished is reversed only when the file at its target is unmistakably
// the run's (for a copy: the same size and time as the source and the same
// bytes). Each reversed operation is recorded in the journal at once, so an
// undo that is stopped or crashes is continued by the next one; a finished
// undo marks the run as undone, and the next undo reverses the run before.
//
// A copy is deleted only while its source still holds the same bytes: when
// the source is gone or changed, the copy may be the only one left.
//
// A journal that cannot be read as one (empty, a first line that is not
// its header, a read error) stops the undo: what it recorded is unknown,
// and undoing the run before it would leave that run's files as they are
// without a word. Lines in the middle that fail their checksum are named
// in the report; the torn last line of a crashed run is not.
#pragma once

#include "convert/user_host.h"
#include "rename/RenameJournal.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace zumo {

enum class UndoSkip {
    Changed,       // the file was changed or replaced since the run
    Gone,          // no file at the place the run put it
    NameTaken,     // the old name is taken again
    Replaced,      // the copy replaced a file of the same name: deleting it
                   // would not bring that file back
    Failed,        // the move back or the deletion failed
    SourceGone,    // a copy whose source is gone: it may be the only one left
    SourceChanged, // a copy whose source no longer holds the same bytes
};

struct UndoSkipped
{
    std::string file;     // where the run put the file
    std::string old_name; // the source of the run's operation
    UndoSkip why = UndoSkip::Changed;
    int error = 0; // Failed: the system's error number
};

// Why a journal cannot be read as one.
enum class JournalDamage {
    None,
    Empty,      // no byte at all
    BadHeader,  // the first line is not a whole, good journal header
    Unreadable, // opening or reading it failed (error says why)
};

struct UndoResult
{
    bool in_progress = false;                   // the journal is held by a run or another undo
    JournalDamage damage = JournalDamage::None; // nothing was done
    int error = 0;                              // Unreadable: the system's error number
    int restored = 0;                           // moved back, or the copy deleted
    std::vector<UndoSkipped> skipped;
    std::vector<int> garbled_lines; // line numbers (from 1) that failed their checksum
    bool stopped = false;           // progress asked to stop; the rest stays for later
};

enum class LastRunState { Found, Nothing, InProgress, Damaged };

struct LastRun
{
    LastRunState state = LastRunState::Nothing;
    std::string journal;   // Found, InProgress, Damaged: the journal's path
    long long started = 0; // seconds since the epoch
    int operations = 0;    // operations still to reverse
    std::vector<int> garbled_lines;
    JournalDamage damage = JournalDamage::None; // Damaged: why
    int error = 0;                              // Unreadable: the system's error number
};

// The newest journal in folder that is not undone yet and has something to
// reverse or garbled lines to report. InProgress when that journal is still
// held by a run; Damaged when a journal newer than any such one cannot be
// read as one (the search stops there).
LastRun FindLastRun(const std::string& folder);

// One operation of the run as an undo would treat it now.
struct UndoStep
{
    JournalOp op = JournalOp::Copy;
    std::string file;                // where the run put the file
    std::string old_name;            // the source of the run's operation
    std::optional<UndoSkipped> left; // nothing: moved back, or the copy deleted
};

struct UndoPreview
{
    bool in_progress = false;
    JournalDamage damage = JournalDamage::None;
    int error = 0;
    std::vector<UndoStep> steps;      // newest first
    std::vector<std::string> folders; // made by the run: removed when empty
    std::vector<int> garbled_lines;
};

// What UndoRun would do now, by the same checks, touching nothing (the
// journal included).
UndoPreview PreviewUndo(const std::string& journal);

// Reverses the run of journal, newest operation first. progress, when
// given, is called before each operation with its position (from 0) and
// the count; false stops the undo there.
UndoResult UndoRun(const std::string& journal,
                   const std::function<bool(int position, int count)>& progress = {});

// "2026/12/08 11:50:02" in local time.
std::string RunTimeText(long long started);

// The window's "元に戻す": asks first, shows progress (キャンセル stops after
// the current file) and tells the result in one message.
void UndoLastRun(UserHost& host, const std::string& journal_folder);

// Whether zumo --undo acts or only says what it would do (--dry-run).
enum class UndoMode { Act, DryRun };

// zumo --undo: reports on err, one line per file left as it was and a
// summary. Returns 0 when every operation was reversed, 1 when any was
// left or the journal has garbled lines, 2 when nothing could be undone
// (no run to undo, a run still in progress, a damaged journal).
// UndoMode::DryRun prints one line per operation on out (what would be
// restored, what would be left and why), changes nothing and returns the
// status the undo would give.
int UndoFromCommandLine(std::ostream& err, const std::string& journal_folder,
                        UndoMode mode = UndoMode::Act, std::ostream* out = nullptr);

} // namespace zumo
