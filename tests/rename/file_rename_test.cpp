#include "rename/FileRename.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testsupport::TempFolder;
using zumo::OptionSnapshot;
using zumo::RenameResult;

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every entry below folder, as paths relative to it; folders end with "/".
void collect(const std::string& folder, const std::string& rel, std::set<std::string>& out)
{
    DIR* dir = ::opendir((folder + rel).c_str());
    if (!dir)
        return;
    while (const dirent* ent = ::readdir(dir)) {
        const std::string name = ent->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st
        {
        };
        ::lstat((folder + rel + name).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out.insert(rel + name + "/");
            collect(folder, rel + name + "/", out);
        } else {
            out.insert(rel + name);
        }
    }
    ::closedir(dir);
}

std::set<std::string> tree_of(const std::string& folder)
{
    std::set<std::string> out;
    collect(folder, "", out);
    return out;
}

// ---- naming, one file per row ---------------------------------------------

struct NamingCase
{
    const char* label;
    const char* source;
    std::function<void(OptionSnapshot&, const std::string& root)> set;
    // Every entry of the folder afterwards; the source is copied, so it stays.
    std::set<std::string> after;
    const char* target;
};

class Naming : public ::testing::TestWithParam<NamingCase>
{
};

TEST_P(Naming, CopyGoesToTheExpectedName)
{
    const NamingCase& c = GetParam();
    TempFolder root;
    ASSERT_TRUE(root.ok());
    ::mkdir((root / "out").c_str(), 0777);
    write_file(root / c.source, "content");
    OptionSnapshot options;
    c.set(options, root.path());

    EXPECT_EQ(zumo::FormFileRe(options, root / c.source), RenameResult::Done);
    EXPECT_EQ(tree_of(root.path()), c.after);
    EXPECT_EQ(read_file(root / c.target), "content");
    EXPECT_EQ(read_file(root / c.source), "content");
}

const auto k_defaults = [](OptionSnapshot&, const std::string&) {};
const auto k_output_folder = [](OptionSnapshot& o, const std::string& root) {
    o.CheckBox8 = true;
    o.Edit8 = root + "out/";
};
const auto k_subfolder = [](OptionSnapshot& o, const std::string&) { o.CheckBox2 = true; };
auto mode(int m, const char* ext, bool subfolder = false)
{
    return [=](OptionSnapshot& o, const std::string&) {
        o.RadioGroup3 = m;
        o.Edit6 = ext;
        o.CheckBox2 = subfolder;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Naming,
    ::testing::Values(
        NamingCase{
            "Defaults", "a.jpg", k_defaults, {"out/", "a.jpg", "new0001.jpg"}, "new0001.jpg"},
        NamingCase{"CaseKeptInPlace",
                   "P.JPG",
                   k_defaults,
                   {"out/", "P.JPG", "new0001.JPG"},
                   "new0001.JPG"},
        NamingCase{"LowerCaseInOutputFolder",
                   "P.JPG",
                   k_output_folder,
                   {"out/", "P.JPG", "out/new0001.jpg"},
                   "out/new0001.jpg"},
        NamingCase{"CaseKeptInRenameSubfolder",
                   "P.JPG",
                   k_subfolder,
                   {"out/", "P.JPG", "rename/", "rename/new0001.JPG"},
                   "rename/new0001.JPG"},
        NamingCase{"OutputFolderWinsOverSubfolder",
                   "P.JPG",
                   [](OptionSnapshot& o, const std::string& root) {
                       k_output_folder(o, root);
                       o.CheckBox2 = true;
                   },
                   {"out/", "P.JPG", "out/new0001.jpg"},
                   "out/new0001.jpg"},
        NamingCase{"NoExtension", "README", k_defaults, {"out/", "README", "new0001"}, "new0001"},
        NamingCase{"LeadingStringOfOtherCharacters",
                   "a.jpg",
                   [](OptionSnapshot& o, const std::string&) { o.Edit5 = "写真"; },
                   {"out/", "a.jpg", "写真0001.jpg"},
                   "写真0001.jpg"},
        NamingCase{"Mode2WithoutDot",
                   "a.jpg",
                   mode(2, "png"),
                   {"out/", "a.jpg", "new0001.png"},
                   "new0001.png"},
        NamingCase{"Mode2WithDot",
                   "a.jpg",
                   mode(2, ".png"),
                   {"out/", "a.jpg", "new0001.png"},
                   "new0001.png"},
        NamingCase{
            "Mode2EmptyExtension", "a.jpg", mode(2, ""), {"out/", "a.jpg", "new0001"}, "new0001"},
        NamingCase{
            "Mode1AlwaysPutsADot", "a.jpg", mode(1, ".png"), {"out/", "a.jpg", "a..png"}, "a..png"},
        NamingCase{"Mode1EmptyExtension", "a.jpg", mode(1, ""), {"out/", "a.jpg", "a."}, "a."},
        NamingCase{"Mode1AppendsToBareName",
                   "README",
                   mode(1, "png"),
                   {"out/", "README", "README.png"},
                   "README.png"},
        NamingCase{"Mode1IntoRenameSubfolder",
                   "a.jpg",
                   mode(1, "png", true),
                   {"out/", "a.jpg", "rename/", "rename/a.png"},
                   "rename/a.png"}),
    [](const ::testing::TestParamInfo<NamingCase>& info) { return info.param.label; });

// ---- numbering -------------------------------------------------------------

class Rename : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(root.ok()); }
    TempFolder root;
    OptionSnapshot options;
};

