#include "rename/RenameRuns.h"

#include "tests/convert/fake_host.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::TempFolder;
using zumo::Answer;
using zumo::test::FakeCheckList;
using zumo::test::FakeHost;
using zumo::test::FakeOptions;

bool exists(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

class RenameRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        for (const char* f : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"})
            std::ofstream(dir / f) << f;
        options.current.RadioGroup9 = 0; // BEEP
    }
    std::vector<std::string> files(std::initializer_list<const char*> names) const
    {
        std::vector<std::string> out;
        for (const char* n : names)
            out.push_back(dir / n);
        return out;
    }

    TempFolder dir;
    FakeHost host;
    FakeOptions options;
};

TEST_F(RenameRuns, FileListAsksThenProcessesEveryFileAndBeeps)
{
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg", "c.jpg"}));
    const std::vector<std::string> expected = {
        "Ask(確認|3個のファイルを処理します. よろしいですか?|OkCancel)",
        "Show(変換中です)",
        "Caption(Zumo変換)",
        "Progress(変換中です|2|0)",
        "ProcessMessages",
        "Progress(変換中です|2|1)",
        "ProcessMessages",
        "Progress(変換中です|2|2)",
        "ProcessMessages",
        "Release",
        "Beep",
    };
    EXPECT_EQ(host.events, expected);
    EXPECT_TRUE(exists(dir / "new0001.jpg"));
    EXPECT_TRUE(exists(dir / "new0002.jpg"));
    EXPECT_TRUE(exists(dir / "new0003.jpg"));
    EXPECT_FALSE(exists(dir / "new0004.jpg"));
}

TEST_F(RenameRuns, RefusedQuestionProcessesNothingButStillSignals)
{
    host.answers = {Answer::Cancel};
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg"}));
    EXPECT_EQ(host.events,
              (std::vector<std::string>{
                  "Ask(確認|2個のファイルを処理します. よろしいですか?|OkCancel)", "Beep"}));
    EXPECT_FALSE(exists(dir / "new0001.jpg"));

    host.events.clear();
    host.answers = {Answer::Cancel};
    options.current.RadioGroup9 = 1; // no end signal
    zumo::RenameFileList(options, host, files({"a.jpg"}));
    EXPECT_EQ(host.Count("Beep"), 0);
}

TEST_F(RenameRuns, FilesNotRenamedAreNamedInOneMessageBeforeTheSignal)
{
    // Mode 1 with the files' own extension and the move option: each file
    // would be moved onto itself, so none is renamed; two files are missing.
    options.current.RadioGroup3 = 1;
    options.current.Edit6 = "jpg";
    options.current.RadioGroup4 = 1;
    const auto seven = files({"a.jpg", "gone1.jpg", "b.jpg", "c.jpg", "gone2.jpg", "d.jpg"});
    std::vector<std::string> list = seven;
    list.push_back(dir / "e.png"); // renamed to e.jpg
    std::ofstream(dir / "e.png") << "e";
    zumo::RenameFileList(options, host, list);
    // A failed file is named with its reason; one left alone has none.
    std::string named;
    for (std::size_t i = 0; i < 5; ++i)
        named += "\n" + seven[i] +
                 (seven[i].find("gone") != std::string::npos ? ": ファイルがありません" : "");
    const std::vector<std::string> tail(host.events.end() - 3, host.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Release",
                                              "Message(6個のファイルをリネームできませんでした." +
                                                  named + "\nほか1個)",
                                              "Beep"}));
    EXPECT_TRUE(exists(dir / "e.jpg"));
}

TEST_F(RenameRuns, ARunThatRenamesEverythingShowsNoMessage)
{
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg"}));
    EXPECT_EQ(host.CountPrefix("Message("), 0);
}

TEST_F(RenameRuns, CancelInsideProgressStopsBeforeTheNextFile)
{
    host.on_set_progress = [&](int call) {
        if (call == 0)
            host.ClickCancel();
    };
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg", "c.jpg"}));
    EXPECT_TRUE(exists(dir / "new0001.jpg"));
    EXPECT_FALSE(exists(dir / "new0002.jpg"));
    EXPECT_EQ(host.events.back(), "Release");
    EXPECT_EQ(host.Count("Beep"), 0);
    EXPECT_EQ(host.dialogs_released(), host.dialogs_shown());
}

