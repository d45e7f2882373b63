#include "shell/FindFile.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using zumo::TFindFile;
using zumo::TTimeFunc;
using zumo::TTimeKind;

// ---- masks ---------------------------------------------------------------

struct MaskCase
{
    const char* name;
    const char* mask;
    bool match;
};

void PrintTo(const MaskCase& c, std::ostream* os)
{
    *os << '"' << c.name << "\" vs \"" << c.mask << '"';
}

class MaskMatch : public ::testing::TestWithParam<MaskCase>
{
};

TEST_P(MaskMatch, AsTheFinderJudgesIt)
{
    const MaskCase& c = GetParam();
    EXPECT_EQ(zumo::MatchMask(c.name, c.mask), c.match) << c.name << " vs " << c.mask;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaskMatch,
    ::testing::Values(
        // Ordinary use, without regard to case.
        MaskCase{"PHOTO.JPG", "*.jpg", true}, MaskCase{"a.b.jpg", "*.jpg", true},
        MaskCase{"photo.jpeg", "*.jpg", false}, MaskCase{"photo.jpg", "*.jpeg", false},
        MaskCase{"README", "*.*", true}, MaskCase{"a.txt", "*", true},
        MaskCase{"README", "*.jpg", false}, MaskCase{"README", "readme", true},
        MaskCase{"img01.png", "img??.png", true}, MaskCase{"img1.png", "img??.png", false},
        MaskCase{"img001.png", "img??.png", false}, MaskCase{"a.jpg", "b.jpg", false},
        // An empty name part on either side never matches.
        MaskCase{"a.jpg", ".jpg", false}, MaskCase{".jpg", ".jpg", false},
        MaskCase{".profile", "*", false}, MaskCase{".profile", "*.*", false},
        MaskCase{".profile", "*.profile", false},
        // The name running out at a "*" is a match.
        MaskCase{"abc", "ab*c", true}, MaskCase{"abXYc", "ab*c", true},
        MaskCase{"ab", "ab*c", true}, MaskCase{"abXYd", "ab*c", false},
        // The backward walk: the name running out first is a match, and
        // what lies between the first and the last "*" is never looked at.
        MaskCase{"ac", "a*bc", true}, MaskCase{"abc", "a*x*c", true},
        MaskCase{"azc", "a*x*c", true}, MaskCase{"abd", "a*x*c", false},
        MaskCase{"xbc", "*bc", true}, MaskCase{"xbd", "*bc", false},
        // A double-byte character (here UTF-8, three bytes) takes one "?"
        // per byte.
        MaskCase{"\xE5\x86\x99.jpg", "?.jpg", false},
        MaskCase{"\xE5\x86\x99.jpg", "???.jpg", true}));

TEST(MaskList, FirstMatchingMaskWinsAndEmptyListMatchesNothing)
{
    const std::vector<std::string> masks = {"*.jpeg", "*.jpg", "*.bmp", "*.png"};
    EXPECT_TRUE(zumo::MatchesFileMask("a.PNG", masks));
    EXPECT_TRUE(zumo::MatchesFileMask("a.jpeg", masks));
    EXPECT_FALSE(zumo::MatchesFileMask("a.gif", masks));
    EXPECT_FALSE(zumo::MatchesFileMask("a.jpg", {}));
}

// ---- date-times ----------------------------------------------------------

