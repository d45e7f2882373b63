// zumo --dry-run against the real run: for each case the dry run must leave
// the folder as it was, and its plan must be what the real run then does:
// the same new files, the same sources moved away, the same exit status.
#include "app/core/CommandLine.h"
#include "app/core/DryRun.h"
#include "app/core/EngineFiles.h"
#include "app/core/HeadlessHost.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace zumo;

// Every entry below dir, folders ending with "/".
std::set<std::string> tree(const fs::path& dir)
{
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out.insert(fs::relative(e.path(), dir).string() + (e.is_directory() ? "/" : ""));
    return out;
}

// A 1 x 1 24-bit BMP.
void write_bmp(const fs::path& path)
{
    const unsigned char bytes[] = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                   0,   0,   0,  1, 0, 0, 0, 1, 0, 0, 0,  1, 0, 24, 0,
                                   0,   0,   0,  0, 4, 0, 0, 0, 0, 0, 0,  0, 0, 0,  0,
                                   0,   0,   0,  0, 0, 0, 0, 0, 0, 9, 8,  7, 0};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

struct DryCase
{
    const char* label;
    std::vector<const char*> present; // files there before; "*.bmp" are pictures
    std::vector<const char*> args;    // command-line files, relative to the folder
    std::function<void(OptionSnapshot&)> set;
    int status;                     // what both runs end with
    std::vector<const char*> lines; // the dry run's lines, "@" standing for the folder
};

void PrintTo(const DryCase& c, std::ostream* os)
{
    *os << c.label;
}

class DryRunPlan : public ::testing::TestWithParam<DryCase>
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-dry-run-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

std::string at(const fs::path& dir, const std::string& rel)
{
    return (dir / rel).string();
}

TEST_P(DryRunPlan, ChangesNothingAndIsWhatTheRealRunDoes)
{
    const DryCase& c = GetParam();
    for (const std::string name : c.present) {
        fs::create_directories((dir / name).parent_path());
        if (name.ends_with(".bmp"))
            write_bmp(dir / name);
        else
            std::ofstream(dir / name) << name;
    }
    std::vector<std::string> files;
    for (const char* a : c.args)
        files.push_back(at(dir, a));
    test::FakeOptions options;
    c.set(options.snapshot);

    const std::set<std::string> before = tree(dir);
    std::ostringstream out;
    EXPECT_EQ(DryRun(files, options.snapshot, out), c.status);
    EXPECT_EQ(tree(dir), before) << "the dry run changed the folder";
    std::string expected;
    for (std::string line : c.lines) {
        for (auto p = line.find('@'); p != std::string::npos; p = line.find('@'))
            line.replace(p, 1, dir.string() + "/");
        expected += line + "\n";
    }
    EXPECT_EQ(out.str(), expected);

    // The real run, without a display, over the same files.
    test::Log log;
    std::ostringstream err;
    HeadlessUserHost host{err, [] { return false; }};
    ConversionEngine engine{options, host};
    EngineFileProcessor processor{engine, options};
    test::FakeApp app{log};
    RunContext ctx{options, host, processor, {}, &host};
    const RunSummary summary = FormShowRun(files, ctx, app, {CaseRule::Keep, Session::Headless});
    EXPECT_EQ(exit_status(summary), c.status);
    // Every "-> TARGET" of the plan is there now; every moved source gone.
    std::set<std::string> made;
    for (std::string line : c.lines) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        const std::string target = line.substr(arrow + 4, line.find(" (") - arrow - 4);
        made.insert(target.substr(1));
        EXPECT_TRUE(fs::exists(at(dir, target.substr(1)))) << target;
        if (line.starts_with("move ")) {
            EXPECT_FALSE(fs::exists(at(dir, line.substr(5, arrow - 5)))) << line;
        }
    }
    for (const std::string& entry : tree(dir)) {
        if (!before.contains(entry) && !entry.ends_with("/")) {
            EXPECT_TRUE(made.contains(entry)) << entry << " was made but not planned";
        }
    }
}

