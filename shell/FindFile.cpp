#include "shell/FindFile.h"

#include "platform/path.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace zumo {

// The folders being searched further up, by device and file index: a link
// back to one of them would otherwise lead round in a circle.
struct FinderFolderId
{
    std::uint64_t device;
    std::uint64_t index;
    bool operator==(const FinderFolderId&) const = default;
};
class TFindFile::OpenFolders : public std::vector<FinderFolderId>
{
};

namespace {

constexpr double k_ms_per_day = 86'400'000.0;

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

const std::int64_t k_day_zero = days_from_civil(1899, 12, 30);

// One directory entry with what the search needs beyond the record.
struct Entry
{
    TSearchRec rec;
    std::optional<FinderFolderId> id; // for folders, where the system tells it
    bool may_enter = true;            // false for links the system marks as such
};

#ifdef _WIN32

FileTime file_time_of(const FILETIME& ft)
{
    return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TDateTime local_date_time(FileTime time)
{
    FILETIME utc{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    FILETIME local{};
    SYSTEMTIME st{};
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st))
        return 0;
    return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                          st.wMilliseconds);
}

// FindFirstFile over "*.*" with every attribute; the entries are read at
// once and handed out in natural order.
class EntryListing
{
public:
    explicit EntryListing(const std::string& dir)
    {
        WIN32_FIND_DATAA data{};
        const HANDLE handle = ::FindFirstFileA((dir + "*.*").c_str(), &data);
        if (handle == INVALID_HANDLE_VALUE)
            return;
        m_valid = true;
        do {
            m_entries.push_back(entry_of(data));
        } while (::FindNextFileA(handle, &data));
        ::FindClose(handle);
        std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
            return NaturalLess(a.rec.Name, b.rec.Name);
        });
    }
    bool valid() const { return m_valid; }
    std::optional<FinderFolderId> id() const { return std::nullopt; }

    bool next(const std::string&, Entry& entry)
    {
        if (m_next == m_entries.size())
            return false;
        entry = std::move(m_entries[m_next++]);
        return true;
    }

private:
    static Entry entry_of(const WIN32_FIND_DATAA& data)
    {
        Entry entry;
        TSearchRec& rec = entry.rec;
        rec.Name = data.cFileName;
        rec.Attr = static_cast<int>(data.dwFileAttributes & 0x3F);
        rec.Size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        rec.FindData.dwFileAttributes = static_cast<int>(data.dwFileAttributes);
        rec.FindData.ftCreationTime = file_time_of(data.ftCreationTime);
        rec.FindData.ftLastAccessTime = file_time_of(data.ftLastAccessTime);
        rec.FindData.ftLastWriteTime = file_time_of(data.ftLastWriteTime);
        rec.FindData.nFileSize = rec.Size;
        rec.FindData.cFileName = rec.Name;
        rec.Time = FileTimeToDateTime(rec.FindData.ftLastWriteTime);
        entry.may_enter = !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        return entry;
    }

    std::vector<Entry> m_entries;
    std::size_t m_next = 0;
    bool m_valid = false;
};

#else

constexpr std::int64_t k_ticks_per_second = 10'000'000;
// Seconds from 1601-01-01 (file times) to 1970-01-01 (POSIX times).
constexpr std::int64_t k_file_time_epoch_offset = 11'644'473'600;

TDateTime local_date_time(std::time_t seconds, int millisecond)
{
    std::tm local{};
    if (!::localtime_r(&seconds, &local))
        return 0;
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, millisecond);
}

