#include "platform/file_ops.h"

#include "platform/path.h"

#ifdef _WIN32
// Windows has the primitives themselves; only the replacing copy and the
// guards against a file meeting itself are added.
#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace platform {
namespace {

DWORD attributes_of(const std::string& path)
{
    return path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(path.c_str());
}

bool handle_info(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
{
    HANDLE h =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    return ok;
}

} // namespace

bool file_exists(const std::string& path)
{
    const DWORD attr = attributes_of(path);
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool folder_exists(const std::string& path)
{
    const DWORD attr = attributes_of(path);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool non_folder_exists(const std::string& path)
{
    const DWORD attr = attributes_of(path);
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool file_is_read_only(const std::string& path)
{
    return file_exists(path) && (attributes_of(path) & FILE_ATTRIBUTE_READONLY);
}

std::optional<FileId> file_id(const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle_info(path, info))
        return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) |
                      info.nFileIndexLow};
}

std::FILE* open_file_for_reading(const std::string& path)
{
    if (!file_exists(path)) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path.c_str(), "rb");
}

int create_temp_file(const std::string& folder, std::string& path, unsigned)
{
    char temp[MAX_PATH];
    if (!::GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "zmo", 0, temp))
        return -1;
    path = temp;
    return ::_open(temp, _O_WRONLY | _O_BINARY);
}

