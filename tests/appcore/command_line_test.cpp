#include "app/core/CommandLine.h"
#include "app/core/HeadlessHost.h"
#include "app/core/StopSignals.h"
#include "tests/support/scoped_env.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace zumo;
using platform::PathStyle;
using zumo::test::Log;
using zumo::test::RunRig;

// ---- arguments ------------------------------------------------------------

struct ParseCase
{
    std::vector<std::string> args;
    CommandAction action;
    std::vector<std::string> files;
    bool dry_run = false;
    int jobs = 0;
};

class ParseArguments : public ::testing::TestWithParam<ParseCase>
{
};

TEST_P(ParseArguments, SeparatesOptionsFromFiles)
{
    const ParsedCommandLine parsed = ParseCommandLine(GetParam().args);
    EXPECT_EQ(parsed.action, GetParam().action);
    EXPECT_EQ(parsed.files, GetParam().files);
    EXPECT_EQ(parsed.dry_run, GetParam().dry_run);
    EXPECT_EQ(parsed.jobs, GetParam().jobs);
    EXPECT_EQ(parsed.error.empty(), parsed.action != CommandAction::UsageError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseArguments,
    ::testing::Values(
        ParseCase{{}, CommandAction::Run, {}},
        ParseCase{{"a.jpg", "B.PNG"}, CommandAction::Run, {"a.jpg", "B.PNG"}},
        ParseCase{{"a.jpg", "--help"}, CommandAction::Help, {}},
        ParseCase{{"-h"}, CommandAction::Help, {}},
        ParseCase{{"--version", "a.jpg"}, CommandAction::Version, {}},
        ParseCase{{"a.jpg", "--list-plugins"}, CommandAction::ListPlugins, {}},
        ParseCase{{"--", "--list-plugins"}, CommandAction::Run, {"--list-plugins"}},
        ParseCase{{"--list-plugin"}, CommandAction::UsageError, {}},
        ParseCase{{"--", "--help", "-h", "--"}, CommandAction::Run, {"--help", "-h", "--"}},
        ParseCase{{"-", "-x.jpg"}, CommandAction::Run, {"-", "-x.jpg"}},
        ParseCase{{"a.jpg", "--bogus"}, CommandAction::UsageError, {}},
        ParseCase{{"a.jpg", "--dry-run", "b.jpg"}, CommandAction::Run, {"a.jpg", "b.jpg"}, true},
        ParseCase{{"--dry-run", "--", "--dry-run"}, CommandAction::Run, {"--dry-run"}, true},
        ParseCase{{"--dry-run"}, CommandAction::UsageError, {}},
        ParseCase{{"--dry-run", "--help"}, CommandAction::Help, {}},
        // The undo takes no file, and a dry run of it stays a dry run.
        ParseCase{{"--undo"}, CommandAction::Undo, {}},
        ParseCase{{"--dry-run", "--undo"}, CommandAction::Undo, {}, true},
        ParseCase{{"--undo", "--dry-run"}, CommandAction::Undo, {}, true},
        ParseCase{{"--undo", "a.jpg"}, CommandAction::UsageError, {}},
        ParseCase{{"a.jpg", "--undo"}, CommandAction::UsageError, {}},
        ParseCase{{"--undo", "--", "-x"}, CommandAction::UsageError, {}},
        ParseCase{{"--undo", "--list-plugins"}, CommandAction::UsageError, {}},
        ParseCase{{"--undo", "--help"}, CommandAction::Help, {}},
        // --jobs N or --jobs=N, N from 1; anything else is a usage error.
        ParseCase{{"--jobs", "3", "a.jpg"}, CommandAction::Run, {"a.jpg"}, false, 3},
        ParseCase{{"a.jpg", "--jobs=1"}, CommandAction::Run, {"a.jpg"}, false, 1},
        ParseCase{{"--", "--jobs", "2"}, CommandAction::Run, {"--jobs", "2"}},
        ParseCase{{"--jobs", "0", "a.jpg"}, CommandAction::UsageError, {}},
        ParseCase{{"--jobs=-2", "a.jpg"}, CommandAction::UsageError, {}},
        ParseCase{{"--jobs", "2x", "a.jpg"}, CommandAction::UsageError, {}},
        ParseCase{{"--jobs=", "a.jpg"}, CommandAction::UsageError, {}},
        ParseCase{{"a.jpg", "--jobs"}, CommandAction::UsageError, {}}));

TEST(CommandLineTexts, UsageAndVersionNameTheProgram)
{
    EXPECT_EQ(VersionText(), "zumo 0.6");
    const std::string usage = UsageText("zumo");
    EXPECT_EQ(usage.rfind("Usage: zumo ", 0), 0u);
    EXPECT_NE(usage.find("--"), std::string::npos);
}

// ---- file type and case ---------------------------------------------------

struct TypeCase
{
    const char* path;
    PathStyle style;
    int type;
};

class FileType : public ::testing::TestWithParam<TypeCase>
{
};

TEST_P(FileType, FollowsTheLastExtensionOfTheFileName)
{
    EXPECT_EQ(ImageFileType(GetParam().path, GetParam().style), GetParam().type) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileType,
    ::testing::Values(
        TypeCase{"/p/a.jpg", PathStyle::Posix, 0}, TypeCase{"/p/a.JPEG", PathStyle::Posix, 0},
        TypeCase{"/p/a.Bmp", PathStyle::Posix, 1}, TypeCase{"/p/a.png", PathStyle::Posix, 2},
        TypeCase{"/p/a.GIF", PathStyle::Posix, 3}, TypeCase{"/p/a.txt", PathStyle::Posix, 4},
        TypeCase{"/p/a.webp", PathStyle::Posix, 5}, TypeCase{"/p/a.TIF", PathStyle::Posix, 5},
        TypeCase{"/p/a.tiff", PathStyle::Posix, 5}, TypeCase{"/p/a.Heic", PathStyle::Posix, 5},
        TypeCase{"/p/a.heif", PathStyle::Posix, 5}, TypeCase{"/p/a.avif", PathStyle::Posix, 5},
        TypeCase{"/p/a.jxl", PathStyle::Posix, 5}, TypeCase{"/p/a.tiffx", PathStyle::Posix, 4},
        TypeCase{"/p/a.gif.txt", PathStyle::Posix, 4}, TypeCase{"/p/a.jpgx", PathStyle::Posix, 4},
        TypeCase{"/p/noext", PathStyle::Posix, 4}, TypeCase{"/p/a.", PathStyle::Posix, 4},
        TypeCase{"/p.gif/noext", PathStyle::Posix, 4},
        TypeCase{"C:\\p.gif\\noext", PathStyle::Windows, 4},
        TypeCase{"C:\\Pics\\Photo.JPG", PathStyle::Windows, 0},
        TypeCase{"C:a.png", PathStyle::Windows, 2}));

struct CaseCase
{
    const char* argument;
    CaseRule rule;
    PathStyle style;
    const char* handed_on;
};

class ArgumentCase : public ::testing::TestWithParam<CaseCase>
{
};

TEST_P(ArgumentCase, IsLoweredOnlyWhereNamesIgnoreCase)
{
    const CaseCase& p = GetParam();
    EXPECT_EQ(command_line_path(p.argument, p.rule, p.style), p.handed_on);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentCase,
    ::testing::Values(
        CaseCase{"C:\\Pics\\Photo.JPG", CaseRule::Lower, PathStyle::Windows, "c:\\pics\\photo.jpg"},
        CaseCase{"/Pics/Photo.JPG", CaseRule::Keep, PathStyle::Posix, "/Pics/Photo.JPG"},
        // Shift-JIS "ア" is 0x83 0x41: its trail byte is an "A" that stays.
        CaseCase{"C:\\\x83\x41X.JPG", CaseRule::Lower, PathStyle::Windows, "c:\\\x83\x41x.jpg"},
        CaseCase{"/\xC3\x84X.JPG", CaseRule::Lower, PathStyle::Posix, "/\xC3\x84x.jpg"}));

// ---- the run --------------------------------------------------------------

struct RunCase
{
    const char* name;
    std::vector<std::string> files;
    int drop_mode;
    int end_signal; // RadioGroup9
    Session session;
    int cancel_at; // SetProgress position that cancels; 0: none
    std::vector<std::string> failing;
    Log expected;
};

class FormShow : public ::testing::TestWithParam<RunCase>
{
};

TEST_P(FormShow, RunsTheFilesAsTheDropModeSays)
{
    const RunCase& p = GetParam();
    RunRig rig;
    rig.options.snapshot.RadioGroup10 = p.drop_mode;
    rig.options.snapshot.RadioGroup9 = p.end_signal;
    if (p.cancel_at > 0)
        rig.host.cancel_at = [&](int, int position) { return position == p.cancel_at; };
    for (const std::string& f : p.failing)
        rig.files.outcomes[f] = FileOutcome::Failed;
    FormShowRun(p.files, rig.ctx, rig.app, {CaseRule::Keep, p.session});
    EXPECT_EQ(rig.log, p.expected);
}

const Log k_start{"title 処理中", "minimize", "show 変換中です", "caption Zumo変換"};

Log with_start(Log tail)
{
    Log log = k_start;
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormShow,
    ::testing::Values(
        RunCase{
            "NoFiles", {}, 0, 0, Session::Interactive, 0, {}, {"title Zumo変換", "enable rule"}},
        RunCase{"NoFilesHeadless",
                {},
                0,
                0,
                Session::Headless,
                0,
                {},
                {"title Zumo変換", "enable rule", "terminate 2"}},
        // Mode 0 hands every file over, a text file included; its failure
        // does not stop the run. The bar shows k/n before file k.
        RunCase{"ConvertEveryFile",
                {"a.jpg", "notes.txt", "c.png"},
                0,
                0,
                Session::Interactive,
                0,
                {"notes.txt"},
                with_start({"progress 変換中です 3 1", "image a.jpg", "progress 変換中です 3 2",
                            "image notes.txt", "progress 変換中です 3 3", "image c.png", "release",
                            "beep", "terminate 1", "enable rule"})},
        RunCase{"SingleFileAtFullBar",
                {"a.jpg"},
                0,
                1,
                Session::Interactive,
                0,
                {},
                with_start({"progress 変換中です 1 1", "image a.jpg", "release", "terminate 0",
                            "enable rule"})},
        // Mode 1 ends at the first file that is not a GIF: no beep, the
        // program stays open (interactive) or ends with 2 (headless).
        RunCase{"GifModeStopsAtNonGif",
                {"a.gif", "b.png", "c.gif"},
                1,
                0,
                Session::Interactive,
                0,
                {},
                with_start({"progress 変換中です 3 1", "gif a.gif", "progress 変換中です 3 2",
                            "release"})},
        RunCase{"GifModeStopsAtNonGifHeadless",
                {"a.gif", "b.png", "c.gif"},
                1,
                0,
                Session::Headless,
                0,
                {},
                with_start({"progress 変換中です 3 1", "gif a.gif", "progress 変換中です 3 2",
                            "release", "terminate 2"})},
        RunCase{"RenameEveryFile",
                {"a.txt", "b.jpg"},
                2,
                1,
                Session::Interactive,
                0,
                {},
                with_start({"progress 変換中です 2 1", "rename a.txt", "progress 変換中です 2 2",
                            "rename b.jpg", "release", "terminate 0", "enable rule"})},
        // No mode selected: nothing processed, yet dialog, signal and end.
        RunCase{"NoModeSelected",
                {"a.jpg", "b.jpg"},
                -1,
                0,
                Session::Interactive,
                0,
                {},
                with_start({"progress 変換中です 2 1", "progress 変換中です 2 2", "release", "beep",
                            "terminate 1", "enable rule"})},
        RunCase{"CancelLeavesTheProgramOpen",
                {"a.jpg", "b.jpg", "c.jpg"},
                0,
                0,
                Session::Interactive,
                2,
                {},
                with_start({"progress 変換中です 3 1", "image a.jpg", "progress 変換中です 3 2",
                            "release"})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormShowRun, ArgumentsAreLoweredUnderTheLowerRule)
{
    RunRig rig;
    FormShowRun({"C:\\Pics\\Photo.JPG"}, rig.ctx, rig.app, {CaseRule::Lower, Session::Interactive});
    EXPECT_NE(std::find(rig.log.begin(), rig.log.end(), "image c:\\pics\\photo.jpg"),
              rig.log.end());
}

TEST(FormShowRun, AStopRequestEndsAfterTheFileInProgress)
{
    RunRig rig;
    rig.options.snapshot.RadioGroup9 = 0;
    rig.files.during = [&](const std::string&) { rig.stop = true; };
    const RunSummary summary =
        FormShowRun({"a.jpg", "b.jpg"}, rig.ctx, rig.app, {CaseRule::Keep, Session::Interactive});
    EXPECT_EQ(rig.log, with_start({"progress 変換中です 2 1", "image a.jpg",
                                   "progress 変換中です 2 2", "release", "terminate 2"}));
    EXPECT_EQ(summary.end, RunEnd::Interrupted);
    EXPECT_EQ(exit_status(summary), 2);
}

TEST(FormShowRun, ADropModeChangedDuringTheRunAppliesFromTheNextFile)
{
    RunRig rig;
    rig.files.during = [&](const std::string&) { rig.options.snapshot.RadioGroup10 = 2; };
    FormShowRun({"a.jpg", "b.jpg"}, rig.ctx, rig.app);
    EXPECT_NE(std::find(rig.log.begin(), rig.log.end(), "image a.jpg"), rig.log.end());
    EXPECT_NE(std::find(rig.log.begin(), rig.log.end(), "rename b.jpg"), rig.log.end());
}

TEST(FormShowRun, SummaryCountsWhatWasNotProcessed)
{
    RunRig rig;
    rig.files.outcomes["b.jpg"] = FileOutcome::Skipped;
    rig.files.outcomes["c.jpg"] = FileOutcome::Failed;
    RunSummary summary = FormShowRun({"a.jpg", "b.jpg", "c.jpg"}, rig.ctx, rig.app);
    EXPECT_EQ(summary.done, 1);
    EXPECT_EQ(summary.unprocessed, 2);
    EXPECT_EQ(exit_status(summary), 1);

    summary = RunSummary{RunEnd::Completed, 2, 2, 0};
    EXPECT_EQ(exit_status(summary), 0);
    summary.end = RunEnd::Cancelled;
    EXPECT_EQ(exit_status(summary), 2);
    summary.end = RunEnd::StoppedAtNonGif;
    EXPECT_EQ(exit_status(summary), 2);
}

// ---- without a display ----------------------------------------------------

TEST(HeadlessUserHost, QuestionsTakeTheAnswerThatSkips)
{
    std::ostringstream err;
    HeadlessUserHost host(err, [] { return false; });
    host.FileStarted("/p/a.jpg");
    EXPECT_EQ(host.Ask("確認", "フォルダが指定されていません.処理を中断しますか?", Buttons::YesNo),
              Answer::Yes);
    EXPECT_EQ(host.Ask("確認", "3個のファイルを処理します. よろしいですか?", Buttons::OkCancel),
              Answer::Cancel);
    EXPECT_EQ(err.str(),
              "zumo: /p/a.jpg: 確認: フォルダが指定されていません.処理を中断しますか? -> はい(&Y)\n"
              "zumo: /p/a.jpg: 確認: 3個のファイルを処理します. よろしいですか? -> キャンセル\n");
}

TEST(HeadlessUserHost, ProgressCancelsOnAStopRequest)
{
    std::ostringstream err;
    bool stop = false;
    int pumped = 0;
    HeadlessUserHost host(
        err, [&] { return stop; }, [&] { ++pumped; });
    const auto dialog = host.ShowProgress("変換中です");
    dialog->SetProgress("変換中です", 3, 1);
    host.ProcessMessages();
    EXPECT_EQ(pumped, 2);
    EXPECT_FALSE(dialog->Cancelled());
    stop = true;
    EXPECT_TRUE(dialog->Cancelled());
    EXPECT_TRUE(err.str().empty());
}

// A headless run end to end: the operation's failure message names the
// file, the stop at a non-GIF says where.
TEST(HeadlessUserHost, NamesTheFileOfEveryMessage)
{
    std::ostringstream err;
    Log log;
    test::FakeOptions options;
    options.snapshot.RadioGroup10 = 1;
    HeadlessUserHost host(err, [] { return false; });
    test::FakeFiles files(log);
    files.outcomes["/p/bad.gif"] = FileOutcome::Failed;
    files.during = [&](const std::string& path) {
        if (path == "/p/bad.gif")
            host.ShowMessage("画像を処理できません");
    };
    test::FakeApp app(log);
    RunContext ctx{options, host, files, {}, &host};
    const RunSummary summary = FormShowRun({"/p/bad.gif", "/p/ok.gif", "/p/x.png", "/p/y.gif"}, ctx,
                                           app, {CaseRule::Keep, Session::Headless});
    EXPECT_EQ(err.str(), "zumo: /p/bad.gif: 画像を処理できません\n"
                         "zumo: /p/x.png: not a GIF file; the GIF conversion run stops here\n");
    EXPECT_EQ(summary.end, RunEnd::StoppedAtNonGif);
    EXPECT_EQ(log.back(), "terminate 2");
}

// A name that is not UTF-8 shows by its bytes (here Latin-1); the text
// around it stays UTF-8, on the line's file prefix as inside a message.
TEST(HeadlessUserHost, NamesThatAreNotUtf8KeepTheTextAroundThemReadable)
{
    std::ostringstream err;
    HeadlessUserHost host(err, [] { return false; });
    const std::string latin1 = "/p/caf\xE9.jpg";
    host.FileStarted(latin1);
    host.ShowFailure(latin1, "画像を処理できません", "画像のデータが壊れています");
    host.FileFinished(latin1, FileOutcome::Failed);
    host.ShowFailure(latin1, "画像を処理できません", "ファイルがありません");
    host.ShowMessage("1個のファイルをリネームできませんでした.\n" + latin1);
    EXPECT_EQ(err.str(),
              "zumo: /p/caf\u00e9.jpg: 画像を処理できません: 画像のデータが壊れています\n"
              "zumo: 画像を処理できません: /p/caf\u00e9.jpg: ファイルがありません\n"
              "zumo: 1個のファイルをリネームできませんでした.\n/p/caf\u00e9.jpg\n");
}

TEST(HeadlessUserHost, SaysWhyAFileWasNotProcessed)
{
    std::ostringstream err;
    HeadlessUserHost host(err, [] { return false; });
    host.FileStarted("/p/a.jpg");
    host.FileFinished("/p/a.jpg", std::nullopt);
    host.FileStarted("/p/b.jpg");
    host.FileFinished("/p/b.jpg", FileOutcome::Done);
    // A rename fails silently: the host names the file itself. A
    // conversion has already said why.
    host.FileStarted("/p/c.jpg");
    host.FileFinished("/p/c.jpg", FileOutcome::Failed);
    host.FileStarted("/p/d.jpg");
    host.ShowMessage("画像を処理できません");
    host.FileFinished("/p/d.jpg", FileOutcome::Failed);
    host.FileStarted("/p/e.jpg");
    host.FileFinished("/p/e.jpg", FileOutcome::Failed);
    host.FileStarted(""); // an empty argument
    host.ShowMessage("画像を処理できません");
    host.FileFinished("", FileOutcome::Failed);
    host.ShowMessage("after");
    EXPECT_EQ(err.str(), "zumo: /p/a.jpg: not processed: no drop mode is selected "
                         "(\"Drag & Drop　変換\")\n"
                         "zumo: /p/c.jpg: failed\n"
                         "zumo: /p/d.jpg: 画像を処理できません\n"
                         "zumo: /p/e.jpg: failed\n"
                         "zumo: \"\": 画像を処理できません\n"
                         "zumo: after\n");
}

// ---- program start ----------------------------------------------------------

using testsupport::ScopedEnv;

TEST(PrepareStartup, AnswersHelpVersionAndWrongOptionsBeforeAnyWindow)
{
    struct Case
    {
        std::vector<const char*> argv;
        int status;
        bool to_out;
        const char* starts;
    };
    for (const Case& c : {Case{{"/usr/bin/zumo", "--help"}, 0, true, "Usage: zumo "},
                          Case{{"zumo", "--version"}, 0, true, "zumo 0.6\n"},
                          Case{{"zumo", "--frobnicate"}, 2, false, "zumo: unknown option"},
                          Case{{"zumo", "--undo", "x"}, 2, false, "zumo: --undo takes no FILE"}}) {
        std::ostringstream out;
        std::ostringstream err;
        const StartupDecision d =
            PrepareStartup(static_cast<int>(c.argv.size()), c.argv.data(), out, err);
        EXPECT_TRUE(d.exit_now);
        EXPECT_EQ(d.exit_status, c.status);
        EXPECT_EQ((c.to_out ? out : err).str().rfind(c.starts, 0), 0u) << c.argv[1];
        EXPECT_TRUE((c.to_out ? err : out).str().empty());
    }
}

TEST(PrepareStartup, WithoutADisplayRunsHeadlessOnQtsOffscreenPlatform)
{
    const ScopedEnv display("DISPLAY", nullptr);
    const ScopedEnv wayland("WAYLAND_DISPLAY", "");
    const ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    const std::vector<const char*> argv{"zumo", "--", "-a.jpg", "b.png"};
    std::ostringstream out;
    const StartupDecision d = PrepareStartup(4, argv.data(), out, out);
    EXPECT_FALSE(d.exit_now);
    EXPECT_EQ(d.files, (std::vector<std::string>{"-a.jpg", "b.png"}));
    EXPECT_EQ(d.session, Session::Headless);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "offscreen");

    const ScopedEnv with_display("DISPLAY", ":0");
    EXPECT_EQ(PrepareStartup(1, argv.data(), out, out).session, Session::Interactive);
}

TEST(PrepareStartup, ListingThePluginsNeedsNoDisplayAndNoFiles)
{
    const ScopedEnv display("DISPLAY", nullptr);
    const ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    const ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    const std::vector<const char*> argv{"zumo", "--list-plugins"};
    std::ostringstream out;
    const StartupDecision d = PrepareStartup(2, argv.data(), out, out);
    EXPECT_FALSE(d.exit_now) << "the plug-ins are searched after the start";
    EXPECT_TRUE(d.list_plugins);
    EXPECT_TRUE(d.files.empty());
    EXPECT_EQ(d.session, Session::Headless);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "offscreen");
    EXPECT_TRUE(out.str().empty());
}

// Which sessions ask the X server, and what displays that cannot be
// reached make of the start. The Wayland display is a socket of the test's
// own: "live" listens, "dead" is left behind by a compositor that is gone.
struct DisplayCase
{
    const char* display;
    const char* wayland;  // "live", "dead", another name, or nullptr
    const char* platform; // QT_QPA_PLATFORM before
    bool answers;         // what the X server says
    bool asked;           // whether it is asked at all
    bool headless;
    const char* platform_after;
    const char* err; // "%W" stands for the Wayland socket's path
};

class HeadlessPlatform : public ::testing::TestWithParam<DisplayCase>
{
};

// A Unix socket at path; listening when live, else closed again (its file
// stays, as a crashed compositor leaves it).
class WaylandSocket
{
public:
    WaylandSocket(const std::string& path, bool live)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        if (live) {
            EXPECT_EQ(::listen(m_fd, 1), 0);
        } else {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~WaylandSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    WaylandSocket(const WaylandSocket&) = delete;
    WaylandSocket& operator=(const WaylandSocket&) = delete;

private:
    int m_fd = -1;
};

std::string replaced(std::string text, const std::string& token, const std::string& by)
{
    for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at + by.size()))
        text.replace(at, token.size(), by);
    return text;
}

