#include "platform/file_ops.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::IfExists;
using testsupport::TempFolder;

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> names_in(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* ent = ::readdir(dir)) {
            const std::string name = ent->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        ::closedir(dir);
    }
    return names;
}

dev_t device_of(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

// Makes writes beyond `bytes` fail with EFBIG for the life of the object,
// so a copy can be made to fail half-way.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_old_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_old_handler);
    }

private:
    rlimit m_old{};
    void (*m_old_handler)(int) = nullptr;
};

class FileOps : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    TempFolder dir;
};

TEST_F(FileOps, ExistenceTestsTellFilesFromFolders)
{
    write_file(dir / "file", "x");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0777), 0);
    ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((dir / "pipe").c_str(), (dir / "pipe-link").c_str()), 0);

    struct Row
    {
        std::string path;
        bool file;
        bool folder;
    };
    const Row rows[] = {
        {dir / "file", true, false},      {dir / "folder", false, true},
        {dir / "folder/", false, true},   {dir / "link", true, false},
        {dir / "dangling", false, false}, {dir / "missing", false, false},
        {dir / "pipe", false, false},     {dir / "pipe-link", false, false},
        {"/dev/null", false, false},      {"", false, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(platform::file_exists(row.path), row.file) << row.path;
        EXPECT_EQ(platform::folder_exists(row.path), row.folder) << row.path;
    }
}

// Runs work() and waits for it at most ten seconds. When it is still
// waiting then (a reader blocked on the named pipe), a writer opens and
// closes the pipe so that it ends, and the test fails instead of hanging.
template <typename Work> auto within_seconds(Work work, const std::string& pipe)
{
    auto result = std::async(std::launch::async, work);
    if (result.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "blocked on " << pipe;
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    return result.get();
}

// A named pipe given as a source fails at once, whichever way it is named,
// and stays a named pipe.
class NonRegularSource : public FileOps, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(NonRegularSource, FailsAtOnceAndChangesNothing)
{
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((dir / "pipe.jpg").c_str(), (dir / "link.jpg").c_str()), 0);
    write_file(dir / "old.jpg", "old");
    const std::string source = dir / GetParam();
    const std::string pipe = dir / "pipe.jpg";

    for (IfExists mode : {IfExists::Fail, IfExists::Replace}) {
        for (const char* target : {"new.jpg", "old.jpg"}) {
            // errno belongs to the thread that made the call.
            const auto [copied, error] = within_seconds(
                [&] {
                    errno = 0;
                    const bool ok = platform::copy_file(source, dir / target, mode);
                    return std::make_pair(ok, errno);
                },
                pipe);
            EXPECT_FALSE(copied) << target;
            EXPECT_EQ(error, EINVAL) << target;
        }
    }
    std::FILE* opened =
        within_seconds([&] { return platform::open_file_for_reading(source); }, pipe);
    EXPECT_EQ(opened, nullptr);
    if (opened)
        std::fclose(opened);
    struct stat st
    {
    };
    ASSERT_EQ(::lstat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(read_file(dir / "old.jpg"), "old");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"pipe.jpg", "link.jpg", "old.jpg"}));
}

INSTANTIATE_TEST_SUITE_P(Names, NonRegularSource, ::testing::Values("pipe.jpg", "link.jpg"),
                         [](const auto& info) {
                             return std::string(info.param[0] == 'p' ? "Pipe" : "LinkToPipe");
                         });

// With replacing on, a file without write permission bits is refused as
// Windows refuses to replace a read-only file, also for root; the source
// stays.
TEST_F(FileOps, ReadOnlyTargetIsNeverReplaced)
{
    write_file(dir / "src", "new");
    write_file(dir / "locked", "old");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0444), 0);
    EXPECT_TRUE(platform::file_is_read_only(dir / "locked"));
    EXPECT_FALSE(platform::file_is_read_only(dir / "src"));

    errno = 0;
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "locked", IfExists::Replace));
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_FALSE(platform::move_file(dir / "src", dir / "locked", IfExists::Replace));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(read_file(dir / "locked"), "old");
    EXPECT_EQ(read_file(dir / "src"), "new");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"src", "locked"}));
}

