// The one rule every writer of a run follows (conversion, rename, undo): a
// file is replaced only when the user's setting allows it, and never when it
// is write-protected, an input the same run has still to read, or a file the
// run made itself. Whatever breaks the rule fails that one file with its
// reason; the run goes on with the next.
//
// The checks ask a FileView: the real run asks the disk (DiskView), a dry run
// its planned view of what the earlier files would have made, so the two ask
// the very same questions and cannot come to different verdicts.
#pragma once

#include "platform/file_ops.h"

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace platform {

enum class FileKind { None, File, Folder, Pipe, Socket, Device, Other };

// What path names now, links followed; a link that leads nowhere is None.
FileKind file_kind(const std::string& path);

// What the files of one run share: the files it made so far and the inputs
// it has still to reach, both by identity, so that no spelling of a path
// slips past. Guarded, so that files converted side by side may share it.
class RunFiles
{
public:
    // The run's input path waits for its turn (registered once per time it
    // is named; a file that does not exist is not registered).
    void AddPending(const std::string& path);
    // The turn of path has come: one registration of it ends.
    void TakeTurn(const std::string& path);
    bool Pending(const std::string& path) const;

    // The run made the file path names now.
    void AddMade(const std::string& path);
    bool Made(const std::string& path) const;

private:
    mutable std::mutex m_mutex;
    std::map<FileId, int> m_pending;
    std::set<FileId> m_made;
};

// The files as a check sees them.
class FileView
{
public:
    virtual ~FileView() = default;
    virtual FileKind Kind(const std::string& path) const = 0;
    // Anything but a folder takes a name, also a link that leads nowhere.
    virtual bool NonFolderExists(const std::string& path) const = 0;
    // An existing file without any write permission bit.
    virtual bool ReadOnly(const std::string& path) const = 0;
    virtual bool SameFile(const std::string& a, const std::string& b) const = 0;
    virtual bool MadeByRun(const std::string& path) const = 0;
    virtual bool PendingInput(const std::string& path) const = 0;
    virtual bool MayRead(const std::string& path) const = 0;
    // folder with or without its separator; "" is the working folder.
    virtual bool MayWriteInto(const std::string& folder) const = 0;

    bool FileExists(const std::string& path) const { return Kind(path) == FileKind::File; }
    bool FolderExists(const std::string& path) const { return Kind(path) == FileKind::Folder; }
};

// The disk as it is, with the sets of a run (none when run is null).
class DiskView : public FileView
{
public:
    explicit DiskView(const RunFiles* run = nullptr) : m_run(run) {}
    FileKind Kind(const std::string& path) const override { return file_kind(path); }
    bool NonFolderExists(const std::string& path) const override;
    bool ReadOnly(const std::string& path) const override;
    bool SameFile(const std::string& a, const std::string& b) const override;
    bool MadeByRun(const std::string& path) const override;
    bool PendingInput(const std::string& path) const override;
    bool MayRead(const std::string& path) const override;
    bool MayWriteInto(const std::string& folder) const override;

private:
    const RunFiles* m_run;
};

// Each check returns why the file fails, or "" when it may go on.

// The input is a regular file.
std::string input_refusal(const FileView& view, const std::string& path);
// The input's content can be read (for a conversion or a copy).
std::string read_refusal(const FileView& view, const std::string& path);
// The input can be moved out of its folder.
std::string move_refusal(const FileView& view, const std::string& path);
// The name and the path fit the file system's limits (NAME_MAX, PATH_MAX).
std::string name_refusal(const std::string& path);
// Something can be written into folder (ending with the separator, or empty
// for the working folder); new_folder is the folder the file's plan makes
// first (one level), or empty.
std::string folder_refusal(const FileView& view, const std::string& folder,
                           const std::string& new_folder);

enum class Replace { Never, Allowed }; // the user's setting for an existing file

// target may be written: it is no folder, no file the run made, no input
// the run has still to read, and an existing file there may be replaced
// (the setting says so and it is not write-protected).
std::string target_refusal(const FileView& view, const std::string& target, Replace replace);

} // namespace platform