TEST_F(Rename, NumbersCountOnWithinARunAndPerExtension)
{
    for (const char* f : {"a.jpg", "b.jpg", "c.png"})
        write_file(root / f, f);
    for (const char* f : {"a.jpg", "b.jpg", "c.png"})
        EXPECT_EQ(zumo::FormFileRe(options, root / f), RenameResult::Done);
    EXPECT_EQ(read_file(root / "new0001.jpg"), "a.jpg");
    EXPECT_EQ(read_file(root / "new0002.jpg"), "b.jpg");
    EXPECT_EQ(read_file(root / "new0001.png"), "c.png");
}

TEST_F(Rename, GapsAreFilledAgainAndFoldersDoNotCountAsTaken)
{
    write_file(root / "new0001.jpg", "");
    write_file(root / "new0003.jpg", "");
    EXPECT_EQ(zumo::MakeNumberedName(root.path(), "new", "jpg"), root / "new0002.jpg");
    ::mkdir((root / "new0002.jpg").c_str(), 0777);
    // A folder is not a file: its name is offered, and the copy onto it
    // then fails without harm.
    EXPECT_EQ(zumo::MakeNumberedName(root.path(), "new", ".jpg"), root / "new0002.jpg");
    // A named pipe or a dangling link takes its name: it could not be
    // created anew.
    ASSERT_EQ(::mkfifo((root / "new0001.png").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((root / "gone").c_str(), (root / "new0002.png").c_str()), 0);
    EXPECT_EQ(zumo::MakeNumberedName(root.path(), "new", "png"), root / "new0003.png");
}

TEST_F(Rename, AllNumbersTakenGivesTheFullName)
{
    for (int n = 1; n <= 9999; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "new%04d.jpg", n);
        const int fd = ::open((root / name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    EXPECT_EQ(zumo::MakeNumberedName(root.path(), "new", "jpg"), root / "newFULL.jpg");

    ::mkdir((root / "src").c_str(), 0777);
    write_file(root / "src/a.jpg", "first");
    write_file(root / "src/b.jpg", "second");
    options.CheckBox8 = true;
    options.Edit8 = root.path();
    EXPECT_EQ(zumo::FormFileRe(options, root / "src/a.jpg"), RenameResult::Done);
    EXPECT_EQ(read_file(root / "newFULL.jpg"), "first");
    EXPECT_EQ(zumo::FormFileRe(options, root / "src/b.jpg"), RenameResult::Failed);
    EXPECT_EQ(read_file(root / "newFULL.jpg"), "first");
    options.CheckBox4 = true;
    EXPECT_EQ(zumo::FormFileRe(options, root / "src/b.jpg"), RenameResult::Done);
    EXPECT_EQ(read_file(root / "newFULL.jpg"), "second");
}

// ---- copy or move onto an existing name -------------------------------------

struct OverwriteCase
{
    const char* label;
    int transfer; // RadioGroup4
    bool overwrite;
    RenameResult result;
    const char* source_after; // "<missing>" when moved away
    const char* target_after;
};

class OverwriteRule : public ::testing::TestWithParam<OverwriteCase>
{
};

TEST_P(OverwriteRule, ExistingTarget)
{
    const OverwriteCase& c = GetParam();
    TempFolder root;
    ASSERT_TRUE(root.ok());
    write_file(root / "a.jpg", "source");
    write_file(root / "a.png", "old target");
    OptionSnapshot options;
    options.RadioGroup3 = 1;
    options.Edit6 = "png";
    options.RadioGroup4 = c.transfer;
    options.CheckBox4 = c.overwrite;

    EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), c.result);
    EXPECT_EQ(read_file(root / "a.jpg"), c.source_after);
    EXPECT_EQ(read_file(root / "a.png"), c.target_after);
}

INSTANTIATE_TEST_SUITE_P(
    CopyAndMove, OverwriteRule,
    ::testing::Values(
        OverwriteCase{"CopyKeepsTarget", 0, false, RenameResult::Failed, "source", "old target"},
        OverwriteCase{"CopyReplaces", 0, true, RenameResult::Done, "source", "source"},
        OverwriteCase{"MoveKeepsBoth", 1, false, RenameResult::Failed, "source", "old target"},
        OverwriteCase{"MoveReplaces", 1, true, RenameResult::Done, "<missing>", "source"}),
    [](const ::testing::TestParamInfo<OverwriteCase>& info) { return info.param.label; });

// With overwriting on, a read-only file (no write permission bit) is not
// replaced, as Windows refuses to; the source stays where it was.
class ReadOnlyTarget : public ::testing::TestWithParam<int>
{
};

TEST_P(ReadOnlyTarget, IsRefusedAndTheSourceStays)
{
    TempFolder root;
    ASSERT_TRUE(root.ok());
    write_file(root / "a.jpg", "source");
    write_file(root / "a.png", "read-only");
    ASSERT_EQ(::chmod((root / "a.png").c_str(), 0444), 0);
    OptionSnapshot options;
    options.RadioGroup3 = 1;
    options.Edit6 = "png";
    options.RadioGroup4 = GetParam();
    options.CheckBox4 = true;

    EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), RenameResult::Failed);
    EXPECT_EQ(read_file(root / "a.jpg"), "source");
    EXPECT_EQ(read_file(root / "a.png"), "read-only");
    EXPECT_EQ(tree_of(root.path()), (std::set<std::string>{"a.jpg", "a.png"}));
}

