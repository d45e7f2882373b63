// Conversion of one picture or one GIF file under the current options, and
// the batch drivers over file lists and ticked listings.
#pragma once

#include "convert/batch_pool.h"
#include "convert/check_list.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/write_rule.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zumo {

// path with one native separator appended when it names an existing folder;
// "" otherwise.
std::string ExistingFolderPath(const std::string& path);
// The same rule in a given path style with the existence test supplied, so
// the Windows rule can be checked on any system.
std::string ExistingFolderPath(const std::string& path, platform::PathStyle style,
                               const std::function<bool(const std::string&)>& folder_exists);

// Where the output path rule puts the output of file_name with extension
// (".bmp", ...), decided without asking and without making a folder.
struct OutputPlan
{
    std::string path;         // the output file
    bool asks_folder = false; // CheckBox1 without a folder: the folder question
                              // comes first; "はい" skips the file, "いいえ"
                              // writes to path (beside the input)
    std::string new_folder;   // the subfolder to make first, or empty
};
OutputPlan PlanOutputPath(const std::string& file_name, const std::string& extension,
                          const OptionSnapshot& options,
                          const std::function<bool(const std::string&)>& folder_exists);

// The checks a conversion makes, asked of view: the disk in a run, the
// planned files in a dry run. Each returns why the file fails, "" when it
// may go on. The input is checked before it is loaded; the output once the
// folder question has been answered, before a folder is made or a byte is
// written. A conversion replaces an existing output, unless it is
// write-protected, an input the run has still to read or made by the run.
std::string ConversionInputRefusal(const platform::FileView& view, const std::string& file_name);
std::string ConversionOutputRefusal(const platform::FileView& view, const OutputPlan& plan);

// The output extension of RadioGroup1 ("→BMP" ... "→JPG") and of RadioGroup2
// ("→JPG", "→BMP", "→PNG"), with its dot; nullptr when no item is selected.
const char* ImageOutputExtension(int radio_group1);
const char* GifOutputExtension(int radio_group2);

// What became of one file, so an unattended run can compute its exit status:
// Written: the output file is in place.
// Skipped: nothing written and nothing reported, because the user answered
//          "はい(&Y)" to the folder question or no output format is selected.
// Failed:  nothing written; the beep and "画像を処理できません" with the
//          reason were given.
enum class FileResult { Written, Skipped, Failed };

enum class ConversionKind { Image, Gif }; // ConvertImageFile, ConvertGifFile

// One file's conversion as a batch runs it: with the options as they stood
// when the file started, reporting to host. run (may be null) is what the
// batch's files share; turn (null one at a time) orders the file's
// decisions after those of the files before it. Never throws; why, when
// given, receives the reason of a failure.
FileResult ConvertFile(ConversionKind kind, const std::string& file_name,
                       const OptionSnapshot& options, UserHost& host, platform::RunFiles* run,
                       FileTurn* turn, std::string* why);

// Files a batch converts side by side: jobs_override when above 0 (the
// command line's --jobs), else one per core with CheckBox11
// ("すべてのCPUコアを使う") checked, else one at a time.
int BatchJobs(const OptionSnapshot& options, int jobs_override);

class ConversionEngine
{
public:
    ConversionEngine(OptionSource& options, UserHost& host);

    // Where this engine asks and reports.
    UserHost& Host() const { return m_host; }

    // The command line's --jobs: files converted side by side whatever
    // CheckBox11 says (0: as CheckBox11 says).
    void SetJobsOverride(int jobs) { m_jobs_override = jobs; }
    int JobsOverride() const { return m_jobs_override; }

    // Never throw. A failure beeps once and shows "画像を処理できません" with
    // the file's name and the reason (UserHost::ShowFailure).
    // run, when given, is what the calling run shares between its files:
    // an output that it made or that is one of its inputs still to come
    // fails the file (the file there stays); a written output joins it.
    FileResult ConvertImageFile(const std::string& file_name, platform::RunFiles* run = nullptr);
    FileResult ConvertGifFile(const std::string& file_name, platform::RunFiles* run = nullptr);

    // Why the last file that failed did so, as its message shows it (files
    // converted one at a time by the two calls above).
    const std::string& LastFailure() const { return m_last_failure; }
    // For a run whose files this engine converted side by side: the
    // failure of a file that ended, in file order.
    void SetLastFailure(std::string why) { m_last_failure = std::move(why); }

    // The open-dialog drivers: confirmation, progress, cancel, end signal.
    // Like every run, they never replace a file they wrote themselves nor
    // one of their inputs before its turn.
    void ConvertFileList(const std::vector<std::string>& files);
    void ConvertGifFileList(const std::vector<std::string>& files);

    // The drivers over the ticked lines of a listing. listing_folder gives
    // the listing's folder as the folder dialog holds it now; it is asked
    // afresh for every entry.
    void ConvertCheckedImages(const CheckListSource& list,
                              const std::function<std::string()>& listing_folder);
    void ConvertCheckedGifs(const CheckListSource& list,
                            const std::function<std::string()>& listing_folder);

private:
    FileResult convert(ConversionKind kind, const std::string& file_name, platform::RunFiles* run);
    // The batch's job for path, its options read now.
    BatchFile file_job(ConversionKind kind, const std::string& path, platform::RunFiles& run);
    void run_file_list(const std::vector<std::string>& files, ConversionKind kind);
    void run_check_list(const CheckListSource& list,
                        const std::function<std::string()>& listing_folder, ConversionKind kind);

    OptionSource& m_options;
    UserHost& m_host;
    std::string m_last_failure;
    int m_jobs_override = 0;
};

// Registers the ticked lines of list from index from on, in folder (the
// listing's folder, with its separator), as inputs the run has still to
// reach. A run over a listing calls it when it first resolves the folder,
// so the folder is not asked for once more.
void register_ticked(const CheckListSource& list, int from, const std::string& folder,
                     platform::RunFiles& run);

// The end-of-batch signal: the default beep when RadioGroup9 is "BEEP".
void EndSignal(UserHost& host, const OptionSnapshot& options);

} // namespace zumo