class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* tz)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old, m_had = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(DateTime, DaysSince1899AndLocalFileTimes)
{
    EXPECT_DOUBLE_EQ(zumo::EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(zumo::EncodeDateTime(1970, 1, 1, 0, 0, 0, 0), 25569.0);
    EXPECT_DOUBLE_EQ(zumo::EncodeDateTime(2020, 5, 1, 18, 0, 0, 0), 43952.75);

    constexpr zumo::FileTime k_unix_epoch = 116'444'736'000'000'000ULL;
    EXPECT_EQ(zumo::FileTimeToDateTime(0), 0.0);
    {
        ScopedTimeZone utc("UTC");
        EXPECT_DOUBLE_EQ(zumo::FileTimeToDateTime(k_unix_epoch), 25569.0);
        // Milliseconds are kept, finer ticks are not.
        EXPECT_DOUBLE_EQ(zumo::FileTimeToDateTime(k_unix_epoch + 5'009'999),
                         25569.0 + 500.0 / 86'400'000.0);
    }
    {
        ScopedTimeZone tokyo("JST-9");
        EXPECT_DOUBLE_EQ(zumo::FileTimeToDateTime(k_unix_epoch), 25569.375);
    }
}

// ---- natural order ---------------------------------------------------------

struct OrderCase
{
    const char* first;
    const char* second; // strictly after first
};

void PrintTo(const OrderCase& c, std::ostream* os)
{
    *os << '"' << c.first << "\" < \"" << c.second << '"';
}

class NaturalOrder : public ::testing::TestWithParam<OrderCase>
{
};

TEST_P(NaturalOrder, FirstComesBeforeSecondAndNeverTheOtherWayRound)
{
    const OrderCase& c = GetParam();
    EXPECT_TRUE(zumo::NaturalLess(c.first, c.second)) << c.first << " < " << c.second;
    EXPECT_FALSE(zumo::NaturalLess(c.second, c.first)) << c.second << " < " << c.first;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NaturalOrder,
    ::testing::Values(
        // Numbers by value, whatever their length.
        OrderCase{"IMG_2.jpg", "IMG_10.jpg"}, OrderCase{"img9", "img10"},
        OrderCase{"x99999999999999999999", "x100000000000000000000"}, OrderCase{"a2b9c", "a2b10"},
        OrderCase{"a", "a0"}, OrderCase{"1", "a"},
        // Letter case is ignored first ...
        OrderCase{"img2", "IMG10"}, OrderCase{"IMG_2", "img_3"}, OrderCase{"apple", "Banana"},
        // ... and decides, with leading zeros, only between otherwise equal names.
        OrderCase{"A.jpg", "a.jpg"}, OrderCase{"file01", "file1"}, OrderCase{"f007x", "f7X"},
        // Other bytes as they are; a shorter name first.
        OrderCase{"photo", "photo 2"}, OrderCase{"photo", "photo_2"}, OrderCase{"a-b", "a_b"},
        OrderCase{"写真2", "写真10"}));

TEST(NaturalOrder, SortsAFolderAsAFileManagerShowsIt)
{
    std::vector<std::string> names{"IMG_10.JPG", "img_9.jpg",   "IMG_1.JPG",   "IMG_100.jpg",
                                   "IMG_09.jpg", "dsc0002.png", "DSC0001.png", "img_9.JPG"};
    std::sort(names.begin(), names.end(), zumo::NaturalLess);
    EXPECT_EQ(names,
              (std::vector<std::string>{"DSC0001.png", "dsc0002.png", "IMG_1.JPG", "IMG_09.jpg",
                                        "img_9.JPG", "img_9.jpg", "IMG_10.JPG", "IMG_100.jpg"}));
}

// ---- searching -------------------------------------------------------------

class Finder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tree.ok());
        tree.folder("sub");
        tree.folder("sub/deeper");
        tree.folder(".git");
        for (const char* f :
             {"a.jpg", "B.JPG", "c.txt", ".hidden", "sub/d.jpg", "sub/deeper/e.jpg", ".git/f.jpg"})
            tree.file(f, f);
        finder.FolderName = tree.path();
        finder.OnFind = [this](const std::string& name, const std::string& path,
                               zumo::TSearchRec rec, bool&) {
            EXPECT_EQ(rec.Name, name);
            found.insert(path + name);
        };
    }

    std::set<std::string> full(std::initializer_list<const char*> rels) const
    {
        std::set<std::string> out;
        for (const char* r : rels)
            out.insert(tree.path() + r);
        return out;
    }

    testsupport::TempFolder tree;
    TFindFile finder;
    std::set<std::string> found;
};

TEST_F(Finder, DefaultsAfterConstruction)
{
    TFindFile fresh;
    EXPECT_EQ(fresh.FolderName, "/");
    EXPECT_TRUE(fresh.IsFindSub);
    EXPECT_TRUE(fresh.FileMask().empty());
    EXPECT_EQ(fresh.CheckTimeIs, TTimeFunc::tmNone);
    EXPECT_EQ(fresh.CheckTimeKind, TTimeKind::tmLastWrite);
    EXPECT_NEAR(fresh.CheckedTime, zumo::Now(), 1.0 / 24);
    EXPECT_FALSE(fresh.OnFind);
}

TEST_F(Finder, WalksSubfoldersButNotDotFoldersAndReportsHiddenFiles)
{
    EXPECT_EQ(finder.Execute(), 6);
    EXPECT_EQ(found, full({"a.jpg", "B.JPG", "c.txt", ".hidden", "sub/d.jpg", "sub/deeper/e.jpg"}));
}