bool create_folder(const std::string& path)
{
    return !path.empty() && ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool remove_empty_folder(const std::string& path)
{
    return !path.empty() && ::RemoveDirectoryA(path.c_str()) != 0;
}

bool same_file(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return handle_info(a, ia) && handle_info(b, ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool delete_file(const std::string& path)
{
    return !path.empty() && ::DeleteFileA(path.c_str()) != 0;
}

bool copy_file(const std::string& source, const std::string& target, IfExists if_exists)
{
    if (source.empty() || target.empty())
        return false;
    if (if_exists == IfExists::Fail)
        return ::CopyFileA(source.c_str(), target.c_str(), TRUE) != 0;
    if (folder_exists(target) || same_file(source, target))
        return false;
    // A complete copy under a temporary name first, then one replacing move.
    std::string folder = folder_part(target);
    char temp[MAX_PATH];
    if (!::GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "zmo", 0, temp))
        return false;
    if (::CopyFileA(source.c_str(), temp, FALSE) &&
        ::MoveFileExA(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = ::GetLastError();
    ::DeleteFileA(temp);
    ::SetLastError(error);
    return false;
}

bool move_file(const std::string& source, const std::string& target, IfExists if_exists)
{
    if (source.empty() || target.empty())
        return false;
    // Across volumes MoveFileEx copies; WRITE_THROUGH makes it return only
    // once the copy is on the disk and the source is gone.
    DWORD flags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (if_exists == IfExists::Replace) {
        if (folder_exists(target) || same_file(source, target))
            return false;
        flags |= MOVEFILE_REPLACE_EXISTING;
    }
    return ::MoveFileExA(source.c_str(), target.c_str(), flags) != 0;
}

} // namespace platform

#else

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace platform {
namespace {

// Closes a descriptor on every way out; keeps errno of the real failure.
class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void assign(int fd)
    {
        reset();
        m_fd = fd;
    }
    bool valid() const { return m_fd >= 0; }
    // Closes now and reports whether the close succeeded: on some file
    // systems (NFS) a write error shows only here.
    bool close_checked()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset()
    {
        if (m_fd >= 0) {
            int saved = errno;
            ::close(m_fd);
            errno = saved;
            m_fd = -1;
        }
    }

private:
    int m_fd;
};

// /proc's name for an open descriptor, through which a file without a name
// gets one (linkat with AT_EMPTY_PATH would need a privilege).
std::string fd_link(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Temporary names: ".zumo-HHHH-PPPPPPPP-RRRRRR", the host tag, the process
// id and a random part in hex. The host tag keeps a folder shared over the
// network from being swept by a machine that cannot see the writer.
constexpr char k_temp_prefix[] = ".zumo-";

unsigned host_tag()
{
    static const unsigned tag = [] {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        unsigned hash = 2166136261u; // FNV-1a
        for (const char* c = host; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
        return (hash ^ (hash >> 16)) & 0xFFFFu;
    }();
    return tag;
}

std::string temp_name()
{
    static std::atomic<unsigned> counter{0};
    const auto clock = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    const unsigned long long mixed = clock + 0x9E3779B97F4A7C15ull * (counter++ + 1u);
    char name[40];
    std::snprintf(name, sizeof name, "%s%04x-%08x-%06x", k_temp_prefix, host_tag(),
                  static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>((mixed ^ (mixed >> 29)) & 0xFFFFFFu));
    return name;
}

// The process that made a temporary name of this host; nothing for any
// other name.
std::optional<pid_t> temp_owner(std::string_view name)
{
    constexpr std::size_t prefix = sizeof k_temp_prefix - 1;
    if (name.size() != k_temp_name_length || name.substr(0, prefix) != k_temp_prefix ||
        name[prefix + 4] != '-' || name[prefix + 13] != '-')
        return std::nullopt;
    const auto hex = [&](std::size_t from, std::size_t count) -> std::optional<unsigned> {
        unsigned value = 0;
        for (const char c : name.substr(from, count)) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return value;
    };
    const auto host = hex(prefix, 4);
    const auto pid = hex(prefix + 5, 8);
    if (!host || !pid || !hex(prefix + 14, 6) || *host != host_tag() || *pid == 0 ||
        *pid > 0x7FFFFFFFu)
        return std::nullopt;
    return static_cast<pid_t>(*pid);
}

bool process_alive(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Removes, in folder, the temporary files that this user's processes on
// this host left behind and that are no longer alive; nothing else is
// ever touched.
void sweep_stale_temps(const std::string& folder)
{
    const int saved = errno;
    const std::string where = folder.empty() ? std::string(".") : folder;
    DIR* dir = ::opendir(where.c_str());
    if (!dir) {
        errno = saved;
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const auto owner = temp_owner(entry->d_name);
        if (!owner || *owner == ::getpid() || process_alive(*owner))
            continue;
        struct stat st
        {
        };
        // Relative to the open folder, so a folder renamed meanwhile is
        // still the one that was read.
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
    errno = saved;
}

// Sweeps each folder once per process: a later temporary in the same
// folder finds only live writers' files there.
void sweep_once(const std::string& folder)
{
    static std::mutex mutex;
    static std::set<std::string> swept; // by path: a second spelling costs one more look
    {
        const std::lock_guard lock(mutex);
        if (!swept.insert(folder).second)
            return;
    }
    sweep_stale_temps(folder);
}

bool stat_path(const std::string& path, struct stat& st)
{
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool copy_content(int from, int to)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!write_all(to, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

enum class Flush { No, Yes };

// Fills the open target from the open source, gives it the source's
// permission bits and times (as CopyFile keeps the last-write time), and
// optionally waits until it is on the disk.
bool fill_target(int source_fd, const struct stat& source_st, int target_fd, Flush flush)
{
    if (!copy_content(source_fd, target_fd))
        return false;
    ::fchmod(target_fd, source_st.st_mode & 07777); // best effort, as ownership
    const struct timespec times[2] = {source_st.st_atim, source_st.st_mtim};
    ::futimens(target_fd, times);
    if (flush == Flush::Yes && ::fsync(target_fd) != 0)
        return false;
    return true;
}

void sync_folder_of(const std::string& path)
{
    std::string folder = folder_part(path);
    if (folder.empty())
        folder = ".";
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
}

// Opens a regular file for reading. The path is looked at before it is
// opened, and the open does not wait, so that neither a named pipe without
// a writer nor a device holds the run up; the open file is checked again.
int open_regular(const std::string& path, struct stat& st)
{
    if (!stat_path(path, st))
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return -1;
    return fd.release();
}

bool open_source(const std::string& source, Fd& fd, struct stat& st)
{
    fd.assign(open_regular(source, st));
    return fd.valid();
}

bool has_write_bit(const struct stat& st)
{
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// A target that exists and is read-only may not be replaced.
bool refuse_read_only_target(const std::string& target)
{
    struct stat st
    {
    };
    if (stat_path(target, st) && S_ISREG(st.st_mode) && !has_write_bit(st)) {
        errno = EACCES;
        return true;
    }
    return false;
}

// A complete copy of source in a temporary file beside target, then given
// target's name: exclusively (IfExists::Fail; O_EXCL-like, dangling links
// and folders included), or replacing in one rename. Until then no file of
// that name is touched, and a copy cut short never carries it.
bool copy_via_temp(const std::string& source, const std::string& target, IfExists if_exists,
                   Flush flush)
{
    Fd in(-1);
    struct stat st
    {
    };
    if (!open_source(source, in, st))
        return false;
    if (if_exists == IfExists::Replace) {
        struct stat target_st
        {
        };
        if (stat_path(target, target_st)) {
            if (S_ISDIR(target_st.st_mode)) {
                errno = EISDIR;
                return false;
            }
            if (target_st.st_dev == st.st_dev && target_st.st_ino == st.st_ino) {
                errno = EEXIST; // CopyFile cannot copy a file onto itself
                return false;
            }
            if (refuse_read_only_target(target))
                return false;
        }
    } else if (struct stat taken{}; ::lstat(target.c_str(), &taken) == 0) {
        // Taken already: fail before copying a byte. The placement below
        // still fails if the name is taken while the copy is written.
        errno = EEXIST;
        return false;
    }
    TempFile out;
    if (!out.create(folder_part(target)) || !fill_target(in.get(), st, out.fd(), flush))
        return false;
    return out.place(target, if_exists);
}

bool is_unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP ||
           error == EPERM;
}

// rename() that fails with EEXIST when target exists, as MoveFile does: one
// that does not replace where the system has it, else a hard link made
// exclusively and the old name removed.
bool rename_no_replace(const std::string& source, const std::string& target)
{
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned k_rename_noreplace = 1; // RENAME_NOREPLACE
    if (::syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(),
                  k_rename_noreplace) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
#endif
    if (::link(source.c_str(), target.c_str()) == 0) {
        if (::unlink(source.c_str()) == 0)
            return true;
        int saved = errno;
        ::unlink(target.c_str());
        errno = saved;
        return false;
    }
    if (!is_unsupported(errno))
        return false;
    // No hard links either (FAT): an empty file claims the name
    // exclusively, then the rename replaces only that. Another program that
    // takes the name meanwhile sees it taken.
    Fd claim(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!claim.valid())
        return false;
    claim.reset();
    if (::rename(source.c_str(), target.c_str()) == 0)
        return true;
    int saved = errno;
    ::unlink(target.c_str());
    errno = saved;
    return false;
}

// The source goes only after the copy is complete and on the disk.
bool move_across(const std::string& source, const std::string& target, IfExists if_exists)
{
    const bool copied = copy_via_temp(source, target, if_exists, Flush::Yes);
    if (!copied)
        return false;
    sync_folder_of(target);
    return ::unlink(source.c_str()) == 0;
}

} // namespace

bool file_exists(const std::string& path)
{
    struct stat st
    {
    };
    return stat_path(path, st) && S_ISREG(st.st_mode);
}

bool non_folder_exists(const std::string& path)
{
    struct stat st
    {
    };
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode) && !(S_ISLNK(st.st_mode) && folder_exists(path));
}

bool file_is_read_only(const std::string& path)
{
    struct stat st
    {
    };
    return stat_path(path, st) && S_ISREG(st.st_mode) && !has_write_bit(st);
}

std::optional<FileId> file_id(const std::string& path)
{
    struct stat st
    {
    };
    if (!stat_path(path, st))
        return std::nullopt;
    return FileId{static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino)};
}

std::FILE* open_file_for_reading(const std::string& path)
{
    struct stat st
    {
    };
    Fd fd(open_regular(path, st));
    if (!fd.valid())
        return nullptr;
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (file != nullptr)
        fd.release();
    return file;
}

int create_temp_file(const std::string& folder, std::string& path, unsigned mode)
{
    sweep_once(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = folder + temp_name();
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              static_cast<mode_t>(mode));
        if (fd >= 0) {
            path = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

TempFile::~TempFile()
{
    discard();
}

void TempFile::discard()
{
    const int saved = errno;
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_path.empty())
        ::unlink(m_path.c_str());
    m_fd = -1;
    m_path.clear();
    errno = saved;
}

bool TempFile::create(const std::string& folder, unsigned mode)
{
    discard();
#if defined(O_TMPFILE)
    const std::string where = folder.empty() ? std::string(".") : folder;
    Fd nameless(::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode)));
    // The name is given later through /proc; without /proc mounted the
    // file could never be named.
    if (nameless.valid() && ::access(fd_link(nameless.get()).c_str(), F_OK) == 0) {
        sweep_once(folder); // what a kill between link and rename left
        m_fd = nameless.release();
        return true;
    }
#endif
    // No O_TMPFILE here (or no /proc): a named temporary, which a sweep
    // removes should this process be killed before it is placed.
    m_fd = create_temp_file(folder, m_path, mode);
    return m_fd >= 0;
}

bool TempFile::place(const std::string& target, IfExists if_exists)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    if (m_path.empty()) {
        // A write error that only the close reports (NFS) shows on a
        // duplicate as well; the original stays open for the link.
        if (::close(::dup(m_fd)) != 0) {
            discard();
            return false;
        }
        const std::string self = fd_link(m_fd);
        if (if_exists == IfExists::Fail) {
            const bool linked =
                ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
            discard();
            return linked;
        }
        // Renaming is the only step that replaces in one go, and it needs
        // a name to rename from: a temporary one, for the blink between
        // the two calls.
        const std::string folder = folder_part(target);
        sweep_once(folder);
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            std::string candidate = folder + temp_name();
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
                0)
                m_path = std::move(candidate);
            else if (errno != EEXIST)
                break;
        }
        if (m_path.empty()) {
            discard();
            return false;
        }
    }
    Fd fd(std::exchange(m_fd, -1));
    if (!fd.close_checked()) {
        discard();
        return false;
    }
    const bool placed = if_exists == IfExists::Fail ? rename_no_replace(m_path, target)
                                                    : ::rename(m_path.c_str(), target.c_str()) == 0;
    if (placed)
        m_path.clear();
    discard();
    return placed;
}

bool folder_exists(const std::string& path)
{
    struct stat st
    {
    };
    return stat_path(path, st) && S_ISDIR(st.st_mode);
}

bool create_folder(const std::string& path)
{
    return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

bool remove_empty_folder(const std::string& path)
{
    return !path.empty() && ::rmdir(path.c_str()) == 0;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa
    {
    }, sb{};
    return stat_path(a, sa) && stat_path(b, sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool delete_file(const std::string& path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

bool copy_file(const std::string& source, const std::string& target, IfExists if_exists)
{
    if (source.empty() || target.empty()) {
        errno = ENOENT;
        return false;
    }
    // A replacing copy is flushed before it takes the place of the old
    // file; a new one is not, as Windows' CopyFile does not either.
    return copy_via_temp(source, target, if_exists,
                         if_exists == IfExists::Replace ? Flush::Yes : Flush::No);
}

bool move_file(const std::string& source, const std::string& target, IfExists if_exists)
{
    if (source.empty() || target.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat source_st
    {
    };
    if (::lstat(source.c_str(), &source_st) != 0)
        return false;
    if (if_exists == IfExists::Fail) {
        if (rename_no_replace(source, target))
            return true;
    } else {
        if (same_file(source, target)) {
            errno = EEXIST;
            return false;
        }
        if (folder_exists(target)) {
            errno = EISDIR;
            return false;
        }
        if (refuse_read_only_target(target))
            return false;
        if (::rename(source.c_str(), target.c_str()) == 0)
            return true;
    }
    if (errno != EXDEV)
        return false;
    return move_across(source, target, if_exists);
}

} // namespace platform

#endif // _WIN32
