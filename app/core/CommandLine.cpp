#include "app/core/CommandLine.h"

#include "app/core/Session.h"
#include "app/core/StopSignals.h"

#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#ifndef ZUMO_VERSION
#define ZUMO_VERSION "0.6"
#endif

namespace zumo {

namespace {

constexpr const char* k_idle_title = "Zumo変換";
constexpr const char* k_busy_title = "処理中";

bool is_sjis_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The N of --jobs N: a whole number from 1 (up to a sane bound); 0 when the
// text is none.
int parse_jobs(const std::string& text)
{
    constexpr int k_max_jobs = 1024;
    if (text.empty() || text.size() > 4)
        return 0;
    int jobs = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        jobs = jobs * 10 + (c - '0');
    }
    return jobs <= k_max_jobs ? jobs : 0;
}

bool env_set(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    ParsedCommandLine parsed;
    bool options_ended = false;
    bool undo = false;
    bool jobs_next = false;
    for (const std::string& arg : args) {
        if (jobs_next) {
            jobs_next = false;
            parsed.jobs = parse_jobs(arg);
            if (parsed.jobs == 0)
                return ParsedCommandLine{CommandAction::UsageError,
                                         {},
                                         "--jobs needs a whole number from 1 to 1024 (\"" + arg +
                                             "\")"};
        } else if (options_ended) {
            parsed.files.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            return ParsedCommandLine{CommandAction::Help, {}, {}};
        } else if (arg == "--version") {
            return ParsedCommandLine{CommandAction::Version, {}, {}};
        } else if (arg == "--list-plugins") {
            if (undo)
                return ParsedCommandLine{
                    CommandAction::UsageError, {}, "--undo and --list-plugins exclude each other"};
            return ParsedCommandLine{CommandAction::ListPlugins, {}, {}};
        } else if (arg == "--undo") {
            // Read on: a --dry-run or a stray file after it must not be lost.
            undo = true;
        } else if (arg == "--dry-run") {
            parsed.dry_run = true;
        } else if (arg == "--jobs") {
            jobs_next = true;
        } else if (arg.starts_with("--jobs=")) {
            parsed.jobs = parse_jobs(arg.substr(7));
            if (parsed.jobs == 0)
                return ParsedCommandLine{CommandAction::UsageError,
                                         {},
                                         "--jobs needs a whole number from 1 to 1024 (\"" +
                                             arg.substr(7) + "\")"};
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            return ParsedCommandLine{CommandAction::UsageError,
                                     {},
                                     "unknown option \"" + arg +
                                         "\" (a file of that name goes after \"--\")"};
        } else {
            parsed.files.push_back(arg);
        }
    }
    if (jobs_next)
        return ParsedCommandLine{CommandAction::UsageError, {}, "--jobs needs a number"};
    if (undo) {
        // The undo takes no file: one named with it would be passed over.
        if (!parsed.files.empty())
            return ParsedCommandLine{CommandAction::UsageError,
                                     {},
                                     "--undo takes no FILE (\"" + parsed.files.front() + "\")"};
        return ParsedCommandLine{CommandAction::Undo, {}, {}, parsed.dry_run};
    }
    if (parsed.dry_run && parsed.files.empty())
        return ParsedCommandLine{CommandAction::UsageError, {}, "--dry-run needs a FILE"};
    return parsed;
}

std::string UsageText(std::string_view program_name)
{
    std::string usage = "Usage: ";
    usage += program_name;
    usage += " [--help] [--version] [--list-plugins] [--undo] [--dry-run] [--jobs N]\n"
             "       [--] [FILE]...\n"
             "\n"
             "Without FILE, opens the window. With FILEs, hands each one in turn to the\n"
             "picture conversion, the GIF conversion or the rename, as the setting\n"
             "\"Drag & Drop　変換\" on the tab \"詳細設定\" says, and ends.\n"
             "\n"
             "Photos are turned upright from their EXIF orientation first, and outputs\n"
             "keep the source's EXIF, XMP, IPTC, ICC profile and resolution, as the\n"
             "options \"EXIFの向きに合わせる\" and \"メタデータを残す\" on \"詳細設定\" say\n"
             "(both on by default; GIF output keeps no metadata).\n"
             "\n"
             "  -h, --help     show this text and end\n"
             "      --version  show the version and end\n"
             "      --list-plugins  list the import plug-ins found, in loading order, and end\n"
             "      --undo     undo the most recent rename, copy or move run and end;\n"
             "                 it takes no FILE\n"
             "      --dry-run  with FILEs: print one line per FILE with what the run would\n"
             "                 do (the output path, the old and new name, or why it would\n"
             "                 fail or skip the file), change nothing, and end with the\n"
             "                 exit status the run would give without a display; with\n"
             "                 --undo: print one line per file with what the undo would\n"
             "                 do (restore it, delete the copy, or leave it and why),\n"
             "                 change nothing (the journal included), and end with the\n"
             "                 exit status the undo would give\n"
             "      --jobs N   convert N files side by side (N from 1); without it a run\n"
             "                 uses every core when \"すべてのCPUコアを使う\" on \"詳細設定\"\n"
             "                 is checked (the default) and one at a time when not;\n"
             "                 renames always go one at a time\n"
             "      --         every later argument is a FILE, even one starting with \"-\"\n"
             "\n"
             "Without a display (DISPLAY and WAYLAND_DISPLAY unset, or neither an X\n"
             "server answering at DISPLAY nor a compositor at WAYLAND_DISPLAY) messages\n"
             "go to standard error, questions take the\n"
             "answer that skips the file, and the exit status is 0 when every FILE was\n"
             "processed, 1 when any was not, and 2 when the run stopped early\n"
             "(a file that is not a GIF in GIF mode, SIGINT or SIGTERM).\n"
             "\n"
             "Every rename, copy or move run (window, drop or FILEs) keeps a journal in\n"
             "$XDG_STATE_HOME/zumo (~/.local/state/zumo). --undo, like \"元に戻す\" in the\n"
             "menu \"ファイルリネーム\", reverses the most recent run not undone yet: moved\n"
             "files go back, copies it made are deleted while their source still holds the\n"
             "same bytes. A file changed since the run, a copy whose source is gone or\n"
             "changed, or a file whose old name is taken again, is left as it is and named\n"
             "on standard error; nothing the run did not make is deleted or replaced.\n"
             "A newest journal that cannot be read (empty, no journal header, a read\n"
             "error) stops the undo: no older run is undone past it. Journal lines that\n"
             "fail their checksum are named by number. The exit status is 0 when all was\n"
             "undone, 1 when some files were left or journal lines were garbled, 2 when\n"
             "there was nothing to undo, the run is still in progress or the journal is\n"
             "damaged.\n"
             "\n"
             "Import plug-ins are searched in $SUSIE_PLUGIN_PATH, in the program's folder,\n"
             "in its \"spi\" folder and in the plug-in folder of the installation.\n"
             "\"man zumo\" says more.\n";
    return usage;
}

std::string VersionText()
{
    return std::string("zumo ") + ZUMO_VERSION;
}

bool display_available()
{
    return env_set("DISPLAY") || env_set("WAYLAND_DISPLAY");
}

std::string wayland_socket_path()
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0')
        return {};
    if (display[0] == '/')
        return display;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
        return {};
    return std::string(runtime) + "/" + display;
}