// Temporary files get a short name of their own, so that a target whose
// name has the most bytes a name may have can be replaced.
TEST_F(FileOps, LongestTargetNamesCanBeReplaced)
{
    const std::string longest = std::string(255, 'n');
    write_file(dir / "src", "new");
    write_file(dir / longest, "old");
    EXPECT_TRUE(platform::copy_file(dir / "src", dir / longest, IfExists::Replace));
    EXPECT_EQ(read_file(dir / longest), "new");
    std::string temp;
    const int fd = platform::create_temp_file(dir.path(), temp);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(temp.size(), dir.path().size() + platform::k_temp_name_length);
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
}

// Runs work in a child process that the system kills (SIGXFSZ) once it
// has written `bytes` to any file: a program killed in the middle of a
// write. True when the child died that way.
template <typename Work> bool killed_while_writing(rlim_t bytes, Work work)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        work();
        ::_exit(0);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGXFSZ;
}

// A copy cut short by a kill leaves no file under the target's name, the
// old target as it was, and no temporary file.
TEST_F(FileOps, CopyKilledMidWayLeavesNeitherPartialTargetNorTemporary)
{
    write_file(dir / "big", std::string(4 << 20, 'b'));
    write_file(dir / "old", "old");
    for (IfExists mode : {IfExists::Fail, IfExists::Replace}) {
        const std::string target = dir / (mode == IfExists::Fail ? "new" : "old");
        EXPECT_TRUE(
            killed_while_writing(1 << 20, [&] { platform::copy_file(dir / "big", target, mode); }));
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"big", "old"}));
        EXPECT_EQ(read_file(dir / "old"), "old");
    }
}

// What a killed process left under a temporary name is removed by the next
// temporary made in that folder, but only when it is this program's
// temporary of a process that is gone: a live writer's file, a name of
// another host, anything that is not a regular file and every other file
// stay.
TEST_F(FileOps, StaleTemporariesOfDeadProcessesAreSwept)
{
    // The host part of the names as this host writes them.
    std::string own;
    {
        TempFolder probe;
        ASSERT_TRUE(probe.ok());
        const int fd = platform::create_temp_file(probe.path(), own);
        ASSERT_GE(fd, 0);
        ::close(fd);
        own = own.substr(probe.path().size());
    }
    ASSERT_EQ(own.size(), platform::k_temp_name_length) << own;
    const std::string host = own.substr(6, 4);
    const std::string other_host = host == "0000" ? "0001" : "0000";
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const auto temp = [](const std::string& host, pid_t pid, const char* random) {
        char name[64];
        std::snprintf(name, sizeof name, ".zumo-%s-%08x-%s", host.c_str(),
                      static_cast<unsigned>(pid), random);
        return std::string(name);
    };
    const std::string stale = temp(host, dead, "00ab12");
    const std::set<std::string> kept{
        temp(host, ::getpid(), "00ab13"),  // this process's, in use
        temp(host, ::getppid(), "00ab14"), // another live process's
        temp(other_host, dead, "00ab15"),  // another host's: its pids are not ours
        temp(host, dead, "00ab16"),        // a folder of that name
        temp(host, dead, "00ab17"),        // a link of that name
        ".zumo-0123456789ab",              // not a name we give
        temp(host, dead, "00ab1"),         // nor is this
        "notes.txt",
    };
    write_file(dir / stale, "left by a killed run");
    for (const std::string& name : kept)
        write_file(dir / name, "keep");
    ASSERT_EQ(::unlink((dir / temp(host, dead, "00ab16")).c_str()), 0);
    ASSERT_EQ(::mkdir((dir / temp(host, dead, "00ab16")).c_str(), 0700), 0);
    ASSERT_EQ(::unlink((dir / temp(host, dead, "00ab17")).c_str()), 0);
    ASSERT_EQ(::symlink("notes.txt", (dir / temp(host, dead, "00ab17")).c_str()), 0);

    write_file(dir / "src", "x");
    ASSERT_TRUE(platform::copy_file(dir / "src", dir / "copy", IfExists::Fail));
    std::set<std::string> expected = kept;
    expected.insert({"src", "copy"});
    EXPECT_EQ(names_in(dir.path()), expected);
}