auto rename_by(int transfer, int naming = 0, const char* ext = "")
{
    return [=](OptionSnapshot& o) {
        o.RadioGroup10 = 2;
        o.RadioGroup4 = transfer;
        o.RadioGroup3 = naming;
        o.Edit6 = ext;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DryRunPlan,
    ::testing::Values(DryCase{"CopiesFillGapsAndCountOnPerExtension",
                              {"new0001.jpg", "new0003.jpg", "a.jpg", "b.jpg", "c.png", "d.jpg"},
                              {"a.jpg", "b.jpg", "c.png", "d.jpg"},
                              rename_by(0),
                              0,
                              {"copy @a.jpg -> @new0002.jpg", "copy @b.jpg -> @new0004.jpg",
                               "copy @c.png -> @new0001.png", "copy @d.jpg -> @new0005.jpg"}},
                      DryCase{"MovedNumbersAreFreeAgain",
                              {"new0001.jpg", "new0002.jpg", "x.jpg"},
                              {"new0001.jpg", "x.jpg", "gone.jpg"},
                              rename_by(1),
                              1,
                              {"move @new0001.jpg -> @new0003.jpg", "move @x.jpg -> @new0001.jpg",
                               "move @gone.jpg: would fail: no such file"}},
                      DryCase{"NewExtensionCollides",
                              {"a.jpg", "a.gif", "b.jpg", "b.png"},
                              {"a.jpg", "a.gif", "b.jpg"},
                              rename_by(0, 1, "png"),
                              1,
                              {"copy @a.jpg -> @a.png",
                               "copy @a.gif: would fail: @a.png was made earlier in this run",
                               "copy @b.jpg: would fail: @b.png exists and overwriting is off"}},
                      DryCase{"IntoTheRenameSubfolder",
                              {"p.jpg", "q.jpg"},
                              {"p.jpg", "q.jpg"},
                              [](OptionSnapshot& o) {
                                  rename_by(1)(o);
                                  o.CheckBox2 = true;
                              },
                              0,
                              {"move @p.jpg -> @rename/new0001.jpg",
                               "move @q.jpg -> @rename/new0002.jpg"}},
                      DryCase{"ConversionsIntoTheResizeFolder",
                              {"a.bmp", "notes.txt", "c.bmp", "resize/c.png"},
                              {"a.bmp", "notes.txt", "c.bmp"},
                              [](OptionSnapshot& o) { o.RadioGroup1 = 1; },
                              1,
                              {"convert @a.bmp -> @resize/a.png",
                               "convert @notes.txt: would fail: not a picture it reads",
                               "convert @c.bmp -> @resize/c.png (replacing it)"}},
                      DryCase{"GifModeStopsAtAFileThatIsNoGif",
                              {"a.bmp", "b.bmp"},
                              {"b.bmp", "a.bmp"},
                              [](OptionSnapshot& o) { o.RadioGroup10 = 1; },
                              2,
                              {"gif @b.bmp: not a GIF: the run would stop here"}},
                      DryCase{"NoDropMode",
                              {"a.jpg"},
                              {"a.jpg"},
                              [](OptionSnapshot& o) { o.RadioGroup10 = -1; },
                              1,
                              {"none @a.jpg: would be skipped: no drop mode selected"}}),
    [](const ::testing::TestParamInfo<DryCase>& info) { return info.param.label; });

TEST(StoredOptions, ReadsTheSettingsFileAsTheWindowDoes)
{
    std::string pattern = (fs::temp_directory_path() / "zumo-dry-ini-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path ini = fs::path(pattern) / "zumo.ini";
    std::ofstream(ini) << "[Form1]\nRadioGroup10.ItemIndex=2\nRadioGroup7.ItemIndex=0\n"
                          "Edit5.Text=photo\nRadioGroup4.ItemIndex=1\n";
    const OptionSnapshot read = StoredOptions(ini.string());
    const OptionSnapshot designed = StoredOptions((fs::path(pattern) / "missing.ini").string());
    fs::remove_all(pattern);
    EXPECT_EQ(read.RadioGroup10, 2);
    EXPECT_EQ(read.Edit5, "photo");
    EXPECT_EQ(read.RadioGroup4, 1);
    EXPECT_EQ(read.TurnAngle, turn_angle_for(0, 0));
    EXPECT_NE(read.TurnAngle, designed.TurnAngle);
    EXPECT_EQ(designed.RadioGroup10, OptionSnapshot{}.RadioGroup10);
    EXPECT_EQ(designed.Edit7, "resize");
}

} // namespace
