#include "rename/RenameJournal.h"

#include "platform/file_ops.h"
#include "platform/path.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zumo {

namespace {

constexpr long long k_flush_interval_ms = 250;
constexpr char k_journal_extension[] = ".journal";

long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// FNV-1a: enough to tell a whole line from a torn or garbled one.
std::string checksum(const std::string& text)
{
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", hash);
    return hex;
}

std::string escape(const std::string& field)
{
    std::string out;
    out.reserve(field.size());
    for (const char c : field) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '%') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(const std::string& field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        if (i + 2 >= field.size())
            return std::nullopt;
        const int hi = hex_digit(field[i + 1]);
        const int lo = hex_digit(field[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

bool parse_number(const std::string& text, unsigned long long& value)
{
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// The folder and its missing parents, the new ones for this user only: the
// journal names the user's files.
bool make_folders(const std::string& folder)
{
    std::error_code error;
    if (std::filesystem::is_directory(folder, error))
        return true;
    const std::filesystem::path path(folder);
    if (path.has_parent_path() && path.parent_path() != path &&
        !make_folders(path.parent_path().string()))
        return false;
    if (::mkdir(folder.c_str(), 0700) == 0)
        return true;
    const int mkdir_error = errno;
    if (std::filesystem::is_directory(folder, error))
        return true;                                       // made by someone else meanwhile
    errno = mkdir_error == EEXIST ? ENOTDIR : mkdir_error; // EEXIST: a file is in the way
    return false;
}

// "20261208T115002.123456789-4711.journal" (UTC): names sort as runs started.
std::string journal_name()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    char name[96];
    std::snprintf(name, sizeof name, "%s.%09ld-%ld%s", stamp, static_cast<long>(now.tv_nsec),
                  static_cast<long>(::getpid()), k_journal_extension);
    return name;
}

// Removes the oldest journals beyond the kept number; one that a run still
// holds stays.
void prune(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(k_journal_extension))
            names.push_back(entry.path().string());
    }
    if (static_cast<int>(names.size()) < k_kept_journals)
        return;
    std::sort(names.begin(), names.end());
    const std::size_t excess = names.size() - static_cast<std::size_t>(k_kept_journals) + 1;
    for (std::size_t i = 0; i < excess; ++i) {
        const int fd = ::open(names[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(names[i].c_str());
        ::close(fd);
    }
}

// A name relative to the working folder (as given on the command line) is
// recorded in full: an undo may run from anywhere.
std::string full_path(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(path, error);
    return error ? path : full.string();
}

} // namespace

std::optional<FileStamp> file_stamp(const std::string& path)
{
    struct stat st
    {
    };
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileStamp{static_cast<unsigned long long>(st.st_dev),
                     static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                     static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

std::string DefaultJournalFolder()
{
    const char sep = platform::path_separator();
    // The XDG rules ignore a relative XDG_STATE_HOME.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == sep)
        return platform::include_trailing_separator(state) + "zumo";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h)
        home = h;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    if (home.empty())
        return {};
    return platform::include_trailing_separator(home) + ".local" + sep + "state" + sep + "zumo";
}

namespace journal_format {

std::string line(const std::vector<std::string>& fields)
{
    std::string text;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            text += '\t';
        text += escape(fields[i]);
    }
    return text + '\t' + checksum(text) + '\n';
}

std::optional<std::vector<std::string>> parse(const std::string& text)
{
    const std::size_t tab = text.rfind('\t');
    if (tab == std::string::npos ||
        text.compare(tab + 1, std::string::npos, checksum(text.substr(0, tab))) != 0)
        return std::nullopt;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\t', start);
        const auto field = unescape(text.substr(start, std::min(end, tab) - start));
        if (!field)
            return std::nullopt;
        fields.push_back(*field);
        if (end >= tab)
            break;
        start = end + 1;
    }
    return fields;
}

void add_stamp(std::vector<std::string>& fields, const std::optional<FileStamp>& stamp)
{
    if (!stamp) {
        fields.insert(fields.end(), 4, "-");
        return;
    }
    fields.push_back(std::to_string(stamp->device));
    fields.push_back(std::to_string(stamp->inode));
    fields.push_back(std::to_string(stamp->size));
    fields.push_back(std::to_string(stamp->mtime_ns));
}

std::optional<FileStamp> stamp_of(const std::vector<std::string>& fields, std::size_t first)
{
    if (fields.size() < first + 4)
        return std::nullopt;
    unsigned long long v[4];
    for (std::size_t i = 0; i < 4; ++i) {
        if (!parse_number(fields[first + i], v[i]))
            return std::nullopt;
    }
    return FileStamp{v[0], v[1], static_cast<long long>(v[2]), static_cast<long long>(v[3])};
}

} // namespace journal_format

RenameJournal::RenameJournal(std::string folder, std::function<void(const std::string&)> warn)
    : m_folder(std::move(folder)), m_warn(std::move(warn))
{
}

RenameJournal::~RenameJournal()
{
    if (m_fd < 0)
        return;
    if (m_done == 0 && !m_made_folder) {
        // Nothing to undo: an undo goes on to the run before.
        ::unlink(m_path.c_str());
    } else {
        append(journal_format::line({"E"}));
        if (m_fd >= 0)
            ::fdatasync(m_fd);
    }
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
}

bool RenameJournal::make_file()
{
    if (m_folder.empty()) {
        errno = ENOENT;
        return false;
    }
    if (!make_folders(m_folder))
        return false;
    prune(m_folder);
    const std::string path = platform::include_trailing_separator(m_folder) + journal_name();
    // The journal is locked before it shows under its name: an undo that
    // looks in between would otherwise find an empty journal, which counts
    // as damaged, instead of one held by a run.
    const std::string unnamed = path + ".new";
    const int fd =
        ::open(unnamed.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::flock(fd, LOCK_EX); // a fresh file: nobody else holds it
    if (::link(unnamed.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(unnamed.c_str());
        ::close(fd);
        errno = error;
        return false;
    }
    ::unlink(unnamed.c_str());
    m_fd = fd;
    m_path = path;
    return true;
}

bool RenameJournal::ready()
{
    if (m_failed)
        return false;
    if (m_fd >= 0)
        return true;
    if (!make_file()) {
        fail(errno);
        return false;
    }
    append(journal_format::line({journal_format::k_magic, std::to_string(journal_format::k_version),
                                 std::to_string(std::time(nullptr)), std::to_string(::getpid())}));
    // The journal and its name are on the disk before the first operation.
    if (m_fd >= 0 && ::fsync(m_fd) == 0) {
        const int dir = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    m_last_flush_ms = now_ms();
    return m_fd >= 0;
}

void RenameJournal::append(const std::string& line)
{
    if (m_fd < 0)
        return;
    const ssize_t n = ::write(m_fd, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size()))
        fail(n < 0 ? errno : ENOSPC);
}

void RenameJournal::fail(int error)
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_failed)
        return;
    m_failed = true;
    if (m_warn)
        m_warn("元に戻すための記録を書けません. 処理は続けます (" +
               (m_path.empty() ? m_folder : m_path) + ": " + std::strerror(error) + ")");
}

void RenameJournal::flush()
{
    const long long now = now_ms();
    if (m_fd >= 0 && now - m_last_flush_ms >= k_flush_interval_ms) {
        ::fdatasync(m_fd);
        m_last_flush_ms = now;
    }
}

void RenameJournal::FolderCreated(const std::string& folder)
{
    if (!ready())
        return;
    append(journal_format::line({"C", full_path(folder)}));
    m_made_folder = true;
}

void RenameJournal::Planned(JournalOp op, const std::string& source, const std::string& target)
{
    m_open_entry = false;
    if (!ready())
        return;
    std::vector<std::string> fields{"P",
                                    std::to_string(m_next),
                                    op == JournalOp::Copy ? "copy" : "move",
                                    full_path(source),
                                    full_path(target),
                                    platform::non_folder_exists(target) ? "1" : "0"};
    journal_format::add_stamp(fields, file_stamp(source));
    append(journal_format::line(fields));
    m_open_entry = m_fd >= 0;
    m_last_target = target;
}

void RenameJournal::Finished(bool done)
{
    if (!m_open_entry || m_fd < 0)
        return;
    m_open_entry = false;
    const int index = m_next++;
    if (done) {
        std::vector<std::string> fields{"D", std::to_string(index)};
        // The target as the operation left it: an undo acts on this file only.
        journal_format::add_stamp(fields, file_stamp(m_last_target));
        append(journal_format::line(fields));
        ++m_done;
    } else {
        append(journal_format::line({"F", std::to_string(index)}));
    }
    flush();
}

} // namespace zumo
