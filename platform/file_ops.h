// File primitives with the meaning the Win32 calls have (CopyFile with its
// fail-if-exists switch, MoveFile, DeleteFile, file and folder tests,
// CreateDirectory), built so that no failure on the way loses or damages a
// file:
// - a copy is written beside its target without a name (O_TMPFILE) or
//   under a temporary one, and gets the target's name only when complete,
//   so no partly written file ever carries the target's name, also when the
//   program is killed;
// - a copy or move that must not replace anything takes the target's name
//   exclusively (a hard link, or a rename that does not replace), so a file
//   another process puts there meanwhile is never overwritten: the
//   operation fails with EEXIST instead;
// - a copy that replaces renames the complete copy over the target in one
//   step, so a failed copy leaves the old target as it was;
// - a move across file systems copies completely, flushes the copy to the
//   disk and only then removes the source.
// - only regular files are read: a named pipe, a device or a socket given
//   as a source fails at once instead of waiting for a writer forever;
// - a file without any write permission bit counts as read-only, also for
//   a user (root) whom the system would let write it, and is never
//   replaced, as Windows refuses to replace a read-only file;
// - temporary files have short names of bounded length, so a target whose
//   name is as long as the file system allows can still be written; a named
//   one carries the host and the process that made it, and the first
//   temporary this process makes in a folder removes the ones that dead
//   processes of this user and host left behind there.
// Paths are byte strings in the native style. Every function returns false
// on failure and leaves the system's error (errno; GetLastError on Windows)
// as the failing call set it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

namespace platform {

enum class IfExists { Fail, Replace };

// True when path names an existing regular file (a link to one counts as
// the file). Folders, named pipes, devices and sockets are no files.
bool file_exists(const std::string& path);
// True when path names anything but a folder: a file, a named pipe, a
// device, a socket, or a link (also one that leads nowhere). A name taken
// by any of them cannot be created anew.
bool non_folder_exists(const std::string& path);
// True when path names an existing file that has no write permission bit.
bool file_is_read_only(const std::string& path);
// True when path names an existing folder, with or without a trailing
// separator.
bool folder_exists(const std::string& path);
// Creates one folder level; the parent must exist. False when the folder
// could not be created, also when it exists already.
bool create_folder(const std::string& path);
// Removes a folder that is empty; fails for anything else.
bool remove_empty_folder(const std::string& path);
// True when both paths name the same existing file (the same path, a hard
// link, or a spelling that differs only in letter case on a file system
// that ignores case).
bool same_file(const std::string& a, const std::string& b);

// What identifies one file while it exists, whatever path names it.
struct FileId
{
    unsigned long long device = 0;
    unsigned long long inode = 0;
    auto operator<=>(const FileId&) const = default;
};
// The identity of the file path names (links followed); nothing when there
// is none.
std::optional<FileId> file_id(const std::string& path);

// Files remembered by identity, as a run remembers the files it made, so
// that it can refuse to replace them whatever path names them later.
class FileSet
{
public:
    // Remembers the file path names now; nothing when there is none.
    void add(const std::string& path)
    {
        if (const auto id = file_id(path))
            m_ids.insert(*id);
    }
    // True when path names a remembered file.
    bool holds(const std::string& path) const
    {
        const auto id = file_id(path);
        return id && m_ids.contains(*id);
    }

private:
    std::set<FileId> m_ids;
};

// Opens an existing regular file for reading ("rb") without ever blocking:
// nullptr, with errno EINVAL, for a named pipe, a device, a socket or a
// folder, and nullptr with the system's error when it cannot be opened.
std::FILE* open_file_for_reading(const std::string& path);

// Creates an empty file exclusively in folder (which ends with a separator,
// or is empty for the working folder) under a fresh name of
// k_temp_name_length bytes whatever the folder, opened for writing with the
// permission bits mode (less the umask). Returns the descriptor and sets
// path; -1 on failure. Stale temporaries of dead processes in folder are
// removed first (once per folder and process). TempFile is the better
// choice where the file system allows files without a name.
int create_temp_file(const std::string& folder, std::string& path, unsigned mode = 0600);

// ".zumo-HHHH-PPPPPPPP-RRRRRR": host tag, process id and a random part, in hex.
inline constexpr std::size_t k_temp_name_length = 26;

// A file being written that gets its final name only once complete. It is
// made in the target's folder without any name where the file system allows
// it (O_TMPFILE), so a killed program leaves nothing; elsewhere under a
// temporary name (create_temp_file). Whatever was not placed is removed by
// the destructor.
class TempFile
{
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Makes the file in folder (ends with a separator, or empty for the
    // working folder) with the permission bits mode (less the umask). False,
    // with errno set, when it cannot be made.
    bool create(const std::string& folder, unsigned mode = 0600);
    // Open for writing until place().
    int fd() const { return m_fd; }
    // Closes the file and gives it the name target. IfExists::Fail: the
    // name is taken exclusively; fails with EEXIST when anything has it.
    // IfExists::Replace: an existing file is replaced in one rename. On
    // failure the file is removed and errno tells why (a write error shown
    // by the close included).
    bool place(const std::string& target, IfExists if_exists);

private:
    void discard();

    int m_fd = -1;
    std::string m_path; // the temporary name; empty for a file without one
};

// Deletes a file; fails for folders and for names that do not exist.
bool delete_file(const std::string& path);

// Copies the content, permission bits and times of source to target.
// IfExists::Fail: fails when target exists (also a folder or a dangling
// link). IfExists::Replace: replaces an existing file; fails when target is
// a folder, a read-only file or the source itself. The source is never
// changed and must be a regular file.
bool copy_file(const std::string& source, const std::string& target, IfExists if_exists);

// Moves source to target, also to another file system. IfExists::Fail:
// fails when target exists. IfExists::Replace: an existing file at target
// is replaced in one step (the old target stays until the new one is
// complete); fails when target is a read-only file or the source itself. When the move crosses
// file systems and the source cannot be removed after the copy, the copy
// is kept and the result is false.
bool move_file(const std::string& source, const std::string& target, IfExists if_exists);

} // namespace platform