INSTANTIATE_TEST_SUITE_P(CopyAndMove, ReadOnlyTarget, ::testing::Values(0, 1),
                         [](const auto& info) {
                             return std::string(info.param ? "Move" : "Copy");
                         });

class OntoItself : public ::testing::TestWithParam<std::tuple<int, bool>>
{
};

TEST_P(OntoItself, SourceStaysIntact)
{
    const auto [transfer, overwrite] = GetParam();
    TempFolder root;
    ASSERT_TRUE(root.ok());
    write_file(root / "a.jpg", "precious");
    OptionSnapshot options;
    options.RadioGroup3 = 1; // the source's own extension, in place
    options.Edit6 = "jpg";
    options.RadioGroup4 = transfer;
    options.CheckBox4 = overwrite;

    const RenameResult result = zumo::FormFileRe(options, root / "a.jpg");
    EXPECT_EQ(result, transfer == 0 ? RenameResult::Failed : RenameResult::Skipped);
    EXPECT_EQ(read_file(root / "a.jpg"), "precious");
    EXPECT_EQ(tree_of(root.path()), (std::set<std::string>{"a.jpg"}));
}

INSTANTIATE_TEST_SUITE_P(CopyAndMove, OntoItself,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool()));

TEST_F(Rename, PrimitivesRefuseTheSourceAsTarget)
{
    write_file(root / "a", "keep");
    for (auto overwrite : {zumo::Overwrite::No, zumo::Overwrite::Yes}) {
        EXPECT_FALSE(zumo::CopyFileAs(root / "a", root / "a", overwrite));
        EXPECT_FALSE(zumo::MoveFileAs(root / "a", root / "a", overwrite));
    }
    EXPECT_EQ(read_file(root / "a"), "keep");
}

