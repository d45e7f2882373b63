// What the command-line run and the drop run share: the three single-file
// operations they hand files to, the file type test that picks among them,
// and how a run reports what it did.
#pragma once

#include "convert/batch_pool.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "platform/path.h"
#include "platform/write_rule.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zumo {

// ImageFileType: 0 ".jpg"/".jpeg", 1 ".bmp", 2 ".png", 3 ".gif", 4 any other
// extension or none, 5 the further formats the picture library reads
// (".webp", ".tif", ".tiff", ".heic", ".heif", ".avif", ".jxl"). The extension is what follows the
// last "." of the file name part; it is compared without regard to ASCII letter case.
int ImageFileType(const std::string& path,
                  platform::PathStyle style = platform::native_path_style());

inline constexpr int k_file_type_gif = 3;
inline constexpr int k_drop_mode_rename = 2; // RadioGroup10 "リネーム"
inline constexpr int k_file_type_other = 4;
inline constexpr int k_file_type_further = 5;

// What a single-file operation made of its file.
enum class FileOutcome {
    Done,    // converted, renamed, copied or moved
    Skipped, // left alone on purpose (a question answered so, nothing to do)
    Failed,  // reported to the user by the operation itself
};

// The three single-file operations. Each processes its file completely,
// reports its own failures through the user host and returns; none throws.
// The window adapts ConversionEngine::ConvertImageFile / ConvertGifFile
// (FileResult) and FormFileRe (RenameResult, with a fresh option snapshot).
class FileProcessor
{
public:
    virtual ~FileProcessor() = default;
    virtual FileOutcome ConvertImageFile(const std::string& path) = 0;
    virtual FileOutcome ConvertGifFile(const std::string& path) = 0;
    virtual FileOutcome FormFileRe(const std::string& path) = 0;
    // Why the last file failed when its operation reports nothing itself
    // (a rename); empty otherwise.
    virtual std::string SilentFailure() const { return {}; }
    // What the run's files share (the files made, the inputs still to
    // come), or null when the operations keep nothing between files.
    virtual platform::RunFiles* Run() { return nullptr; }

    // Files a run may convert side by side (asked once, when it starts).
    virtual int Jobs() { return 1; }
    // The conversion of drop mode 0 or 1 of path as a job a run hands to
    // its pool, its options read now; it stores what became of the file in
    // *outcome and why it failed in *failure. Empty when this processor
    // converts one file at a time.
    virtual std::optional<BatchFile> ConversionJob(int /*drop_mode*/, const std::string& /*path*/,
                                                   FileOutcome* /*outcome*/,
                                                   std::string* /*failure*/)
    {
        return std::nullopt;
    }
    // A job of ConversionJob has ended, its files before it too (on the
    // run's thread, in file order): failure is why it failed, or empty.
    virtual void JobFinished(const std::string& /*failure*/) {}
};

// Hands path to the operation of drop mode 0 (ConvertImageFile), 1
// (ConvertGifFile) or 2 (FormFileRe). Empty when no mode is selected (-1):
// nothing is done with the file.
std::optional<FileOutcome> hand_to_drop_mode(FileProcessor& files, int drop_mode,
                                             const std::string& path);

// How a run ended.
enum class RunEnd {
    NoArguments,     // command line without files: nothing was run
    Completed,       // every file was looked at
    Cancelled,       // the progress dialog's キャンセル
    StoppedAtNonGif, // command line, GIF mode: a file that is not a GIF
    Interrupted,     // SIGINT or SIGTERM
};

struct RunSummary
{
    RunEnd end = RunEnd::Completed;
    int files = 0;       // files the run was given
    int done = 0;        // came back Done
    int unprocessed = 0; // looked at but not Done: Failed, Skipped, or no
                         // drop mode selected (drops of other types in
                         // mode 0 are not counted: skipping them is the rule)
};

// Follows a run file by file; the headless host uses it to name the file
// its messages are about. outcome is empty when the file was not handed to
// any operation.
class RunObserver
{
public:
    virtual ~RunObserver() = default;
    virtual void FileStarted(const std::string& /*path*/) {}
    virtual void FileFinished(const std::string& /*path*/, std::optional<FileOutcome> /*outcome*/)
    {
    }
    // Before FileFinished of a file that failed without a message of its
    // own: why it failed.
    virtual void FileFailedSilently(const std::string& /*path*/, const std::string& /*reason*/) {}
    virtual void RunEnded(const RunSummary& /*summary*/, const std::string& /*stopped_at*/) {}
};

// Everything a run works with. stop_requested is asked before every file
// together with the dialog's Cancelled (see StopSignals.h); observer may be
// null.
struct RunContext
{
    OptionSource& options;
    UserHost& host;
    FileProcessor& files;
    std::function<bool()> stop_requested;
    RunObserver* observer = nullptr;
};

// Every run registers all its inputs when it starts, so that no output of
// an earlier file replaces one of them before it is read, and lets each go
// when its turn comes (run_one_file does; so must a run that passes over a
// file without handing it on).
void register_inputs(const RunContext& ctx, const std::vector<std::string>& paths);
void turn_comes(const RunContext& ctx, const std::string& path);

// Hands one file of a run to the operation of drop_mode, counts its outcome
// in summary and tells the observer before and after. Returns the outcome
// (empty when no operation was chosen).
std::optional<FileOutcome> run_one_file(const RunContext& ctx, int drop_mode,
                                        const std::string& path, RunSummary& summary);

// What a run does with file k once it has its drop mode.
enum class FileHandling {
    Hand,    // to the operation of the drop mode
    Pass,    // passed over silently (its turn among the inputs ends)
    StopRun, // the run ends before it
};

// The loop of the command-line and drop runs: files converted side by side
// on ctx.files.Jobs() threads, renames one at a time, and the user sees
// what a one-at-a-time run shows. before(k) is the run's step before file k
// (its bar, its stop checks); false ends the run there (files already
// started finish). handling(k, drop_mode) says what becomes of file k;
// handed files are counted in summary and reported to the observer in
// order, and handed(k, drop_mode, outcome) hears of each. Returns the index
// of the file that ended the run with StopRun, or -1.
int run_files(const RunContext& ctx, const std::vector<std::string>& paths, RunSummary& summary,
              const std::function<bool(int k)>& before,
              const std::function<FileHandling(int k, int drop_mode)>& handling,
              const std::function<void(int k, int drop_mode, std::optional<FileOutcome>)>& handed);

// The texts every run shows.
inline constexpr const char* k_progress_text = "変換中です";
inline constexpr const char* k_progress_caption = "Zumo変換";

// The end signal of RadioGroup9: the default beep on "BEEP" (item 0).
void GiveEndSignal(UserHost& host, const OptionSnapshot& options);

} // namespace zumo
