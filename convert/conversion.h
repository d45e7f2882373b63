// Conversion of one picture or one GIF file under the current options, and
// the batch drivers over file lists and ticked listings.
#pragma once

#include "convert/check_list.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/write_rule.h"

#include <functional>
#include <string>
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

class ConversionEngine
{
public:
    ConversionEngine(OptionSource& options, UserHost& host);

    // Where this engine asks and reports.
    UserHost& Host() const { return m_host; }

    // Never throw. A failure beeps once and shows "画像を処理できません" with
    // the file's name and the reason (UserHost::ShowFailure).
    // run, when given, is what the calling run shares between its files:
    // an output that it made or that is one of its inputs still to come
    // fails the file (the file there stays); a written output joins it.
    FileResult ConvertImageFile(const std::string& file_name, platform::RunFiles* run = nullptr);
    FileResult ConvertGifFile(const std::string& file_name, platform::RunFiles* run = nullptr);

    // Why the last file that failed did so, as its message shows it.
    const std::string& LastFailure() const { return m_last_failure; }

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
    using FileOperation = FileResult (ConversionEngine::*)(const std::string&, platform::RunFiles*);
    FileResult failed(const std::string& file_name, std::string why);
    void run_file_list(const std::vector<std::string>& files, FileOperation operation);
    void run_check_list(const CheckListSource& list,
                        const std::function<std::string()>& listing_folder,
                        FileOperation operation);

    OptionSource& m_options;
    UserHost& m_host;
    std::string m_last_failure;
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