TDateTime local_date_time(FileTime time)
{
    const std::int64_t seconds =
        static_cast<std::int64_t>(time / k_ticks_per_second) - k_file_time_epoch_offset;
    const int ms = static_cast<int>((time % k_ticks_per_second) / 10'000);
    return local_date_time(static_cast<std::time_t>(seconds), ms);
}

FileTime file_time_of(std::int64_t tv_sec, long tv_nsec)
{
    const std::int64_t seconds = tv_sec + k_file_time_epoch_offset;
    if (seconds < 0)
        return 0;
    return static_cast<FileTime>(seconds) * k_ticks_per_second +
           static_cast<FileTime>(tv_nsec / 100);
}

FileTime creation_time_of(const std::string& path)
{
#if defined(STATX_BTIME)
    struct statx stx = {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME))
        return file_time_of(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
#else
    (void)path;
#endif
    return 0; // the file system keeps no creation time
}

struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// readdir, with each entry described as FindFirstFile would: links are
// followed (a link to a folder is a folder), a dangling link is reported
// as itself, names beginning with "." count as hidden. The names are read
// at once and handed out in natural order; each entry is looked at when
// its turn comes, so the record is fresh and an entry removed meanwhile is
// left out.
class EntryListing
{
public:
    explicit EntryListing(const std::string& dir) : m_dir(::opendir(dir.c_str()))
    {
        if (!m_dir)
            return;
        while (const dirent* ent = ::readdir(m_dir.get()))
            m_names.emplace_back(ent->d_name);
        std::sort(m_names.begin(), m_names.end(), NaturalLess);
    }
    bool valid() const { return m_dir != nullptr; }
    std::optional<FinderFolderId> id() const
    {
        struct stat st = {};
        if (::fstat(::dirfd(m_dir.get()), &st) != 0)
            return std::nullopt;
        return FinderFolderId{static_cast<std::uint64_t>(st.st_dev),
                              static_cast<std::uint64_t>(st.st_ino)};
    }

    bool next(const std::string& dir, Entry& entry)
    {
        while (m_next < m_names.size()) {
            std::string& name = m_names[m_next++];
            if (describe(dir, std::move(name), entry))
                return true;
        }
        return false;
    }

private:
    static bool describe(const std::string& dir, std::string name, Entry& entry)
    {
        const std::string path = dir + name;
        struct stat st = {};
        if (::stat(path.c_str(), &st) != 0 && ::lstat(path.c_str(), &st) != 0)
            return false; // gone since the folder was read
        const bool folder = S_ISDIR(st.st_mode);
        int attr = folder ? faDirectory : faArchive;
        if (!name.empty() && name[0] == '.')
            attr |= faHidden;
        if ((st.st_mode & S_IWUSR) == 0)
            attr |= faReadOnly;
        TSearchRec& rec = entry.rec;
        rec = TSearchRec{};
        rec.Attr = attr;
        rec.Size = folder ? 0 : static_cast<std::int64_t>(st.st_size);
        rec.FindData.dwFileAttributes = attr;
        rec.FindData.ftCreationTime = creation_time_of(path);
        rec.FindData.ftLastAccessTime = file_time_of(st.st_atim.tv_sec, st.st_atim.tv_nsec);
        rec.FindData.ftLastWriteTime = file_time_of(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        rec.FindData.nFileSize = rec.Size;
        rec.FindData.cFileName = name;
        rec.Name = std::move(name);
        rec.Time = FileTimeToDateTime(rec.FindData.ftLastWriteTime);
        entry.id = FinderFolderId{static_cast<std::uint64_t>(st.st_dev),
                                  static_cast<std::uint64_t>(st.st_ino)};
        entry.may_enter = true;
        return true;
    }

    std::unique_ptr<DIR, DirCloser> m_dir;
    std::vector<std::string> m_names;
    std::size_t m_next = 0;
};

#endif

// Letter case is folded for ASCII only: in UTF-8 every other byte belongs
// to a multi-byte character and must stay as it is.
std::string upper_ascii(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::pair<std::string, std::string> split_at_last_dot(std::string_view s)
{
    const auto dot = s.rfind('.');
    if (dot == std::string_view::npos)
        return {upper_ascii(s), std::string()};
    return {upper_ascii(s.substr(0, dot)), upper_ascii(s.substr(dot + 1))};
}

} // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond)
{
    const std::int64_t days = days_from_civil(year, month, day) - k_day_zero;
    const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / k_ms_per_day;
}

TDateTime Now()
{
#ifdef _WIN32
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                          st.wMilliseconds);
#else
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return local_date_time(now.tv_sec, static_cast<int>(now.tv_nsec / 1'000'000));
#endif
}

TDateTime FileTimeToDateTime(FileTime time)
{
    return time == 0 ? 0 : local_date_time(time);
}

TFindFile::TFindFile()
    : FolderName(platform::native_path_style() == platform::PathStyle::Windows
                     ? std::string("C:\\")
                     : std::string(1, platform::path_separator())),
      CheckedTime(Now())
{
}

int TFindFile::Execute()
{
    if (FolderName.empty())
        return -1;
    m_count = 0;
    m_aborted = false;
    OpenFolders open_folders;
    SearchFolder(FolderName, open_folders);
    return m_count;
}

void TFindFile::SearchFolder(const std::string& folder, OpenFolders& open_folders)
{
    const std::string dir = platform::include_trailing_separator(folder);
    EntryListing listing(dir);
    if (!listing.valid())
        return;
    const std::optional<FinderFolderId> own_id = listing.id();
    if (own_id)
        open_folders.push_back(*own_id);
    struct Pop
    {
        OpenFolders& folders;
        bool pushed;
        ~Pop()
        {
            if (pushed)
                folders.pop_back();
        }
    } pop{open_folders, own_id.has_value()};

    Entry entry;
    while (listing.next(dir, entry)) {
        if (auto process = ProcessMessages) // a copy: the callback may be replaced
            process();
        if (m_aborted)
            return;
        const std::string& name = entry.rec.Name;
        if (entry.rec.Attr & faDirectory) {
            if (!IsFindSub || name.empty() || name[0] == '.' || !entry.may_enter)
                continue;
            if (entry.id && std::find(open_folders.begin(), open_folders.end(), *entry.id) !=
                                open_folders.end())
                continue;
            SearchFolder(dir + name + platform::path_separator(), open_folders);
            continue;
        }
        if (!m_file_mask.empty() && !MatchesFileMask(name, m_file_mask))
            continue;
        if (CheckTimeIs != TTimeFunc::tmNone && !PassesTimeFilter(entry.rec))
            continue;
        Report(dir, entry.rec);
    }
}

bool TFindFile::PassesTimeFilter(const TSearchRec& entry) const
{
    FileTime stamp = 0;
    switch (CheckTimeKind) {
    case TTimeKind::tmCreate:
        stamp = entry.FindData.ftCreationTime;
        break;
    case TTimeKind::tmLastWrite:
        stamp = entry.FindData.ftLastWriteTime;
        break;
    case TTimeKind::tmLastAccess:
        stamp = entry.FindData.ftLastAccessTime;
        break;
    }
    const TDateTime time = FileTimeToDateTime(stamp);
    switch (CheckTimeIs) {
    case TTimeFunc::tmOlder:
        return time < CheckedTime;
    case TTimeFunc::tmNewer:
        return time > CheckedTime;
    case TTimeFunc::tmNone:
        break;
    }
    return true;
}

void TFindFile::Report(const std::string& dir, const TSearchRec& entry)
{
    ++m_count;
    // A copy: the handler may replace OnFind while it runs.
    if (auto handler = OnFind) {
        bool cancel = m_aborted;
        handler(entry.Name, dir, entry, cancel);
        m_aborted = cancel;
    }
}

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

unsigned char fold_ascii(char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The digit run starting at i, without its leading zeros (one "0" stays
// for a run of zeros); i moves past the run.
std::string_view number_at(std::string_view s, std::size_t& i)
{
    std::size_t start = i;
    while (i < s.size() && is_digit(s[i]))
        ++i;
    while (start + 1 < i && s[start] == '0')
        ++start;
    return s.substr(start, i - start);
}

// Natural order without the tie-break: -1, 0 or 1. Digit runs compare as
// numbers of any length, other bytes one by one with ASCII letters folded.
// A digit run stands where its first digit would, so the order is a strict
// weak one and sorting with it is well defined.
int compare_natural_keys(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            const std::string_view x = number_at(a, i);
            const std::string_view y = number_at(b, j);
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int c = x.compare(y))
                return c < 0 ? -1 : 1;
            continue;
        }
        const unsigned char x = fold_ascii(a[i++]);
        const unsigned char y = fold_ascii(b[j++]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (i < a.size())
        return 1;
    return j < b.size() ? -1 : 0;
}

} // namespace

bool NaturalLess(std::string_view a, std::string_view b)
{
    if (const int c = compare_natural_keys(a, b))
        return c < 0;
    return a < b; // "IMG1" and "img01" differ only in case and zeros
}

bool MatchesFileMask(std::string_view name, const std::vector<std::string>& masks)
{
    for (const auto& mask : masks) {
        if (MatchMask(name, mask))
            return true;
    }
    return false;
}

bool MatchMask(std::string_view name, std::string_view mask)
{
    const auto [name_part, name_ext] = split_at_last_dot(name);
    const auto [mask_part, mask_ext] = split_at_last_dot(mask);
    if (name_part.empty() || mask_part.empty())
        return false;
    if (mask == "*" || mask == "*.*")
        return true;
    return MatchWild(name_part, mask_part) && MatchWild(name_ext, mask_ext);
}

bool MatchWild(std::string_view s, std::string_view p)
{
    if (!p.empty() && p[0] == '*')
        return p.size() == 1 || MatchTail(s, p);
    size_t i = 0;
    size_t j = 0;
    while (i < s.size()) {
        if (j == p.size())
            return false;
        if (p[j] == '*') {
            if (j + 1 == p.size())
                return true;
            return MatchTail(s.substr(i), p.substr(j));
        }
        if (p[j] != '?' && p[j] != s[i])
            return false;
        ++i;
        ++j;
    }
    return j == p.size() || p[j] == '*';
}

bool MatchTail(std::string_view s, std::string_view p)
{
    size_t i = s.size();
    size_t j = p.size();
    while (j > 0) {
        const char pc = p[j - 1];
        if (pc == '*')
            return true;
        if (i == 0)
            return true;
        if (pc != '?' && pc != s[i - 1])
            return false;
        --i;
        --j;
    }
    return true; // p did not begin with "*"; not reached from MatchWild
}

} // namespace zumo
