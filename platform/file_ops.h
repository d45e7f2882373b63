// File primitives with the meaning the Win32 calls have (CopyFile with its
// fail-if-exists switch, MoveFile, DeleteFile, file and folder tests,
// CreateDirectory), built so that no failure on the way loses or damages a
// file:
// - a copy that must not replace anything creates its target exclusively,
//   so there is no moment in which another file of that name is overwritten;
// - a copy that replaces writes a temporary file beside the target and
//   renames it over the target once complete, so a failed copy leaves the
//   old target as it was;
// - a move across file systems copies completely, flushes the copy to the
//   disk and only then removes the source.
// Paths are byte strings in the native style. Every function returns false
// on failure and leaves the system's error (errno; GetLastError on Windows)
// as the failing call set it.
#pragma once

#include <string>

namespace platform {

enum class IfExists { Fail, Replace };

// True when path names an existing entry that is not a folder (a link to a
// file counts as the file).
bool file_exists(const std::string& path);
// True when path names an existing folder, with or without a trailing
// separator.
bool folder_exists(const std::string& path);
// Creates one folder level; the parent must exist. False when the folder
// could not be created, also when it exists already.
bool create_folder(const std::string& path);
// True when both paths name the same existing file (the same path, a hard
// link, or a spelling that differs only in letter case on a file system
// that ignores case).
bool same_file(const std::string& a, const std::string& b);

// Deletes a file; fails for folders and for names that do not exist.
bool delete_file(const std::string& path);

// Copies the content, permission bits and times of source to target.
// IfExists::Fail: fails when target exists (also a folder or a dangling
// link). IfExists::Replace: replaces an existing file; fails when target is
// a folder or the source itself. The source is never changed.
bool copy_file(const std::string& source, const std::string& target, IfExists if_exists);

// Moves source to target, also to another file system. IfExists::Fail:
// fails when target exists. IfExists::Replace: an existing file at target
// is replaced in one step (the old target stays until the new one is
// complete); fails when target is the source itself. When the move crosses
// file systems and the source cannot be removed after the copy, the copy
// is kept and the result is false.
bool move_file(const std::string& source, const std::string& target, IfExists if_exists);

} // namespace platform