TEST_P(HeadlessPlatform, FollowsTheDisplayThatAnswers)
{
    const DisplayCase& c = GetParam();
    char folder[] = "/tmp/zumo-wayland-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string socket_path = std::string(folder) + "/wayland-9";
    const std::string wayland_name = c.wayland == nullptr ? std::string() : c.wayland;
    std::optional<WaylandSocket> socket;
    if (wayland_name == "live" || wayland_name == "dead")
        socket.emplace(socket_path, wayland_name == "live");
    const ScopedEnv runtime("XDG_RUNTIME_DIR", folder);
    const ScopedEnv display("DISPLAY", c.display);
    // The relative name, as sessions set it, found under XDG_RUNTIME_DIR.
    const ScopedEnv wayland("WAYLAND_DISPLAY", socket ? "wayland-9" : c.wayland);
    const ScopedEnv platform("QT_QPA_PLATFORM", c.platform);
    int asked = 0;
    std::ostringstream err;
    const bool headless = prepare_headless_platform(err, [&] {
        ++asked;
        return c.answers;
    });
    EXPECT_EQ(headless, c.headless);
    EXPECT_EQ(asked, c.asked ? 1 : 0);
    const char* now = std::getenv("QT_QPA_PLATFORM");
    EXPECT_EQ(std::string(now ? now : "<unset>"), c.platform_after);
    EXPECT_EQ(err.str(), replaced(c.err, "%W", "wayland-9"));
    socket.reset();
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, HeadlessPlatform,
    ::testing::Values(
        DisplayCase{nullptr, nullptr, nullptr, true, false, true, "offscreen", ""},
        DisplayCase{nullptr, nullptr, "minimal", true, false, true, "minimal", ""},
        DisplayCase{":0", nullptr, nullptr, true, true, false, "<unset>", ""},
        DisplayCase{":0", nullptr, "xcb", true, true, false, "xcb", ""},
        DisplayCase{":9999", nullptr, nullptr, false, true, true, "offscreen",
                    "zumo: cannot open the display \":9999\"; running without a display\n"},
        DisplayCase{"host:10.0", "", "xcb", false, true, true, "offscreen",
                    "zumo: cannot open the display \"host:10.0\"; running without a display\n"},
        // A platform of the user's choice is never second-guessed.
        DisplayCase{":9999", "dead", "offscreen", false, false, false, "offscreen", ""},
        // A compositor that answers is taken as it is.
        DisplayCase{":9999", "live", nullptr, false, false, false, "<unset>", ""},
        DisplayCase{nullptr, "live", nullptr, false, false, false, "<unset>", ""},
        DisplayCase{nullptr, "live", "wayland", false, false, false, "wayland", ""},
        // A compositor that is gone: X where it answers, else no display.
        DisplayCase{":0", "dead", nullptr, true, true, false, "xcb", ""},
        DisplayCase{nullptr, "dead", nullptr, false, false, true, "offscreen",
                    "zumo: cannot reach the Wayland display \"%W\"; running without a display\n"},
        DisplayCase{nullptr, "dead", "wayland", false, false, true, "offscreen",
                    "zumo: cannot reach the Wayland display \"%W\"; running without a display\n"},
        DisplayCase{nullptr, "wayland-0", nullptr, false, false, true, "offscreen",
                    "zumo: cannot reach the Wayland display \"wayland-0\"; running without a "
                    "display\n"},
        DisplayCase{":9999", "dead", nullptr, false, true, true, "offscreen",
                    "zumo: cannot open the display \":9999\" nor reach the Wayland display "
                    "\"%W\"; running without a display\n"}));

TEST(StopSignals, ATerminationSignalBecomesAStopRequest)
{
    InstallStopSignals();
    ClearStopRequest();
    std::raise(SIGTERM);
    EXPECT_TRUE(StopRequested());
    ClearStopRequest();
    std::raise(SIGINT);
    EXPECT_TRUE(StopRequested());
    ClearStopRequest();
}

} // namespace
