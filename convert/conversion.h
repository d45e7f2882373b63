// Conversion of one picture or one GIF file under the current options, and
// the batch drivers over file lists and ticked listings.
#pragma once

#include "convert/check_list.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "platform/file_ops.h"
#include "platform/path.h"

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

// The output extension of RadioGroup1 ("→BMP" ... "→JPG") and of RadioGroup2
// ("→JPG", "→BMP", "→PNG"), with its dot; nullptr when no item is selected.
const char* ImageOutputExtension(int radio_group1);
const char* GifOutputExtension(int radio_group2);

// What became of one file, so an unattended run can compute its exit status:
// Written: the output file is in place.
// Skipped: nothing written and nothing reported, because the user answered
//          "はい(&Y)" to the folder question or no output format is selected.
// Failed:  nothing written; the beep and "画像を処理できません" were given.
enum class FileResult { Written, Skipped, Failed };

class ConversionEngine
{
public:
    ConversionEngine(OptionSource& options, UserHost& host);

    // Where this engine asks and reports.
    UserHost& Host() const { return m_host; }

    // Never throw. A failure beeps once and shows "画像を処理できません".
    // made_by_run, when given, holds the files the calling run made so far:
    // an output path among them fails the file (the file there stays), and
    // a written output is added to it.
    FileResult ConvertImageFile(const std::string& file_name,
                                platform::FileSet* made_by_run = nullptr);
    FileResult ConvertGifFile(const std::string& file_name,
                              platform::FileSet* made_by_run = nullptr);

    // The open-dialog drivers: confirmation, progress, cancel, end signal.
    // Like every run, they never replace a file they wrote themselves.
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
    using FileOperation = FileResult (ConversionEngine::*)(const std::string&, platform::FileSet*);
    void run_file_list(const std::vector<std::string>& files, FileOperation operation);
    void run_check_list(const CheckListSource& list,
                        const std::function<std::string()>& listing_folder,
                        FileOperation operation);

    OptionSource& m_options;
    UserHost& m_host;
};

// The end-of-batch signal: the default beep when RadioGroup9 is "BEEP".
void EndSignal(UserHost& host, const OptionSnapshot& options);

} // namespace zumo
