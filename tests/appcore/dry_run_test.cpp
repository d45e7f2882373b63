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
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
                               "move @gone.jpg: would fail: ファイルがありません"}},
                      DryCase{"NewExtensionCollides",
                              {"a.jpg", "a.gif", "b.jpg", "b.png"},
                              {"a.jpg", "a.gif", "b.jpg"},
                              rename_by(0, 1, "png"),
                              1,
                              {"copy @a.jpg -> @a.png",
                               "copy @a.gif: would fail: @a.png はこの処理で先に作ったファイルです",
                               "copy @b.jpg: would fail: @b.png があり, 上書きしない設定です"}},
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

// ---- hostile situations: the dry run's verdict is the run's, nothing is lost --

// A w x 1 24-bit BMP whose pixels are all of one grey.
void write_bmp_row(const fs::path& path, unsigned char width, unsigned char grey)
{
    const unsigned stride = (3u * width + 3u) & ~3u;
    std::string b = "BM";
    auto u32 = [&](unsigned v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    u32(54 + stride);
    u32(0);
    u32(54);
    u32(40);
    u32(width);
    u32(1);
    b += std::string("\x01\x00\x18\x00", 4);
    u32(0);
    u32(stride);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    b += std::string(3u * width, static_cast<char>(grey)) + std::string(stride - 3u * width, '\0');
    std::ofstream(path, std::ios::binary) << b;
}

std::string bytes_of(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void make_socket(const fs::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

std::string canonical_of(const std::string& path)
{
    return fs::weakly_canonical(fs::absolute(path)).string();
}

struct Hostile
{
    const char* label;
    std::function<void(const fs::path&)> make;
    std::vector<std::string> args; // relative to the folder the runs work in; "@x" absolute
    std::function<void(OptionSnapshot&)> set;
    std::vector<FileOutcome> verdicts; // per file, of both runs
    const char* why;                   // in the dry run's report and the run's reason
    std::vector<const char*> kept;     // files whose bytes both runs leave alone
};

void PrintTo(const Hostile& c, std::ostream* os)
{
    *os << c.label;
}

// What the run did with each file, and why the conversions failed.
class Verdicts : public RunObserver
{
public:
    Verdicts(RunObserver& host, const ConversionEngine& engine) : m_host(host), m_engine(engine) {}
    void FileStarted(const std::string& path) override { m_host.FileStarted(path); }
    void FileFinished(const std::string& path, std::optional<FileOutcome> outcome) override
    {
        m_host.FileFinished(path, outcome);
        outcomes.push_back(outcome.value_or(FileOutcome::Skipped));
        if (outcome == FileOutcome::Failed)
            reasons += m_engine.LastFailure() + "\n";
    }
    std::vector<FileOutcome> outcomes;
    std::string reasons;

private:
    RunObserver& m_host;
    const ConversionEngine& m_engine;
};

// The verdict of each line of a dry run, and the targets it names.
std::vector<FileOutcome> dry_verdicts(const std::string& out, std::set<std::string>& targets)
{
    std::vector<FileOutcome> verdicts;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.find(": would fail: ") != std::string::npos) {
            verdicts.push_back(FileOutcome::Failed);
        } else if (line.find(": would be skipped: ") != std::string::npos) {
            verdicts.push_back(FileOutcome::Skipped);
        } else if (const auto arrow = line.find(" -> "); arrow != std::string::npos) {
            verdicts.push_back(FileOutcome::Done);
            const auto end = line.find(" (replacing it)");
            targets.insert(canonical_of(line.substr(
                arrow + 4, end == std::string::npos ? std::string::npos : end - arrow - 4)));
        }
    }
    return verdicts;
}

class HostileFiles : public ::testing::TestWithParam<Hostile>
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-hostile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir);
    }

    fs::path dir;
};

TEST_P(HostileFiles, DryRunAndRunAgreeAndNothingIsLost)
{
    const Hostile& c = GetParam();
    const fs::path saved = fs::current_path();
    fs::current_path(dir); // "a.jpg" and "@a.jpg" name one file
    c.make(dir);
    std::map<std::string, std::string> kept;
    for (const char* name : c.kept)
        kept[name] = bytes_of(dir / name);
    std::vector<std::string> files;
    for (const std::string& a : c.args)
        files.push_back(a.starts_with("@") ? at(dir, a.substr(1)) : a);
    test::FakeOptions options;
    c.set(options.snapshot);

    const std::set<std::string> before = tree(dir);
    std::ostringstream out;
    const int dry_status = DryRun(files, options.snapshot, out);
    EXPECT_EQ(tree(dir), before) << "the dry run changed the folder";
    std::set<std::string> planned;
    EXPECT_EQ(dry_verdicts(out.str(), planned), c.verdicts) << out.str();
    EXPECT_NE(out.str().find(c.why), std::string::npos) << out.str();

    std::ostringstream err;
    HeadlessUserHost host{err, [] { return false; }};
    ConversionEngine engine{options, host};
    EngineFileProcessor processor{engine, options};
    Verdicts verdicts{host, engine};
    test::Log log;
    test::FakeApp app{log};
    RunContext ctx{options, host, processor, {}, &verdicts};
    const RunSummary summary = FormShowRun(files, ctx, app, {CaseRule::Keep, Session::Headless});
    fs::current_path(saved);
    EXPECT_EQ(verdicts.outcomes, c.verdicts) << err.str();
    EXPECT_EQ(exit_status(summary), dry_status);
    if (options.snapshot.RadioGroup10 == 0) {
        EXPECT_NE(verdicts.reasons.find(c.why), std::string::npos) << verdicts.reasons;
    }
    for (const auto& [name, bytes] : kept)
        EXPECT_EQ(bytes_of(dir / name), bytes) << name << " was changed";
    // The run made the files the plan names, and no others.
    for (const std::string& target : planned)
        EXPECT_TRUE(fs::exists(target)) << target;
    for (const std::string& entry : tree(dir)) {
        if (!before.contains(entry) && !entry.ends_with("/")) {
            EXPECT_TRUE(planned.contains(canonical_of(at(dir, entry)))) << entry;
        }
    }
}