TEST_F(FileOps, CreateFolderMakesOneLevelOnly)
{
    EXPECT_TRUE(platform::create_folder(dir / "a"));
    EXPECT_TRUE(platform::folder_exists(dir / "a"));
    EXPECT_FALSE(platform::create_folder(dir / "a")) << "exists already";
    EXPECT_FALSE(platform::create_folder(dir / "b/c")) << "parent missing";
    EXPECT_FALSE(platform::folder_exists(dir / "b"));
}

TEST_F(FileOps, CopyWithoutReplaceKeepsEveryExistingTarget)
{
    write_file(dir / "src", "new content");
    write_file(dir / "old", "old content");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0777), 0);

    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "old", IfExists::Fail));
    EXPECT_EQ(read_file(dir / "old"), "old content");
    // Writing through a dangling link would create a file elsewhere.
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "dangling", IfExists::Fail));
    EXPECT_FALSE(platform::file_exists(dir / "elsewhere"));
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "folder", IfExists::Fail));
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "src", IfExists::Fail));
    EXPECT_EQ(read_file(dir / "src"), "new content");

    EXPECT_TRUE(platform::copy_file(dir / "src", dir / "copy", IfExists::Fail));
    EXPECT_EQ(read_file(dir / "copy"), "new content");
    EXPECT_EQ(read_file(dir / "src"), "new content");
}

TEST_F(FileOps, CopyKeepsLastWriteTimeAndPermissions)
{
    write_file(dir / "src", "abc");
    ::chmod((dir / "src").c_str(), 0640);
    const struct timespec times[2] = {{1'500'000'000, 0}, {1'600'000'000, 123'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "src").c_str(), times, 0), 0);

    for (IfExists mode : {IfExists::Fail, IfExists::Replace}) {
        const std::string target = dir / (mode == IfExists::Fail ? "a" : "b");
        ASSERT_TRUE(platform::copy_file(dir / "src", target, mode));
        struct stat st
        {
        };
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1'600'000'000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 123'000'000);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
}

TEST_F(FileOps, CopyWithReplaceReplacesFilesButNotItselfOrFolders)
{
    write_file(dir / "src", "new");
    write_file(dir / "old", "old");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0777), 0);
    ASSERT_EQ(::link((dir / "src").c_str(), (dir / "hardlink").c_str()), 0);

    EXPECT_TRUE(platform::copy_file(dir / "src", dir / "old", IfExists::Replace));
    EXPECT_EQ(read_file(dir / "old"), "new");
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "src", IfExists::Replace));
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "hardlink", IfExists::Replace));
    EXPECT_EQ(read_file(dir / "src"), "new");
    EXPECT_FALSE(platform::copy_file(dir / "src", dir / "folder", IfExists::Replace));
    EXPECT_TRUE(platform::folder_exists(dir / "folder"));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"src", "old", "folder", "hardlink"}))
        << "no temporary file left behind";
}

TEST_F(FileOps, FailedCopyLeavesOldTargetAndNoPartialFile)
{
    write_file(dir / "big", std::string(1 << 20, 'b'));
    write_file(dir / "old", "old");
    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_FALSE(platform::copy_file(dir / "big", dir / "old", IfExists::Replace));
        EXPECT_FALSE(platform::copy_file(dir / "big", dir / "new", IfExists::Fail));
    }
    EXPECT_EQ(read_file(dir / "old"), "old");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"big", "old"}));
}

