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
#pragma once

#include "convert/user_host.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace zumo {

enum class UndoSkip {
    Changed,   // the file was changed or replaced since the run
    Gone,      // no file at the place the run put it
    NameTaken, // the old name is taken again
    Replaced,  // the copy replaced a file of the same name: deleting it
               // would not bring that file back
    Failed,    // the move back or the deletion failed
};

struct UndoSkipped
{
    std::string file;     // where the run put the file
    std::string old_name; // the source of the run's operation
    UndoSkip why = UndoSkip::Changed;
    int error = 0; // Failed: the system's error number
};

struct UndoResult
{
    bool in_progress = false; // the journal is held by a run or another undo
    int restored = 0;         // moved back, or the copy deleted
    std::vector<UndoSkipped> skipped;
    bool stopped = false; // progress asked to stop; the rest stays for later
};

enum class LastRunState { Found, Nothing, InProgress };

struct LastRun
{
    LastRunState state = LastRunState::Nothing;
    std::string journal;   // Found: the journal's path
    long long started = 0; // seconds since the epoch
    int operations = 0;    // operations still to reverse
};

// The newest journal in folder that is not undone yet and has something to
// reverse. InProgress when the newest such journal is still held by a run.
LastRun FindLastRun(const std::string& folder);

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

// zumo --undo: reports on err, one line per file left as it was and a
// summary. Returns 0 when every operation was reversed, 1 when any was
// left, 2 when nothing could be undone (no run to undo, a run still in
// progress).
int UndoFromCommandLine(std::ostream& err, const std::string& journal_folder);

} // namespace zumo
