// TFindFile: walks one folder, and on request its subfolders, picks files by
// a list of masks and optionally by one of their time stamps, and reports
// each picked file through OnFind the moment it is met. The entries of each
// folder are met in natural order (NaturalLess), as a file manager shows
// them, not in the order the file system happens to store them. Runs on the
// caller's thread; pending window messages are processed before every
// directory entry through the ProcessMessages callback, so the window stays
// usable during a long search.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zumo {

// Date-time: days since 1899-12-30 00:00 as a floating-point number, the
// fraction being the time of day, in local time.
using TDateTime = double;

// The date-time of a local calendar moment (month 1..12, ms 0..999).
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);
// The local date and time now.
TDateTime Now();

// A file time: 100-nanosecond ticks since 1601-01-01 00:00 UTC; 0 = none.
using FileTime = std::uint64_t;
// A file time as a local date-time; 0 gives 0. Precision: milliseconds.
TDateTime FileTimeToDateTime(FileTime time);

// Attribute bits of a directory entry, with their Win32 values.
inline constexpr int faReadOnly = 0x01;
inline constexpr int faHidden = 0x02;
inline constexpr int faSysFile = 0x04;
inline constexpr int faDirectory = 0x10;
inline constexpr int faArchive = 0x20;

struct TWin32FindData
{
    int dwFileAttributes = 0;
    FileTime ftCreationTime = 0; // 0 where the file system keeps none
    FileTime ftLastAccessTime = 0;
    FileTime ftLastWriteTime = 0;
    std::int64_t nFileSize = 0;
    std::string cFileName;
};

// The directory entry as the enumeration returned it.
struct TSearchRec
{
    std::string Name;
    std::int64_t Size = 0;
    int Attr = 0;
    TDateTime Time = 0; // last write, local
    TWin32FindData FindData;
};

enum class TTimeFunc { tmNone = 0, tmOlder = 1, tmNewer = 2 };
enum class TTimeKind { tmCreate = 0, tmLastWrite = 1, tmLastAccess = 2 };

// FileName: the bare name. Path: its folder, always ending with the
// separator. Search: a copy of the entry. Cancel: comes in false; set it to
// stop the whole search.
using TOnFindEvent = std::function<void(const std::string& FileName, const std::string& Path,
                                        TSearchRec Search, bool& Cancel)>;

class TFindFile
{
public:
    TFindFile();

    // Properties, with their values after construction.
    std::string FolderName; // the folder root on this system
    bool IsFindSub = true;
    TTimeFunc CheckTimeIs = TTimeFunc::tmNone;
    TTimeKind CheckTimeKind = TTimeKind::tmLastWrite;
    TDateTime CheckedTime; // the moment of construction
    TOnFindEvent OnFind;
    // Lets the window handle its pending messages; may be empty.
    std::function<void()> ProcessMessages;

    // The masks; empty lets every file pass. Assigning copies the items.
    const std::vector<std::string>& FileMask() const { return m_file_mask; }
    void SetFileMask(const std::vector<std::string>& masks) { m_file_mask = masks; }

    // -1 when FolderName is empty; otherwise the number of files reported,
    // the one whose handler cancelled included. A folder that cannot be
    // listed yields 0.
    int Execute();

private:
    class OpenFolders;
    void SearchFolder(const std::string& folder, OpenFolders& open_folders);
    bool PassesTimeFilter(const TSearchRec& entry) const;
    void Report(const std::string& dir, const TSearchRec& entry);

    std::vector<std::string> m_file_mask;
    int m_count = 0;
    bool m_aborted = false;
};

// The order of a folder's entries: digit runs compare as numbers ("IMG_2"
// before "IMG_10"), other characters without regard to ASCII letter case;
// names equal that way ("a01", "A1") are ordered by their bytes, so the
// order is total and the same on every run.
bool NaturalLess(std::string_view a, std::string_view b);

// The mask test: masks in order, the first match wins.
bool MatchesFileMask(std::string_view name, const std::vector<std::string>& masks);
// One name against one mask. Name and mask split at their last "."; each
// part compared without regard to case by MatchWild. An empty name part on
// either side never matches; "*" and "*.*" match every other name.
bool MatchMask(std::string_view name, std::string_view mask);
// Byte-wise wildcard walk from the front: "?" is one byte, a "*" hands the
// rest over to MatchTail. The name running out at a "*" is a match.
bool MatchWild(std::string_view s, std::string_view p);
// Backward walk for a pattern beginning with "*": from the last characters
// towards the first until the last "*" of the pattern (a match), a
// differing byte (no match) or the end of s (a match).
bool MatchTail(std::string_view s, std::string_view p);

} // namespace zumo