TEST_F(FileOps, MissingSourceCreatesNothing)
{
    write_file(dir / "old", "old");
    for (IfExists mode : {IfExists::Fail, IfExists::Replace}) {
        EXPECT_FALSE(platform::copy_file(dir / "missing", dir / "t", mode));
        EXPECT_FALSE(platform::move_file(dir / "missing", dir / "t", mode));
        EXPECT_FALSE(platform::move_file(dir / "missing", dir / "old", mode));
    }
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"old"}));
    EXPECT_EQ(read_file(dir / "old"), "old");
}

TEST_F(FileOps, MoveOnTheSameFileSystem)
{
    write_file(dir / "a", "A");
    write_file(dir / "b", "B");

    EXPECT_FALSE(platform::move_file(dir / "a", dir / "b", IfExists::Fail));
    EXPECT_EQ(read_file(dir / "a"), "A");
    EXPECT_EQ(read_file(dir / "b"), "B");

    EXPECT_FALSE(platform::move_file(dir / "a", dir / "a", IfExists::Replace));
    EXPECT_EQ(read_file(dir / "a"), "A");

    EXPECT_TRUE(platform::move_file(dir / "a", dir / "c", IfExists::Fail));
    EXPECT_FALSE(platform::file_exists(dir / "a"));
    EXPECT_EQ(read_file(dir / "c"), "A");

    EXPECT_TRUE(platform::move_file(dir / "c", dir / "b", IfExists::Replace));
    EXPECT_FALSE(platform::file_exists(dir / "c"));
    EXPECT_EQ(read_file(dir / "b"), "A");
}

TEST_F(FileOps, DeleteFileLeavesFolders)
{
    write_file(dir / "f", "x");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0777), 0);
    EXPECT_TRUE(platform::delete_file(dir / "f"));
    EXPECT_FALSE(platform::file_exists(dir / "f"));
    EXPECT_FALSE(platform::delete_file(dir / "f"));
    EXPECT_FALSE(platform::delete_file(dir / "folder"));
    EXPECT_TRUE(platform::folder_exists(dir / "folder"));
}

// /dev/shm is a tmpfs on most Linux systems, so a move from there into /tmp
// (or the other way round) crosses file systems.
class CrossDeviceMove : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!here.ok() || !there.ok() || device_of(here.path()) == device_of(there.path()))
            GTEST_SKIP() << "needs /dev/shm and /tmp on different file systems";
    }
    TempFolder here{"/dev/shm"};
    TempFolder there{"/tmp"};
};

TEST_F(CrossDeviceMove, MovesContentAndRemovesSource)
{
    const std::string content(3 << 20, 'z');
    write_file(here / "a", content);
    EXPECT_TRUE(platform::move_file(here / "a", there / "a", IfExists::Fail));
    EXPECT_FALSE(platform::file_exists(here / "a"));
    EXPECT_EQ(read_file(there / "a"), content);

    write_file(here / "b", "B");
    write_file(there / "b", "old");
    EXPECT_FALSE(platform::move_file(here / "b", there / "b", IfExists::Fail));
    EXPECT_EQ(read_file(here / "b"), "B");
    EXPECT_EQ(read_file(there / "b"), "old");

    EXPECT_TRUE(platform::move_file(here / "b", there / "b", IfExists::Replace));
    EXPECT_FALSE(platform::file_exists(here / "b"));
    EXPECT_EQ(read_file(there / "b"), "B");
    EXPECT_EQ(names_in(there.path()), (std::set<std::string>{"a", "b"}));
}

TEST_F(CrossDeviceMove, SourceStaysWhenTheCopyCannotComplete)
{
    const std::string content(1 << 20, 's');
    write_file(here / "a", content);
    write_file(there / "old", "old");
    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_FALSE(platform::move_file(here / "a", there / "a", IfExists::Fail));
        EXPECT_FALSE(platform::move_file(here / "a", there / "old", IfExists::Replace));
    }
    EXPECT_EQ(read_file(here / "a"), content);
    EXPECT_EQ(read_file(there / "old"), "old");
    EXPECT_EQ(names_in(there.path()), (std::set<std::string>{"old"}));
}

} // namespace