TEST_F(RenameRuns, CancelInMessageProcessingStopsAfterOneMoreFile)
{
    host.on_process_messages = [&](int call) {
        if (call == 0)
            host.ClickCancel();
    };
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg", "c.jpg"}));
    EXPECT_TRUE(exists(dir / "new0002.jpg"));
    EXPECT_FALSE(exists(dir / "new0003.jpg"));
    EXPECT_EQ(host.Count("Beep"), 0);
    EXPECT_EQ(host.dialogs_released(), host.dialogs_shown());
}

TEST_F(RenameRuns, OptionsChangedDuringTheRunApplyFromTheNextFile)
{
    host.on_process_messages = [&](int call) {
        if (call == 0)
            options.current.Edit5 = "next";
    };
    zumo::RenameFileList(options, host, files({"a.jpg", "b.jpg"}));
    EXPECT_TRUE(exists(dir / "new0001.jpg"));
    EXPECT_TRUE(exists(dir / "next0001.jpg"));
}

TEST_F(RenameRuns, CheckedListProcessesOnlyTickedLines)
{
    FakeCheckList list;
    list.entries = {{"a.jpg", false}, {"b.jpg", true}, {"c.jpg", false}, {"d.jpg", true}};
    int folder_reads = 0;
    zumo::RenameCheckedList(options, host, list, [&] {
        ++folder_reads;
        return dir.path();
    });
    EXPECT_EQ(folder_reads, 2);
    std::ifstream first(dir / "new0001.jpg"), second(dir / "new0002.jpg");
    std::string a, b;
    first >> a;
    second >> b;
    EXPECT_EQ(a, "b.jpg");
    EXPECT_EQ(b, "d.jpg");
    EXPECT_FALSE(exists(dir / "new0003.jpg"));
    EXPECT_EQ(host.CountPrefix("Progress("), 4);
    EXPECT_EQ(host.Count("Progress(変換中です|3|3)"), 1);
    EXPECT_EQ(host.CountPrefix("Ask("), 0);
    EXPECT_EQ(host.events.back(), "Beep");
}

TEST_F(RenameRuns, CheckedListWithNothingTickedStillShowsProgressAndSignals)
{
    FakeCheckList list;
    list.entries = {{"a.jpg", false}};
    zumo::RenameCheckedList(options, host, list, [&] { return dir.path(); });
    EXPECT_EQ(host.events, (std::vector<std::string>{"Show(変換中です)", "Caption(Zumo変換)",
                                                     "Progress(変換中です|0|0)", "ProcessMessages",
                                                     "Release", "Beep"}));
    EXPECT_FALSE(exists(dir / "new0001.jpg"));
}

TEST_F(RenameRuns, CheckedListReadsTheFolderAfreshAndSkipsWhenItIsGone)
{
    TempFolder other;
    ASSERT_TRUE(other.ok());
    std::ofstream(other / "b.jpg") << "other b";
    TempFolder cwd;
    ASSERT_TRUE(cwd.ok());
    std::ofstream(cwd / "c.jpg") << "cwd c";
    char old_cwd[4096];
    ASSERT_TRUE(::getcwd(old_cwd, sizeof old_cwd));
    ASSERT_EQ(::chdir(cwd.path().c_str()), 0);

    FakeCheckList list;
    list.entries = {{"a.jpg", true}, {"b.jpg", true}, {"c.jpg", true}, {"d.jpg", true}};
    // The dialog is used elsewhere after the first file, then cancelled,
    // then points at a folder that has been removed.
    const std::vector<std::string> folders = {dir.path(), other.path(), "", dir / "gone/"};
    size_t read = 0;
    zumo::RenameCheckedList(options, host, list, [&] { return folders.at(read++); });
    EXPECT_EQ(::chdir(old_cwd), 0);

    EXPECT_EQ(read, 4u);
    EXPECT_TRUE(exists(dir / "new0001.jpg"));
    EXPECT_FALSE(exists(dir / "new0002.jpg"));
    EXPECT_TRUE(exists(other / "new0001.jpg"));
    EXPECT_FALSE(exists(cwd / "new0001.jpg")) << "a name looked up in the working directory";
    EXPECT_EQ(host.events.back(), "Beep");
}

TEST_F(RenameRuns, CheckedListCancelEndsWithoutSignal)
{
    FakeCheckList list;
    list.entries = {{"a.jpg", true}, {"b.jpg", true}};
    host.on_set_progress = [&](int) { host.ClickCancel(); };
    zumo::RenameCheckedList(options, host, list, [&] { return dir.path(); });
    EXPECT_TRUE(exists(dir / "new0001.jpg"));
    EXPECT_FALSE(exists(dir / "new0002.jpg"));
    EXPECT_EQ(host.events.back(), "Release");
}

