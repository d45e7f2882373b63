// The undo journal and the undo: runs through FormFileRe with a journal,
// changes made to the files between the run and the undo, crashed runs
// (a child process that ends in the middle of an operation), and a journal
// that cannot be written.
#include "rename/FileRename.h"
#include "rename/RenameJournal.h"
#include "rename/RenameRuns.h"
#include "rename/RenameUndo.h"
#include "tests/support/scoped_env.h"

#include "tests/convert/fake_host.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testsupport::TempFolder;
using zumo::LastRunState;
using zumo::UndoSkip;

enum Transfer { Copy = 0, Move = 1 };

// Every file below folder with its content; folders as "name/".
std::map<std::string, std::string> tree(const std::string& folder)
{
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string rel = fs::relative(e.path(), folder).string();
        if (e.is_directory()) {
            out[rel + "/"] = "";
        } else {
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            out[rel] = content.str();
        }
    }
    return out;
}

void set_mtime(const std::string& path, long long seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int journal_count(const std::string& folder)
{
    std::error_code ec;
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder, ec))
        n += e.path().extension() == ".journal";
    return n;
}

class Undo : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        ASSERT_TRUE(state.ok());
    }
    zumo::OptionSnapshot options(Transfer transfer) const
    {
        zumo::OptionSnapshot o;
        o.RadioGroup4 = transfer;
        return o;
    }
    // One run over names in dir, with its own journal.
    void run(const zumo::OptionSnapshot& o, const std::vector<std::string>& names)
    {
        zumo::RenameJournal journal(journals(),
                                    [this](const std::string& w) { warnings.push_back(w); });
        zumo::RenameRun made;
        made.Journal = &journal;
        for (const std::string& name : names)
            zumo::FormFileRe(o, dir / name, &made);
    }
    std::string journals() const { return state / "zumo"; }
    zumo::UndoResult undo()
    {
        const zumo::LastRun last = zumo::FindLastRun(journals());
        EXPECT_EQ(last.state, LastRunState::Found);
        return zumo::UndoRun(last.journal);
    }

    TempFolder dir;
    TempFolder state;
    std::vector<std::string> warnings;
};

// ---- what happened to the file between the run and the undo --------------------

