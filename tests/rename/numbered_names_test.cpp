// NumberedNames against the plain search from 0001 (MakeNumberedName) on
// randomized folder states: gaps, several leads and extensions, names in
// other letter case, folders and dangling links among the numbers, files
// that others add meanwhile, numbers the run itself frees by moving files
// away, and the end of the numbers ("FULL").
#include "rename/FileRename.h"
#include "rename/NumberedNames.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::TempFolder;

struct Series
{
    std::string lead;
    std::string ext; // as typed: with or without its dot
};

std::string numbered(const std::string& folder, const Series& s, int n)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%.04d", n);
    const std::string ext = s.ext.empty() || s.ext[0] == '.' ? s.ext : "." + s.ext;
    return folder + s.lead + digits + ext;
}

void touch(const std::string& path)
{
    std::ofstream(path, std::ios::binary) << path;
}

class RandomizedFolders : public ::testing::TestWithParam<unsigned>
{
};

TEST_P(RandomizedFolders, SameNamesAsTheSearchFromTheStart)
{
    TempFolder root;
    ASSERT_TRUE(root.ok());
    root.folder("sub");
    const std::string sub = root / "sub/";
    const std::vector<Series> series{
        {"new", "jpg"}, {"new", ".png"}, {"IMG_", ""}, {"sub/x", "jpg"}};
    std::mt19937 random(GetParam());
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto any_number = [&] { return 1 + static_cast<int>(random() % 48); };
    const std::vector<std::string> folders{root.path(), sub};

    // A random start: gaps everywhere, and names that only look taken.
    for (const std::string& folder : folders) {
        for (const Series& s : series) {
            const int density = static_cast<int>(random() % 100);
            for (int n = 1; n <= 48; ++n) {
                if (chance(density))
                    touch(numbered(folder, s, n));
            }
        }
        ::mkdir(numbered(folder, series[0], any_number()).c_str(), 0777); // a folder takes none
        ::symlink("nowhere", numbered(folder, series[1], any_number()).c_str()); // a link does
        touch(folder + "NEW" + std::to_string(1000 + any_number()).substr(1) + ".JPG");
    }

    zumo::NumberedNames names;
    for (int step = 0; step < 200; ++step) {
        const std::string& folder = folders[random() % folders.size()];
        const Series& s = series[random() % series.size()];
        const std::string expected = zumo::MakeNumberedName(folder, s.lead, s.ext);
        ASSERT_EQ(names.Next(folder, s.lead, s.ext), expected) << "step " << step;
        const int action = static_cast<int>(random() % 100);
        if (action < 50) {
            touch(expected); // the run's copy
        } else if (action < 60) {
            // the copy failed: nothing changes
        } else if (action < 75) {
            touch(numbered(folder, series[random() % series.size()], any_number())); // others
        } else {
            // The run moves a numbered file away, perhaps one of another series.
            const std::string gone = numbered(folders[random() % folders.size()],
                                              series[random() % series.size()], any_number());
            if (::unlink(gone.c_str()) == 0)
                names.Freed(chance(50) ? gone : root / "sub/../" + gone.substr(root.path().size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomizedFolders, ::testing::Range(1u, 17u));

TEST(NumberedNames, FullUntilTheRunFreesANumberAndTheSearchCostStaysFlat)
{
    TempFolder root;
    ASSERT_TRUE(root.ok());
    for (int n = 1; n <= 9999; ++n)
        touch(numbered(root.path(), {"new", "jpg"}, n));
    int tests = 0;
    zumo::NumberedNames names([&](const std::string& path) {
        ++tests;
        return platform::non_folder_exists(path);
    });
    EXPECT_EQ(names.Next(root.path(), "new", "jpg"), root / "newFULL.jpg");
    EXPECT_EQ(names.Next(root.path(), "new", ".jpg"), root / "newFULL.jpg");
    EXPECT_EQ(tests, 9999); // the second search starts where the first ended

    ASSERT_EQ(::unlink((root / "new0042.jpg").c_str()), 0);
    names.Freed(root / "NEW0042.JPG"); // as a file system that ignores case names it
    EXPECT_EQ(names.Next(root.path(), "new", "jpg"), root / "new0042.jpg");
    EXPECT_EQ(zumo::MakeNumberedName(root.path(), "new", "jpg"), root / "new0042.jpg");
}

// A whole run through FormFileRe, moving and copying files that carry
// numbers themselves, against the same steps where every file searches from
// 0001 afresh; both folders must look the same after every file.
std::set<std::string> names_in(const std::string& folder)
{
    std::set<std::string> out;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* ent = ::readdir(dir))
            out.insert(ent->d_name);
        ::closedir(dir);
    }
    return out;
}

TEST(NumberedRun, MovesAndCopiesLeaveTheSameFolderAsSearchingAfresh)
{
    for (unsigned seed = 1; seed <= 8; ++seed) {
        TempFolder run_folder;
        TempFolder fresh_folder;
        ASSERT_TRUE(run_folder.ok() && fresh_folder.ok());
        std::mt19937 random(seed);
        std::vector<std::string> sources;
        for (int i = 0; i < 40; ++i) {
            const std::string name = random() % 2 ? numbered("", {"new", "jpg"}, 1 + i)
                                                  : "p" + std::to_string(i) + ".jpg";
            sources.push_back(name);
            if (random() % 3) {
                touch(run_folder / name);
                touch(fresh_folder / name);
            }
        }
        zumo::RenameRun run;
        for (int step = 0; step < 60; ++step) {
            zumo::OptionSnapshot options;
            options.RadioGroup4 = static_cast<int>(random() % 2); // copy or move
            options.RadioGroup3 = random() % 2 ? 0 : 2;
            options.Edit6 = "jpg";
            const std::string& source = sources[random() % sources.size()];
            const auto in_run = zumo::FormFileRe(options, run_folder / source, &run);
            const auto afresh = zumo::FormFileRe(options, fresh_folder / source);
            ASSERT_EQ(in_run, afresh) << "seed " << seed << " step " << step << " " << source;
            ASSERT_EQ(names_in(run_folder.path()), names_in(fresh_folder.path()))
                << "seed " << seed << " step " << step << " " << source;
        }
    }
}

} // namespace

namespace {

// A bare name is a file of the working folder, and so is its new name.
TEST(NumberedRun, BareNamesAreNumberedInTheWorkingFolder)
{
    TempFolder root;
    ASSERT_TRUE(root.ok());
    const std::string home = std::filesystem::current_path().string();
    ASSERT_EQ(::chdir(root.path().c_str()), 0);
    touch("a.jpg");
    touch("new0001.jpg");
    zumo::OptionSnapshot options;
    options.RadioGroup4 = 1; // move
    zumo::RenameRun run;
    const auto result = zumo::FormFileRe(options, "a.jpg", &run);
    const bool moved = platform::file_exists("new0002.jpg") && !platform::file_exists("a.jpg");
    ASSERT_EQ(::chdir(home.c_str()), 0);
    EXPECT_EQ(result, zumo::RenameResult::Done);
    EXPECT_TRUE(moved);
}

} // namespace
