// Numbered names shared with another program: a second run into the same
// folder takes numbers between this run's search and its copy or move. No
// file may be replaced or fail for it, and the journals must still let an
// undo restore every file.
#include "rename/FileRename.h"
#include "rename/RenameJournal.h"
#include "rename/RenameUndo.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::TempFolder;
using zumo::RenameResult;

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Every file of folder (no subfolders) with its content.
std::map<std::string, std::string> files_in(const std::string& folder)
{
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        out[e.path().filename().string()] = content.str();
    }
    return out;
}

struct Mode
{
    const char* name;
    int transfer; // RadioGroup4: 0 copy, 1 move
    bool overwrite;
};

void PrintTo(const Mode& mode, std::ostream* os)
{
    *os << mode.name;
}

// Undoes the newest run journaled in folder; every operation must come back.
void undo_all(const std::string& journals, int operations)
{
    const zumo::LastRun last = zumo::FindLastRun(journals);
    ASSERT_EQ(last.state, zumo::LastRunState::Found) << journals;
    const zumo::UndoResult undone = zumo::UndoRun(last.journal);
    EXPECT_EQ(undone.restored, operations);
    for (const auto& skipped : undone.skipped)
        ADD_FAILURE() << "left by the undo: " << skipped.file;
}

// ---- two programs at once ---------------------------------------------------------

class TwoRunsAtOnce : public ::testing::TestWithParam<Mode>
{
};

constexpr int k_files_per_run = 300;

std::string source_name(char run, int i)
{
    return std::string(1, run) + std::to_string(10000 + i).substr(1) + ".dat";
}

// Renames the run's files once a byte arrives on go; the exit status is the
// number of files that were not done.
[[noreturn]] void child_run(const Mode& mode, const std::string& dir, char which,
                            const std::string& journals, int go)
{
    char byte = 0;
    if (::read(go, &byte, 1) != 1)
        ::_exit(255);
    int not_done = 0;
    {
        zumo::RenameJournal journal(journals);
        zumo::RenameRun run;
        run.Journal = &journal;
        zumo::OptionSnapshot o;
        o.RadioGroup4 = mode.transfer;
        o.CheckBox4 = mode.overwrite;
        for (int i = 0; i < k_files_per_run; ++i)
            not_done +=
                zumo::FormFileRe(o, dir + source_name(which, i), &run) != RenameResult::Done;
    }
    ::_exit(std::min(not_done, 254));
}

TEST_P(TwoRunsAtOnce, NothingIsLostNothingFailsAndBothUndoCompletely)
{
    const Mode mode = GetParam();
    TempFolder dir, journals_a, journals_b;
    ASSERT_TRUE(dir.ok() && journals_a.ok() && journals_b.ok());
    std::map<std::string, std::string> sources;
    for (const char run : {'a', 'b'}) {
        for (int i = 0; i < k_files_per_run; ++i) {
            const std::string name = source_name(run, i);
            sources[name] = "content of " + name;
            write_file(dir / name, sources[name]);
        }
    }

    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (const auto& [which, journals] :
         {std::pair{'a', journals_a.path()}, std::pair{'b', journals_b.path()}}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            child_run(mode, dir.path(), which, journals, go[0]);
        children.push_back(pid);
    }
    ASSERT_EQ(::write(go[1], "gg", 2), 2); // both start together
    ::close(go[0]);
    ::close(go[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "files not done by one run";
    }

    // Every source's content exactly once under a numbered name; the
    // sources stay for a copy and are gone after a move; nothing else.
    std::map<std::string, int> copies;
    for (const auto& [name, content] : files_in(dir.path())) {
        if (sources.contains(name)) {
            EXPECT_EQ(mode.transfer, 0) << name << " was not moved";
            EXPECT_EQ(content, sources[name]);
        } else {
            EXPECT_EQ(name.rfind("new", 0), 0u) << "stray file " << name;
            ++copies[content];
        }
    }
    EXPECT_EQ(copies.size(), sources.size()) << "files lost";
    for (const auto& [name, content] : sources)
        EXPECT_EQ(copies[content], 1) << name;

    undo_all(journals_a.path(), k_files_per_run);
    undo_all(journals_b.path(), k_files_per_run);
    EXPECT_EQ(files_in(dir.path()), sources);
}

INSTANTIATE_TEST_SUITE_P(Modes, TwoRunsAtOnce,
                         ::testing::Values(Mode{"Copy", 0, false}, Mode{"CopyOverwriting", 0, true},
                                           Mode{"Move", 1, false},
                                           Mode{"MoveOverwriting", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