struct ChangeCase
{
    const char* name;
    Transfer transfer;
    const char* source; // the file the run renames into new0001.jpg
    std::function<void(const TempFolder&)> change;
    std::optional<UndoSkip> skip; // nothing: the undo restores the folder
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class UndoAfterChange : public Undo, public ::testing::WithParamInterface<ChangeCase>
{
};

TEST_P(UndoAfterChange, RestoresOnlyTheUntouchedFile)
{
    const ChangeCase& c = GetParam();
    dir.file(c.source, "picture bytes");
    set_mtime(dir / c.source, 1'600'000'000);
    const auto before = tree(dir.path());
    run(options(c.transfer), {c.source});
    ASSERT_EQ(tree(dir.path()).count("new0001.jpg"), 1u);
    if (c.change)
        c.change(dir);
    const auto changed = tree(dir.path());

    const zumo::UndoResult result = undo();
    if (c.skip) {
        EXPECT_EQ(result.restored, 0);
        ASSERT_EQ(result.skipped.size(), 1u);
        EXPECT_EQ(result.skipped[0].why, *c.skip);
        EXPECT_EQ(result.skipped[0].file, dir / "new0001.jpg");
        EXPECT_EQ(tree(dir.path()), changed); // nothing touched
    } else {
        EXPECT_EQ(result.restored, 1);
        EXPECT_TRUE(result.skipped.empty());
        EXPECT_EQ(tree(dir.path()), before);
    }
    EXPECT_TRUE(warnings.empty());
    // The run is undone; there is nothing older.
    EXPECT_EQ(zumo::FindLastRun(journals()).state, LastRunState::Nothing);
}

const auto touch = [](const TempFolder& d) { set_mtime(d / "new0001.jpg", 1'700'000'000); };
const auto append = [](const TempFolder& d) {
    std::ofstream(d / "new0001.jpg", std::ios::app) << "!";
    set_mtime(d / "new0001.jpg", 1'600'000'000);
};
// Same size, same time, another file (made before the old one goes, so
// that it cannot get the old one's inode number).
const auto replace = [](const TempFolder& d) {
    d.file("other", "PICTURE BYTES");
    set_mtime(d / "other", 1'600'000'000);
    ASSERT_EQ(::rename((d / "other").c_str(), (d / "new0001.jpg").c_str()), 0);
};
const auto retake_old_name = [](const TempFolder& d) { d.file("a.jpg", "new file"); };
const auto remove_target = [](const TempFolder& d) { ::unlink((d / "new0001.jpg").c_str()); };
const auto remove_source = [](const TempFolder& d) { ::unlink((d / "a.jpg").c_str()); };
// Same size and time as before, other bytes.
const auto rewrite_source = [](const TempFolder& d) {
    d.file("a.jpg", "PICTURE BYTES");
    set_mtime(d / "a.jpg", 1'600'000'000);
};

INSTANTIATE_TEST_SUITE_P(
    Cases, UndoAfterChange,
    ::testing::Values(
        ChangeCase{"CopyUntouched", Copy, "a.jpg", nullptr, std::nullopt},
        ChangeCase{"MoveUntouched", Move, "a.jpg", nullptr, std::nullopt},
        ChangeCase{"MoveOfAnOddName", Move, "t\tab%41\nnl.jpg", nullptr, std::nullopt},
        ChangeCase{"CopyTouched", Copy, "a.jpg", touch, UndoSkip::Changed},
        ChangeCase{"MoveTouched", Move, "a.jpg", touch, UndoSkip::Changed},
        ChangeCase{"CopyGrown", Copy, "a.jpg", append, UndoSkip::Changed},
        ChangeCase{"CopyReplaced", Copy, "a.jpg", replace, UndoSkip::Changed},
        ChangeCase{"MoveReplaced", Move, "a.jpg", replace, UndoSkip::Changed},
        ChangeCase{"MoveOldNameTaken", Move, "a.jpg", retake_old_name, UndoSkip::NameTaken},
        ChangeCase{"CopyGone", Copy, "a.jpg", remove_target, UndoSkip::Gone},
        ChangeCase{"CopyOfARemovedSource", Copy, "a.jpg", remove_source, UndoSkip::SourceGone},
        ChangeCase{"CopyOfARewrittenSource", Copy, "a.jpg", rewrite_source,
                   UndoSkip::SourceChanged},
        ChangeCase{"MoveGone", Move, "a.jpg", remove_target, UndoSkip::Gone}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- successive undos, folders, overwritten files --------------------------------

TEST_F(Undo, SuccessiveUndosGoBackRunByRun)
{
    dir.file("a.jpg", "A");
    dir.file("b.jpg", "B");
    dir.file("b.png", "old png");
    const auto before = tree(dir.path());

    zumo::OptionSnapshot into_subfolder = options(Copy);
    into_subfolder.CheckBox2 = true; // makes "rename"
    run(into_subfolder, {"a.jpg"});
    zumo::OptionSnapshot onto_itself = options(Copy);
    onto_itself.RadioGroup3 = 1; // extension only: b.jpg -> b.jpg fails
    onto_itself.Edit6 = "jpg";
    run(onto_itself, {"b.jpg"});
    EXPECT_EQ(journal_count(journals()), 1) << "a run that did nothing leaves no journal";
    zumo::OptionSnapshot over_png = options(Copy);
    over_png.RadioGroup3 = 1;
    over_png.Edit6 = "png";
    over_png.CheckBox4 = true; // replaces b.png
    run(over_png, {"b.jpg"});

    zumo::UndoResult third = undo();
    EXPECT_EQ(third.restored, 0);
    ASSERT_EQ(third.skipped.size(), 1u);
    EXPECT_EQ(third.skipped[0].why, UndoSkip::Replaced);
    EXPECT_EQ(tree(dir.path()).at("b.png"), "B");

    zumo::UndoResult first = undo();
    EXPECT_EQ(first.restored, 1);
    auto expected = before;
    expected["b.png"] = "B";
    EXPECT_EQ(tree(dir.path()), expected) << "the copy and its folder are gone";

    EXPECT_EQ(zumo::FindLastRun(journals()).state, LastRunState::Nothing);
}

// ---- a run that crashed in the middle ------------------------------------------

enum class InFlight {
    DoneNotRecorded, // the third operation happened, its result line is missing
    Partial,         // the third copy was cut short
    TornPlan,        // the crash came while its plan line was written
    Garbled,         // as DoneNotRecorded, and a power cut garbled the first result line
};

struct CrashCase
{
    const char* name;
    Transfer transfer;
    InFlight in_flight;
    int restored;
    int skipped;
    std::vector<int> garbled_lines;
};

void PrintTo(const CrashCase& c, std::ostream* os)
{
    *os << c.name;
}

class CrashedRun : public Undo, public ::testing::WithParamInterface<CrashCase>
{
};

TEST_P(CrashedRun, IsUndoneAsFarAsItsJournalTells)
{
    const CrashCase& c = GetParam();
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"})
        dir.file(f, std::string("content of ") + f);
    const auto before = tree(dir.path());
    const zumo::OptionSnapshot o = options(c.transfer);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        zumo::RenameJournal journal(journals());
        zumo::RenameRun made;
        made.Journal = &journal;
        zumo::FormFileRe(o, dir / "a.jpg", &made);
        zumo::FormFileRe(o, dir / "b.jpg", &made);
        const std::string target = dir / "new0003.jpg";
        const int fd = ::open(journal.path().c_str(), O_WRONLY | O_APPEND);
        if (c.in_flight == InFlight::TornPlan) {
            (void)!::write(fd, "P\t2\tcopy\t/x", 11);
        } else {
            journal.Planned(c.transfer == Copy ? zumo::JournalOp::Copy : zumo::JournalOp::Move,
                            dir / "c.jpg", target);
            if (c.in_flight == InFlight::Partial)
                std::ofstream(target) << "content";
            else if (c.transfer == Copy)
                zumo::CopyFileAs(dir / "c.jpg", target, zumo::Overwrite::No);
            else
                zumo::MoveFileAs(dir / "c.jpg", target, zumo::Overwrite::No);
            (void)!::write(fd, "D\t2\t6", 5); // the result line, torn
        }
        if (c.in_flight == InFlight::Garbled) {
            std::fstream file(journal.path(), std::ios::in | std::ios::out | std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(file)), {});
            text[text.find("\nD\t0\t") + 5] ^= 0x01; // one bit of the device number
            file.seekp(0);
            file << text;
        }
        ::_exit(0); // no destructors: the journal ends where it ends
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));

    // Stopped after the first file and continued: the lines the first undo
    // appends after the torn one stay readable for the second.
    const zumo::LastRun last = zumo::FindLastRun(journals());
    ASSERT_EQ(last.state, LastRunState::Found);
    EXPECT_EQ(last.garbled_lines, c.garbled_lines);
    const zumo::UndoResult first =
        zumo::UndoRun(last.journal, [](int position, int) { return position < 1; });
    EXPECT_TRUE(first.stopped);
    const zumo::UndoResult result = zumo::UndoRun(last.journal);
    EXPECT_EQ(first.restored + result.restored, c.restored);
    EXPECT_EQ(static_cast<int>(result.skipped.size()), c.skipped); // tried again
    EXPECT_EQ(result.garbled_lines, c.garbled_lines);
    auto expected = before;
    if (c.in_flight == InFlight::Partial)
        expected["new0003.jpg"] = "content"; // not provably the run's: kept
    EXPECT_EQ(tree(dir.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrashedRun,
    // Lines: 1 header, 2-3 and 4-5 the two finished files, 6 the third plan.
    ::testing::Values(CrashCase{"CopyDoneNotRecorded", Copy, InFlight::DoneNotRecorded, 3, 0, {}},
                      CrashCase{"MoveDoneNotRecorded", Move, InFlight::DoneNotRecorded, 3, 0, {}},
                      CrashCase{"CopyCutShort", Copy, InFlight::Partial, 2, 1, {}},
                      CrashCase{"CopyTornPlan", Copy, InFlight::TornPlan, 2, 0, {}},
                      CrashCase{"CopyGarbled", Copy, InFlight::Garbled, 3, 0, {3}},
                      CrashCase{"MoveGarbled", Move, InFlight::Garbled, 3, 0, {3}},
                      CrashCase{"MoveTornPlan", Move, InFlight::TornPlan, 2, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Names relative to the working folder, as on a command line, are undone
// from any other folder.
TEST_F(Undo, RelativeNamesAreRecordedInFull)
{
    dir.file("a.jpg", "A");
    const std::string old_cwd = fs::current_path().string();
    fs::current_path(dir.path());
    {
        zumo::RenameJournal journal(journals());
        zumo::RenameRun made;
        made.Journal = &journal;
        zumo::FormFileRe(options(Move), "a.jpg", &made);
    }
    fs::current_path(state.path());
    const zumo::UndoResult result = undo();
    fs::current_path(old_cwd);
    EXPECT_EQ(result.restored, 1);
    EXPECT_EQ(tree(dir.path()), (std::map<std::string, std::string>{{"a.jpg", "A"}}));
}

TEST_F(Undo, RunInProgressIsNotUndone)
{
    dir.file("a.jpg", "A");
    zumo::RenameJournal journal(journals());
    zumo::RenameRun made;
    made.Journal = &journal;
    zumo::FormFileRe(options(Move), dir / "a.jpg", &made);
    EXPECT_EQ(zumo::FindLastRun(journals()).state, LastRunState::InProgress);
    EXPECT_TRUE(zumo::UndoRun(journal.path()).in_progress);
    EXPECT_EQ(tree(dir.path()).count("new0001.jpg"), 1u);
}

// ---- zumo --undo and the window over a damaged journal -------------------------

std::string newest_journal(const std::string& folder)
{
    std::string newest;
    for (const auto& e : fs::directory_iterator(folder))
        newest = std::max(newest, e.path().string());
    return newest;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct DamageCase
{
    const char* name;
    std::function<void(const std::string& journal)> damage;
    int status;
    const char* said;        // on standard error
    const char* window_said; // in the window's message
};

void PrintTo(const DamageCase& c, std::ostream* os)
{
    *os << c.name;
}

class DamagedJournal : public Undo, public ::testing::WithParamInterface<DamageCase>
{
};

// An older run (a.jpg moved) lies behind the damaged newest one (b.jpg
// moved): it is never undone in that one's place.
TEST_P(DamagedJournal, StopsTheUndoAndSaysWhich)
{
    const DamageCase& c = GetParam();
    dir.file("a.jpg", "A");
    dir.file("b.jpg", "B");
    run(options(Move), {"a.jpg"});
    run(options(Move), {"b.jpg"});
    const std::string journal = newest_journal(journals());
    c.damage(journal);
    const auto damaged = tree(dir.path());

    // The window says it before its question (garbled lines) or instead of it.
    zumo::test::FakeHost host;
    host.answers = {zumo::Answer::Cancel};
    zumo::UndoLastRun(host, journals());
    ASSERT_FALSE(host.events.empty());
    EXPECT_NE(host.events.back().find(c.window_said), std::string::npos) << host.events.back();
    EXPECT_NE(host.events.back().find(journal), std::string::npos) << host.events.back();

    std::ostringstream err;
    EXPECT_EQ(zumo::UndoFromCommandLine(err, journals()), c.status);
    EXPECT_NE(err.str().find(c.said), std::string::npos) << err.str();
    if (c.status == 2) {
        EXPECT_NE(err.str().find(journal), std::string::npos) << err.str();
        EXPECT_EQ(tree(dir.path()), damaged);
    }
}

// Garbles one byte of the line that starts with prefix.
std::function<void(const std::string&)> garble_line(const char* prefix)
{
    return [prefix](const std::string& journal) {
        std::string text = read_file(journal);
        text[text.find(std::string("\n") + prefix) + 3] ^= 0x01;
        std::ofstream(journal, std::ios::binary) << text;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedJournal,
    ::testing::Values(
        DamageCase{"Empty", [](const std::string& j) { std::ofstream(j, std::ios::trunc); }, 2,
                   "is damaged (it is empty)", "空です"},
        DamageCase{"NotAJournal",
                   [](const std::string& j) { std::ofstream(j, std::ios::trunc) << "hello\n"; }, 2,
                   "its first line is not a good journal header", "先頭の行"},
        DamageCase{"HeaderCutShort",
                   [](const std::string& j) { std::ofstream(j, std::ios::trunc) << "zumo-jour"; },
                   2, "its first line is not a good journal header", "先頭の行"},
        // A folder in a journal's place cannot be read, even by root.
        DamageCase{"Unreadable",
                   [](const std::string& j) {
                       fs::remove(j);
                       fs::create_directory(j);
                   },
                   2, "it cannot be read", "読めません"},
        // The plan of the one operation: nothing left to reverse, but the
        // run is not passed over without a word.
        DamageCase{"GarbledPlan", garble_line("P\t0"), 1, "line 2 of the journal is garbled",
                   " の 2 行目が壊れています"},
        DamageCase{"GarbledResult", garble_line("D\t0"), 1, "line 3 of the journal is garbled",
                   " の 3 行目が壊れています"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- a journal that cannot be written ------------------------------------------

using testsupport::ScopedEnv;

TEST_F(Undo, UnwritableJournalWarnsOnceAndTheRunGoesOn)
{
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"})
        dir.file(f, f);
    state.file("blocker", "a file where the state folder should be");
    const ScopedEnv env("XDG_STATE_HOME", state / "blocker");
    zumo::test::FakeHost host;
    zumo::test::FakeOptions source;
    zumo::RenameFileList(source, host, {dir / "a.jpg", dir / "b.jpg", dir / "c.jpg"});

    int warnings_seen = 0;
    for (const std::string& e : host.events)
        warnings_seen += e.rfind("Message(元に戻すための記録を書けません", 0) == 0;
    EXPECT_EQ(warnings_seen, 1);
    for (const char* f : {"new0001.jpg", "new0002.jpg", "new0003.jpg"})
        EXPECT_TRUE(fs::exists(dir / f)) << f;
}

TEST(JournalFolder, FollowsXdgStateHomeAndIgnoresARelativeOne)
{
    const ScopedEnv home("HOME", "/home/someone");
    {
        const ScopedEnv state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(zumo::DefaultJournalFolder(), "/var/state/zumo");
    }
    const ScopedEnv state("XDG_STATE_HOME", "relative");
    EXPECT_EQ(zumo::DefaultJournalFolder(), "/home/someone/.local/state/zumo");
}

} // namespace