bool wayland_compositor_answers()
{
#ifdef _WIN32
    return false;
#else
    // What a Wayland client does first: connect to the compositor's socket.
    const std::string path = wayland_socket_path();
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
#endif
}

namespace {

void run_without_a_display(std::ostream& err, const std::string& what)
{
    err << "zumo: cannot " << what << "; running without a display\n";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

} // namespace

bool prepare_headless_platform(std::ostream& err, const std::function<bool()>& x_server_answers)
{
    if (!display_available()) {
        if (!env_set("QT_QPA_PLATFORM"))
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return true;
    }
    // Only Qt's X and Wayland platforms are asked: a session that names a
    // platform of its own keeps it.
    const std::string platform = env_set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    const bool chose_x = platform == "xcb";
    const bool chose_wayland = platform.starts_with("wayland");
    if (!platform.empty() && !chose_x && !chose_wayland)
        return false;
    const bool wayland_set = env_set("WAYLAND_DISPLAY") && !chose_x;
    const bool x_set = env_set("DISPLAY") && !chose_wayland;
    // A display left behind by a closed session (a stale DISPLAY of a
    // remote login, a WAYLAND_DISPLAY without its compositor) would make
    // Qt end the program; the run goes on without a display instead.
    if (wayland_set && wayland_compositor_answers())
        return false;
    const bool x_answers = x_set && (!x_server_answers || x_server_answers());
    if (x_answers) {
        if (wayland_set) // Qt could still pick the Wayland that is gone
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        return false;
    }
    const std::string x_display = x_set ? std::string(std::getenv("DISPLAY")) : "";
    const std::string wayland_display =
        wayland_set ? std::string(std::getenv("WAYLAND_DISPLAY")) : "";
    if (x_set && wayland_set)
        run_without_a_display(err, "open the display \"" + x_display +
                                       "\" nor reach the Wayland display \"" + wayland_display +
                                       "\"");
    else if (x_set)
        run_without_a_display(err, "open the display \"" + x_display + "\"");
    else if (wayland_set)
        run_without_a_display(err, "reach the Wayland display \"" + wayland_display + "\"");
    else // the chosen platform has no display of its kind
        run_without_a_display(err, "open a display for the platform \"" + platform + "\"");
    return true;
}

CaseRule native_case_rule()
{
#ifdef _WIN32
    return CaseRule::Lower;
#else
    return CaseRule::Keep;
#endif
}

std::string command_line_path(std::string_view argument, CaseRule rule, platform::PathStyle style)
{
    std::string path(argument);
    if (rule == CaseRule::Keep)
        return path;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (style == platform::PathStyle::Windows && is_sjis_lead_byte(c)) {
            ++i; // the trail byte is part of this character
        } else if (c >= 'A' && c <= 'Z') {
            path[i] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return path;
}

RunSummary FormShowRun(const std::vector<std::string>& files, RunContext& ctx,
                       ApplicationControl& app, const CommandLineOptions& options)
{
    const bool headless = options.session == Session::Headless;
    RunSummary summary;
    summary.files = static_cast<int>(files.size());
    if (files.empty()) {
        summary.end = RunEnd::NoArguments;
        app.SetTitle(k_idle_title);
        app.ApplyEnableRule();
        if (headless) {
            if (ctx.observer)
                ctx.observer->RunEnded(summary, {});
            app.Terminate(k_exit_stopped);
        }
        return summary;
    }

    app.SetTitle(k_busy_title);
    app.Minimize();
    std::vector<std::string> inputs;
    for (const std::string& file : files)
        inputs.push_back(command_line_path(file, options.case_rule));
    register_inputs(ctx, inputs);
    std::string stopped_at;
    {
        const auto dialog = ctx.host.ShowProgress(k_progress_text);
        dialog->SetCaption(k_progress_caption);
        const int n = summary.files;
        // The bar shows k of n before file k (from 1): the last file runs
        // at 100 %.
        const auto before = [&](int k) {
            dialog->SetProgress(k_progress_text, n, k + 1);
            if (ctx.stop_requested && ctx.stop_requested()) {
                summary.end = RunEnd::Interrupted;
                return false;
            }
            if (dialog->Cancelled()) {
                summary.end = RunEnd::Cancelled;
                return false;
            }
            return true;
        };
        const auto handling = [&](int k, int drop_mode) {
            const bool stops =
                drop_mode == 1 &&
                ImageFileType(inputs[static_cast<std::size_t>(k)]) != k_file_type_gif;
            return stops ? FileHandling::StopRun : FileHandling::Hand;
        };
        const int stop = run_files(ctx, inputs, summary, before, handling,
                                   [](int, int, std::optional<FileOutcome>) {});
        if (stop >= 0 && summary.end == RunEnd::Completed) {
            summary.end = RunEnd::StoppedAtNonGif;
            stopped_at = inputs[static_cast<std::size_t>(stop)];
        }
    } // the dialog is released on every way out

    if (ctx.observer)
        ctx.observer->RunEnded(summary, stopped_at);
    switch (summary.end) {
    case RunEnd::Completed:
        GiveEndSignal(ctx.host, ctx.options.Options());
        app.Terminate(exit_status(summary));
        app.ApplyEnableRule();
        break;
    case RunEnd::Cancelled:
    case RunEnd::StoppedAtNonGif:
        // The program stays open and minimised with the title "処理中";
        // without a display nobody could ever close it.
        if (headless)
            app.Terminate(k_exit_stopped);
        break;
    case RunEnd::Interrupted:
        app.Terminate(k_exit_stopped);
        break;
    case RunEnd::NoArguments:
        break;
    }
    return summary;
}

int exit_status(const RunSummary& summary)
{
    switch (summary.end) {
    case RunEnd::NoArguments:
        return k_exit_ok;
    case RunEnd::Completed:
        return summary.unprocessed > 0 ? k_exit_some_failed : k_exit_ok;
    case RunEnd::Cancelled:
    case RunEnd::StoppedAtNonGif:
    case RunEnd::Interrupted:
        break;
    }
    return k_exit_stopped;
}

StartupDecision PrepareStartup(int argc, const char* const* argv, std::ostream& out,
                               std::ostream& err)
{
    const std::string program =
        argc > 0 && argv[0] ? platform::file_name_part(argv[0]) : std::string("zumo");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    ParsedCommandLine parsed = ParseCommandLine(args);

    StartupDecision decision;
    switch (parsed.action) {
    case CommandAction::Help:
        out << UsageText(program);
        decision.exit_now = true;
        return decision;
    case CommandAction::Version:
        out << VersionText() << '\n';
        decision.exit_now = true;
        return decision;
    case CommandAction::UsageError:
        err << program << ": " << parsed.error << '\n' << UsageText(program);
        decision.exit_now = true;
        decision.exit_status = k_exit_stopped;
        return decision;
    case CommandAction::Undo:
        // No window and no display: the undo reports on standard error.
        decision.undo = true;
        decision.dry_run = parsed.dry_run;
        return decision;
    case CommandAction::ListPlugins:
        decision.list_plugins = true;
        decision.session = prepare_headless_platform(err, x_server_answers) ? Session::Headless
                                                                            : Session::Interactive;
        return decision;
    case CommandAction::Run:
        break;
    }
    decision.files = std::move(parsed.files);
    decision.jobs = parsed.jobs;
    if (parsed.dry_run) {
        // Nothing is shown: no Qt platform to choose, no run to stop.
        decision.dry_run = true;
        return decision;
    }
    decision.session =
        prepare_headless_platform(err, x_server_answers) ? Session::Headless : Session::Interactive;
    // Only a command-line run turns the signals into a stop request; an
    // interactive session keeps their default action unless the window
    // installs them itself and polls StopRequested().
    if (!decision.files.empty())
        InstallStopSignals();
    return decision;
}

} // namespace zumo
