// The command line: parsing the program's arguments, and the unattended run
// of FormShow that hands every file to the operation of the drop mode
// (RadioGroup10), shows the progress dialog, gives the end signal and ends
// the program.
//
// Runs without a display (neither DISPLAY nor WAYLAND_DISPLAY set, or
// neither an X server nor a Wayland compositor answering there) cannot
// leave a window open for someone to close: a run that would stay open
// (cancelled, or a non-GIF file in GIF mode) ends the program there too.
// Exit status of a command-line run: 0 when every file was processed
// (came back Done), 1 when any was not (failed, skipped, or no drop mode
// selected), 2 when the run ended early (a non-GIF in GIF mode, a cancel,
// SIGINT or SIGTERM) or the command line was wrong.
#pragma once

#include "app/core/FileRuns.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace zumo {

// ---- arguments ------------------------------------------------------------

enum class CommandAction { Run, Help, Version, ListPlugins, Undo, UsageError };

struct ParsedCommandLine
{
    CommandAction action = CommandAction::Run;
    std::vector<std::string> files; // in the order given
    std::string error;              // UsageError: what was wrong
    bool dry_run = false;           // --dry-run: say what the run would do
    int jobs = 0;                   // --jobs N: files converted side by side (0: not given)
};

// args without the program name. "--help" (or "-h"), "--version",
// "--list-plugins", "--undo", "--dry-run" (which needs files, or "--undo")
// and "--jobs N" or "--jobs=N" (N a whole number from 1) are options; "--undo" takes no file, so
// any file with it is an error; "--" ends the options, so that every later argument is a file even
// when it looks like an option. Any other argument starting with "--" is an error; everything else,
// a lone "-" and "-x" included, is a file.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText(std::string_view program_name);
std::string VersionText(); // "zumo 0.6"

inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_some_failed = 1;
inline constexpr int k_exit_stopped = 2;

// ---- the platform's view of the run ---------------------------------------

// True when neither DISPLAY nor WAYLAND_DISPLAY is set to something.
bool display_available();

// Without a display, points Qt at its offscreen platform (unless the user
// chose a platform with QT_QPA_PLATFORM). The same when the displays that
// are set cannot be reached: no X server answers at DISPLAY
// (x_server_answers) and no compositor at WAYLAND_DISPLAY; then one line on
// err says so. When only X answers, Qt is pointed at it. A platform of the
// user's choice other than X or Wayland is left alone. Call before the
// QApplication is created. Returns true when the session is headless.
bool prepare_headless_platform(std::ostream& err, const std::function<bool()>& x_server_answers);

// The compositor's socket ($WAYLAND_DISPLAY when absolute, else under
// $XDG_RUNTIME_DIR) accepts a connection.
bool wayland_compositor_answers();

// How an argument reaches the operation. Where file names ignore letter
// case (Windows), it is lower-cased as the original did; on a file system
// that tells case apart a lower-cased path names another file or none, so
// it is handed on unchanged.
enum class CaseRule { Keep, Lower };
CaseRule native_case_rule();

// The argument as handed on under rule. Lowering changes ASCII letters only
// and, in the Windows style, skips the trail bytes of Shift-JIS characters
// (0x40..0x7E include "A".."Z").
std::string command_line_path(std::string_view argument, CaseRule rule,
                              platform::PathStyle style = platform::native_path_style());

// What only the window and the application can do.
class ApplicationControl
{
public:
    virtual ~ApplicationControl() = default;
    virtual void SetTitle(const std::string& title) = 0; // the application title
    virtual void Minimize() = 0;                         // minimise the application
    // The enable rule: CheckBox6 and Edit7 enabled exactly when CheckBox1
    // is unchecked; nothing is cleared.
    virtual void ApplyEnableRule() = 0;
    // Ends the program once the running handler has returned (the window
    // is then destroyed and the settings written), with this exit status.
    virtual void Terminate(int exit_status) = 0;
};

enum class Session { Interactive, Headless };

struct CommandLineOptions
{
    CaseRule case_rule = native_case_rule();
    Session session = Session::Interactive;
};

// FormShow. Sets the title ("Zumo変換" without files, "処理中" with files),
// minimises, runs the files under one progress dialog (bar at k/N before
// file k), gives the end signal and calls Terminate, then applies the enable
// rule. After a cancel or a non-GIF in GIF mode the program stays open and
// minimised (Interactive); Headless it ends with status 2. SIGINT/SIGTERM
// (ctx.stop_requested) stop after the file in progress and end the program
// with status 2. Headless without files nobody could use the window: after
// the title and the enable rule the program ends with status 2 (the
// observer hears RunEnd::NoArguments and can say why).
RunSummary FormShowRun(const std::vector<std::string>& files, RunContext& ctx,
                       ApplicationControl& app, const CommandLineOptions& options = {});

// The status for a summary (see the top of this file).
int exit_status(const RunSummary& summary);

} // namespace zumo

namespace zumo {

// ---- program start ----------------------------------------------------------

struct StartupDecision
{
    bool exit_now = false;     // --help, --version or a wrong command line
    bool list_plugins = false; // --list-plugins: search the plug-ins, list them, end
    bool undo = false;         // --undo: undo the last rename run, report on stderr, end
    bool dry_run = false;      // --dry-run: no window, no Qt platform, no signals; with
                               // undo: say what the undo would do and change nothing
    int exit_status = k_exit_ok;
    std::vector<std::string> files;
    Session session = Session::Interactive;
    int jobs = 0; // --jobs N, 0 when not given
};

// What main() does before the QApplication exists: parses argv, prints the
// usage or the version to out (a wrong command line to err, status 2),
// points Qt at its offscreen platform when there is no display (for a run
// and for --list-plugins), and, when
// files are given, installs the SIGINT/SIGTERM stop handlers. Give Qt only
// argv[0] afterwards, so that it does not take a file named like one of its
// own options ("-style").
StartupDecision PrepareStartup(int argc, const char* const* argv, std::ostream& out,
                               std::ostream& err);

} // namespace zumo