void beside_as_bmp(OptionSnapshot& o)
{
    o.CheckBox6 = false;
    o.RadioGroup1 = 0;
}

auto rename_over(int naming, const char* ext)
{
    return [=](OptionSnapshot& o) {
        rename_by(0, naming, ext)(o);
        o.CheckBox4 = true;
    };
}

const auto F = FileOutcome::Failed;
const auto D = FileOutcome::Done;

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileFiles,
    ::testing::Values(
        Hostile{"PendingInputOfAConversion",
                [](const fs::path& d) {
                    write_bmp_row(d / "a.png", 1, 0x20); // a BMP named .png: read by content
                    write_bmp_row(d / "a.bmp", 2, 0x90);
                },
                {"a.png", "a.bmp"},
                beside_as_bmp,
                {F, D},
                "はこの処理でこれから読む入力ファイルです",
                {"a.png", "a.bmp"}},
        Hostile{"PendingInputOfARename",
                [](const fs::path& d) {
                    std::ofstream(d / "a.jpg") << "jpg";
                    std::ofstream(d / "a.png") << "png";
                },
                {"a.jpg", "a.png"},
                rename_over(1, "png"),
                {F, F},
                "はこの処理でこれから読む入力ファイルです",
                {"a.jpg", "a.png"}},
        Hostile{"ReadOnlyConversionOutput",
                [](const fs::path& d) {
                    write_bmp_row(d / "p.bmp", 2, 0x40);
                    fs::create_directory(d / "resize");
                    write_bmp_row(d / "resize/p.bmp", 1, 0x70);
                    fs::permissions(d / "resize/p.bmp", fs::perms::owner_read |
                                                            fs::perms::group_read |
                                                            fs::perms::others_read);
                },
                {"p.bmp"},
                [](OptionSnapshot&) {},
                {F},
                "は読み取り専用です",
                {"resize/p.bmp"}},
        Hostile{"ReadOnlyRenameTarget",
                [](const fs::path& d) {
                    std::ofstream(d / "a.jpg") << "jpg";
                    std::ofstream(d / "a.png") << "png";
                    fs::permissions(d / "a.png", fs::perms::owner_read);
                },
                {"a.jpg"},
                rename_over(1, "png"),
                {F},
                "は読み取り専用です",
                {"a.png"}},
        Hostile{"FifoAsInput",
                [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "p.bmp").c_str(), 0600), 0); },
                {"p.bmp"},
                [](OptionSnapshot&) {},
                {F},
                "名前付きパイプです",
                {}},
        Hostile{"SocketAsInputOfARename",
                [](const fs::path& d) { make_socket(d / "s.jpg"); },
                {"s.jpg"},
                rename_by(1),
                {F},
                "ソケットです",
                {}},
        Hostile{"FolderAsInput",
                [](const fs::path& d) { fs::create_directory(d / "d.bmp"); },
                {"d.bmp"},
                [](OptionSnapshot&) {},
                {F},
                "フォルダです (ファイルではありません)",
                {}},
        Hostile{"DeviceLinkAsInput",
                [](const fs::path& d) { fs::create_symlink("/dev/null", d / "null.bmp"); },
                {"null.bmp"},
                [](OptionSnapshot&) {},
                {F},
                "デバイスです",
                {}},
        Hostile{"OutputNameOver255Bytes",
                [](const fs::path& d) { write_bmp_row(d / (std::string(253, 'n') + ".b"), 1, 0); },
                {std::string(253, 'n') + ".b"},
                beside_as_bmp,
                {F},
                "255 バイトを超えています",
                {}},
        Hostile{"PlainFileWhereTheSubfolderGoes",
                [](const fs::path& d) {
                    write_bmp_row(d / "p.bmp", 1, 0);
                    std::ofstream(d / "resize") << "a file";
                },
                {"p.bmp"},
                [](OptionSnapshot&) {},
                {F},
                "を作れません",
                {"resize"}},
        Hostile{"FolderAtTheOutputPath",
                [](const fs::path& d) {
                    write_bmp_row(d / "p.jpg", 1, 0);
                    fs::create_directory(d / "p.bmp");
                },
                {"p.jpg"},
                beside_as_bmp,
                {F},
                "はフォルダです",
                {}},
        Hostile{"OneFolderSpelledTwoWays",
                [](const fs::path& d) {
                    std::ofstream(d / "a.jpg") << "a";
                    std::ofstream(d / "b.jpg") << "b";
                },
                {"a.jpg", "@b.jpg"},
                rename_by(0),
                {D, D},
                "",
                {"a.jpg", "b.jpg"}}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return info.param.label; });

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