TEST_F(RenameRuns, ListingNamesTheFolderItselfOnly)
{
    TempFolder listed;
    ASSERT_TRUE(listed.ok());
    std::vector<std::string> expected;
    for (int i = 0; i < 11; ++i) {
        expected.push_back("f" + std::to_string(i) + ".txt");
        std::ofstream(listed / expected.back()) << i;
    }
    expected.push_back(".hidden");
    std::ofstream(listed / ".hidden") << "h";
    ::mkdir((listed / "sub").c_str(), 0777);
    std::ofstream(listed / "sub/inner.jpg") << "i";

    int messages = 0;
    const zumo::RenameListing listing = zumo::ListRenameFolder(listed.path(), [&] { ++messages; });
    EXPECT_EQ(listing.FoundCount, 12);
    std::vector<std::string> names = listing.Names;
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    EXPECT_GE(messages, 13);
    EXPECT_EQ(zumo::FoundFilesLabel(listing.FoundCount), "12 Files.");
    EXPECT_EQ(zumo::ListRenameFolder("", nullptr).FoundCount, 0);
}

// ---- a run never replaces what it made ----------------------------------------

struct OwnOutputCase
{
    const char* name;
    int transfer; // RadioGroup4
    int mode;     // RadioGroup3
    bool all_numbers_taken;
    // Every file afterwards with its content; the second source failed and
    // is kept.
    std::vector<std::pair<std::string, std::string>> after;
};

class OwnOutputs : public ::testing::TestWithParam<std::tuple<OwnOutputCase, bool>>
{
};

TEST_P(OwnOutputs, SecondSourceForTheSameNameFailsAndIsKept)
{
    const auto& [c, checked_list] = GetParam();
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    std::ofstream(dir / "a.jpg") << "first";
    std::ofstream(dir / "a.gif") << "second";
    ::mkdir((dir / "out").c_str(), 0777);
    if (c.all_numbers_taken) {
        for (int n = 1; n <= 9999; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "out/new%04d.png", n);
            const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            ASSERT_GE(fd, 0) << name;
            ::close(fd);
        }
    }
    FakeOptions options;
    options.current.RadioGroup3 = c.mode;
    options.current.Edit6 = "png";
    options.current.RadioGroup4 = c.transfer;
    options.current.CheckBox4 = true; // overwrite
    options.current.CheckBox8 = true;
    options.current.Edit8 = dir / "out/";
    FakeHost host;
    if (checked_list) {
        FakeCheckList list;
        list.entries = {{"a.jpg", true}, {"a.gif", true}};
        zumo::RenameCheckedList(options, host, list, [&] { return dir.path(); });
    } else {
        zumo::RenameFileList(options, host, {dir / "a.jpg", dir / "a.gif"});
    }
    for (const auto& [name, content] : c.after) {
        std::ifstream in(dir / name);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwnOutputs,
    ::testing::Combine(
        ::testing::Values(
            OwnOutputCase{
                "MoveExtension", 1, 1, false, {{"out/a.png", "first"}, {"a.gif", "second"}}},
            OwnOutputCase{"CopyExtension",
                          0,
                          1,
                          false,
                          {{"out/a.png", "first"}, {"a.jpg", "first"}, {"a.gif", "second"}}},
            OwnOutputCase{
                "MoveFull", 1, 2, true, {{"out/newFULL.png", "first"}, {"a.gif", "second"}}},
            OwnOutputCase{
                "CopyFull", 0, 2, true, {{"out/newFULL.png", "first"}, {"a.gif", "second"}}}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "CheckedList" : "FileList");
    });

TEST(FindFile3, SettingsOfTheRenameTab)
{
    zumo::TFindFile finder;
    finder.SetFileMask({"*.jpg"});
    finder.CheckTimeIs = zumo::TTimeFunc::tmNewer;
    finder.CheckTimeKind = zumo::TTimeKind::tmCreate;
    zumo::SetUpFindFile3(finder);
    EXPECT_TRUE(finder.FileMask().empty());
    EXPECT_FALSE(finder.IsFindSub);
    EXPECT_EQ(finder.CheckTimeIs, zumo::TTimeFunc::tmNone);
    EXPECT_EQ(finder.CheckTimeKind, zumo::TTimeKind::tmLastWrite);
}

} // namespace