TEST_F(Finder, WithoutSubfoldersAndWithMasks)
{
    finder.IsFindSub = false;
    EXPECT_EQ(finder.Execute(), 4);
    EXPECT_EQ(found, full({"a.jpg", "B.JPG", "c.txt", ".hidden"}));

    found.clear();
    finder.IsFindSub = true;
    finder.SetFileMask({"*.jpg"});
    EXPECT_EQ(finder.Execute(), 4);
    EXPECT_EQ(found, full({"a.jpg", "B.JPG", "sub/d.jpg", "sub/deeper/e.jpg"}));
}

TEST_F(Finder, ReportsEachFolderInNaturalOrderDepthFirst)
{
    // Created in an order the file system has no reason to keep.
    for (const char* f : {"sub/img10.jpg", "sub/IMG2.jpg", "z1.jpg", "A10.jpg", "a9.jpg"})
        tree.file(f, f);
    std::vector<std::string> order;
    finder.OnFind = [&](const std::string& name, const std::string& path, zumo::TSearchRec, bool&) {
        order.push_back(path.substr(tree.path().size()) + name);
    };
    finder.SetFileMask({"*.jpg"});
    finder.Execute();
    EXPECT_EQ(order, (std::vector<std::string>{"a.jpg", "a9.jpg", "A10.jpg", "B.JPG", "sub/d.jpg",
                                               "sub/deeper/e.jpg", "sub/IMG2.jpg", "sub/img10.jpg",
                                               "z1.jpg"}));
}

TEST_F(Finder, TrailingSeparatorMakesNoDifference)
{
    std::string bare = tree.path();
    bare.pop_back();
    std::set<std::string> paths;
    finder.IsFindSub = false;
    finder.OnFind = [&](const std::string&, const std::string& path, zumo::TSearchRec, bool&) {
        paths.insert(path);
    };
    for (const std::string& name : {bare, tree.path()}) {
        finder.FolderName = name;
        EXPECT_EQ(finder.Execute(), 4);
    }
    EXPECT_EQ(paths, (std::set<std::string>{tree.path()}));
}

TEST_F(Finder, CancelStopsEveryLevelAndCountsTheCancellingFile)
{
    int calls = 0;
    finder.OnFind = [&](const std::string&, const std::string&, zumo::TSearchRec, bool& cancel) {
        EXPECT_FALSE(cancel);
        cancel = ++calls == 3;
    };
    EXPECT_EQ(finder.Execute(), 3);
    EXPECT_EQ(calls, 3);
    // A new search starts afresh.
    calls = -100;
    EXPECT_EQ(finder.Execute(), 6);
}

TEST_F(Finder, EmptyFolderNameAndMissingFolder)
{
    int messages = 0;
    finder.ProcessMessages = [&] { ++messages; };
    finder.FolderName.clear();
    EXPECT_EQ(finder.Execute(), -1);
    EXPECT_EQ(messages, 0);
    finder.FolderName = tree.path() + "missing";
    EXPECT_EQ(finder.Execute(), 0);
    EXPECT_TRUE(found.empty());
}

TEST_F(Finder, ProcessesMessagesBeforeEveryEntry)
{
    int messages = 0;
    std::vector<int> seen;
    finder.IsFindSub = false;
    finder.ProcessMessages = [&] { ++messages; };
    finder.OnFind = [&](const std::string&, const std::string&, zumo::TSearchRec, bool&) {
        seen.push_back(messages);
    };
    EXPECT_EQ(finder.Execute(), 4);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_GE(seen[0], 1);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_GT(seen[i], seen[i - 1]);
    // Every entry of the folder, its three subfolders included.
    EXPECT_GE(messages, 7);
}

TEST_F(Finder, HandlerMayRemoveItselfMidSearch)
{
    int calls = 0;
    finder.IsFindSub = false;
    finder.OnFind = [&](const std::string&, const std::string&, zumo::TSearchRec, bool&) {
        ++calls;
        finder.OnFind = nullptr; // destroys this very handler's stored copy
    };
    EXPECT_EQ(finder.Execute(), 4);
    EXPECT_EQ(calls, 1);
}

TEST_F(Finder, LinkBackToAnOuterFolderIsNotWalkedInCircles)
{
    ASSERT_EQ(::symlink(tree.path().c_str(), (tree.path() + "sub/loop").c_str()), 0);
    EXPECT_EQ(finder.Execute(), 6);
    EXPECT_EQ(found.size(), 6u);
}