// ---- what must never happen ------------------------------------------------

class WorkingDirectory
{
public:
    explicit WorkingDirectory(const std::string& path)
    {
        char buffer[4096];
        if (::getcwd(buffer, sizeof buffer))
            m_old = buffer;
        m_ok = ::chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory()
    {
        if (!m_old.empty() && ::chdir(m_old.c_str()) != 0)
            std::abort();
    }
    bool ok() const { return m_ok; }

private:
    std::string m_old;
    bool m_ok = false;
};

TEST_F(Rename, OutputFolderNotChosenTouchesNothing)
{
    TempFolder cwd;
    ASSERT_TRUE(cwd.ok());
    WorkingDirectory here(cwd.path());
    ASSERT_TRUE(here.ok());
    write_file(root / "a.jpg", "x");
    options.CheckBox8 = true;
    for (int transfer : {0, 1}) {
        for (int naming : {0, 1, 2}) {
            options.RadioGroup4 = transfer;
            options.RadioGroup3 = naming;
            options.Edit6 = "png";
            EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), RenameResult::Skipped);
        }
    }
    EXPECT_TRUE(tree_of(cwd.path()).empty());
    EXPECT_EQ(tree_of(root.path()), (std::set<std::string>{"a.jpg"}));
}

TEST_F(Rename, MissingSourceOrFolderSourceChangesNothing)
{
    write_file(root / "a.png", "target");
    ::mkdir((root / "folder.jpg").c_str(), 0777);
    options.RadioGroup3 = 1;
    options.Edit6 = "png";
    options.CheckBox4 = true;
    for (int transfer : {0, 1}) {
        options.RadioGroup4 = transfer;
        EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), RenameResult::Failed);
        EXPECT_EQ(zumo::FormFileRe(options, root / "folder.jpg"), RenameResult::Failed);
    }
    EXPECT_EQ(read_file(root / "a.png"), "target");
    EXPECT_EQ(tree_of(root.path()), (std::set<std::string>{"a.png", "folder.jpg/"}));
}

TEST_F(Rename, NoModeSelectedDoesNothing)
{
    write_file(root / "a.jpg", "x");
    options.RadioGroup3 = -1;
    EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), RenameResult::Skipped);
    options.RadioGroup3 = 0;
    options.RadioGroup4 = -1;
    EXPECT_EQ(zumo::FormFileRe(options, root / "a.jpg"), RenameResult::Skipped);
    EXPECT_EQ(tree_of(root.path()), (std::set<std::string>{"a.jpg"}));
}

TEST_F(Rename, MoveIntoTheOutputFolderOnAnotherFileSystem)
{
    TempFolder shm("/dev/shm");
    struct stat a
    {
    }, b{};
    if (!shm.ok() || ::stat(shm.path().c_str(), &a) != 0 || ::stat(root.path().c_str(), &b) != 0 ||
        a.st_dev == b.st_dev)
        GTEST_SKIP() << "needs /dev/shm and /tmp on different file systems";
    const std::string content(2 << 20, 'm');
    write_file(shm / "P.JPG", content);
    options.CheckBox8 = true;
    options.Edit8 = root.path();
    options.RadioGroup4 = 1;
    EXPECT_EQ(zumo::FormFileRe(options, shm / "P.JPG"), RenameResult::Done);
    EXPECT_EQ(read_file(root / "new0001.jpg"), content);
    EXPECT_TRUE(tree_of(shm.path()).empty());
}

} // namespace
