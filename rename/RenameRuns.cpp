#include "rename/RenameRuns.h"

#include "convert/conversion.h"
#include "rename/FileRename.h"
#include "rename/RenameJournal.h"
#include "rename/RenameMessages.h"

#include <utility>

namespace zumo {
namespace {

const std::string k_progress_text = "変換中です";
const std::string k_progress_caption = "Zumo変換";

// Each run keeps its own journal; a failure to write it is told once.
RenameJournal run_journal(UserHost& host)
{
    return RenameJournal(DefaultJournalFolder(),
                         [&host](const std::string& text) { host.ShowMessage(text); });
}

std::unique_ptr<ProgressDialog> show_progress(UserHost& host)
{
    auto dialog = host.ShowProgress(k_progress_text);
    dialog->SetCaption(k_progress_caption);
    return dialog;
}

// The files of a run that were not renamed, named in one message at its end.
class NotRenamed
{
public:
    // run.LastFailure says why a failed file failed; a skipped one has
    // none to give.
    void Note(const std::string& path, RenameResult result, const RenameRun& run)
    {
        if (result == RenameResult::Failed)
            m_files.push_back({path, run.LastFailure});
        else if (result != RenameResult::Done)
            m_files.push_back({path, {}});
    }
    void Report(UserHost& host) const
    {
        if (!m_files.empty())
            host.ShowMessage(RenameFailuresMessage(m_files));
    }

private:
    std::vector<NotRenamedFile> m_files;
};

} // namespace

void RenameFileList(OptionSource& options, UserHost& host, const std::vector<std::string>& files)
{
    const int count = static_cast<int>(files.size());
    const std::string question =
        std::to_string(count) + "個のファイルを処理します. よろしいですか?";
    if (host.Ask("確認", question, Buttons::OkCancel) == Answer::Ok) {
        auto dialog = show_progress(host);
        RenameJournal journal = run_journal(host);
        RenameRun run;
        run.Journal = &journal;
        for (const std::string& file : files)
            run.Files.AddPending(file);
        NotRenamed not_renamed;
        for (int i = 0; i < count; ++i) {
            const std::string& file = files[static_cast<size_t>(i)];
            run.Files.TakeTurn(file);
            not_renamed.Note(file, FormFileRe(options.Options(), file, &run), run);
            dialog->SetProgress(k_progress_text, count - 1, i);
            if (dialog->Cancelled()) {
                dialog.reset();
                not_renamed.Report(host);
                return; // no end signal
            }
            host.ProcessMessages();
        }
        dialog.reset();
        not_renamed.Report(host);
    }
    EndSignal(host, options.Options());
}

void RenameCheckedList(OptionSource& options, UserHost& host, const CheckListSource& list,
                       const std::function<std::string()>& listing_folder)
{
    auto dialog = show_progress(host);
    RenameJournal journal = run_journal(host);
    RenameRun run;
    run.Journal = &journal;
    bool registered = false;
    NotRenamed not_renamed;
    // The list is read line by line: the window stays usable and may refill
    // it while the run goes on.
    for (int i = 0; i < list.Count(); ++i) {
        if (list.Checked(i)) {
            const std::string folder = ExistingFolderPath(listing_folder ? listing_folder() : "");
            if (!folder.empty()) {
                const std::string file = folder + list.Text(i);
                if (!std::exchange(registered, true))
                    register_ticked(list, i, folder, run.Files);
                run.Files.TakeTurn(file);
                not_renamed.Note(file, FormFileRe(options.Options(), file, &run), run);
            }
        }
        dialog->SetProgress(k_progress_text, list.Count() - 1, i);
        if (dialog->Cancelled()) {
            dialog.reset();
            not_renamed.Report(host);
            return;
        }
        host.ProcessMessages();
    }
    dialog.reset();
    not_renamed.Report(host);
    EndSignal(host, options.Options());
}

void SetUpFindFile3(TFindFile& finder)
{
    finder.SetFileMask({});
    finder.IsFindSub = false;
    finder.CheckTimeIs = TTimeFunc::tmNone;
    finder.CheckTimeKind = TTimeKind::tmLastWrite;
}

RenameListing ListRenameFolder(const std::string& folder,
                               const std::function<void()>& process_messages)
{
    RenameListing listing;
    TFindFile finder;
    SetUpFindFile3(finder);
    finder.ProcessMessages = process_messages;
    finder.OnFind = [&listing](const std::string& name, const std::string&, TSearchRec, bool&) {
        listing.Names.push_back(name);
        ++listing.FoundCount;
    };
    finder.FolderName = folder;
    finder.Execute();
    return listing;
}

std::string FoundFilesLabel(int found_count)
{
    return std::to_string(found_count) + " Files.";
}

} // namespace zumo