TEST_F(Finder, EntryRecordDescribesTheFile)
{
    const std::string path = tree.path() + ".hidden";
    const struct timespec times[2] = {{1'500'000'000, 0}, {1'600'000'000, 250'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    zumo::TSearchRec got;
    finder.IsFindSub = false;
    finder.OnFind = [&](const std::string& name, const std::string&, zumo::TSearchRec rec, bool&) {
        if (name == ".hidden")
            got = rec;
    };
    finder.Execute();
    EXPECT_EQ(got.Size, 7); // the file holds its own name
    EXPECT_TRUE(got.Attr & zumo::faHidden);
    EXPECT_FALSE(got.Attr & zumo::faDirectory);
    EXPECT_EQ(got.FindData.ftLastWriteTime,
              (1'600'000'000ULL + 11'644'473'600ULL) * 10'000'000ULL + 2'500'000ULL);
    EXPECT_EQ(got.FindData.ftLastAccessTime,
              (1'500'000'000ULL + 11'644'473'600ULL) * 10'000'000ULL);
    EXPECT_DOUBLE_EQ(got.Time, zumo::FileTimeToDateTime(got.FindData.ftLastWriteTime));
}

// ---- time filter -----------------------------------------------------------

class TimeFilter : public Finder
{
protected:
    void SetUp() override
    {
        Finder::SetUp();
        finder.IsFindSub = false;
        set_local_mtime("a.jpg", 12, 0, 0); // exactly the reference moment
        set_local_mtime("B.JPG", 11, 59, 59);
        set_local_mtime("c.txt", 12, 0, 1);
        set_local_mtime(".hidden", 12, 0, 1);
        finder.CheckTimeKind = TTimeKind::tmLastWrite;
        finder.CheckedTime = 43952.5; // 2020-05-01 12:00:00
    }
    void set_local_mtime(const std::string& rel, int h, int m, int s)
    {
        std::tm local{};
        local.tm_year = 120;
        local.tm_mon = 4;
        local.tm_mday = 1;
        local.tm_hour = h;
        local.tm_min = m;
        local.tm_sec = s;
        local.tm_isdst = -1;
        // Access time now, write time in 2020.
        const struct timespec times[2] = {{0, UTIME_NOW}, {std::mktime(&local), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (tree.path() + rel).c_str(), times, 0), 0);
    }
};

TEST_F(TimeFilter, EqualTimeIsNeitherOlderNorNewer)
{
    finder.CheckTimeIs = TTimeFunc::tmOlder;
    EXPECT_EQ(finder.Execute(), 1);
    EXPECT_EQ(found, full({"B.JPG"}));

    found.clear();
    finder.CheckTimeIs = TTimeFunc::tmNewer;
    EXPECT_EQ(finder.Execute(), 2);
    EXPECT_EQ(found, full({"c.txt", ".hidden"}));

    found.clear();
    finder.CheckTimeIs = TTimeFunc::tmOlder;
    finder.CheckedTime = 43952.5 + 1.0 / 86'400'000; // one millisecond later
    EXPECT_EQ(finder.Execute(), 2);
    EXPECT_EQ(found, full({"a.jpg", "B.JPG"}));
}

TEST_F(TimeFilter, AccessTimeIsTheOneAsked)
{
    // Access times stay at their creation value (now), write times are 2020.
    finder.CheckTimeKind = TTimeKind::tmLastAccess;
    finder.CheckTimeIs = TTimeFunc::tmOlder;
    EXPECT_EQ(finder.Execute(), 0);
    finder.CheckTimeIs = TTimeFunc::tmNewer;
    EXPECT_EQ(finder.Execute(), 4);
}

TEST_F(TimeFilter, CreationTimeIsTheOneAsked)
{
    zumo::FileTime created = 0;
    finder.OnFind = [&](const std::string&, const std::string&, zumo::TSearchRec rec, bool&) {
        created = rec.FindData.ftCreationTime;
        found.insert(rec.Name);
    };
    finder.Execute();
    if (created == 0)
        GTEST_SKIP() << "this file system keeps no creation times";
    // Written in 2020 (set above), created today.
    found.clear();
    finder.CheckedTime = zumo::EncodeDateTime(2021, 1, 1, 0, 0, 0, 0);
    finder.CheckTimeIs = TTimeFunc::tmNewer;
    finder.CheckTimeKind = TTimeKind::tmCreate;
    EXPECT_EQ(finder.Execute(), 4);
    finder.CheckTimeKind = TTimeKind::tmLastWrite;
    EXPECT_EQ(finder.Execute(), 0);
}

} // namespace
