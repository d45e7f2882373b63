// The runs' FileProcessor over the real single-file operations: the
// conversion engine's ConvertImageFile and ConvertGifFile, and the rename
// engine's FormFileRe with a fresh option snapshot per file. Header only:
// whoever uses it links zumo_convert and zumo_rename.
#pragma once

#include "app/core/FileRuns.h"
#include "convert/conversion.h"
#include "rename/FileRename.h"
#include "rename/RenameJournal.h"

#include <memory>

namespace zumo {

inline FileOutcome to_outcome(FileResult result)
{
    switch (result) {
    case FileResult::Written:
        return FileOutcome::Done;
    case FileResult::Skipped:
        return FileOutcome::Skipped;
    case FileResult::Failed:
        break;
    }
    return FileOutcome::Failed;
}

inline FileOutcome to_outcome(RenameResult result)
{
    switch (result) {
    case RenameResult::Done:
        return FileOutcome::Done;
    case RenameResult::Skipped:
        return FileOutcome::Skipped;
    case RenameResult::Failed:
        break;
    }
    return FileOutcome::Failed;
}

// One processor serves one run.
class EngineFileProcessor : public FileProcessor
{
public:
    // Both must outlive the processor. engine reports through the host it
    // was made with: the window's, or the headless one without a display.
    EngineFileProcessor(ConversionEngine& engine, OptionSource& options)
        : m_engine(engine), m_options(options),
          m_journal(DefaultJournalFolder(),
                    [&engine](const std::string& text) { engine.Host().ShowMessage(text); })
    {
        m_run.Journal = &m_journal;
    }
    FileOutcome ConvertImageFile(const std::string& path) override
    {
        m_silent_failure.clear();
        return to_outcome(m_engine.ConvertImageFile(path, &m_run.Files));
    }
    FileOutcome ConvertGifFile(const std::string& path) override
    {
        m_silent_failure.clear();
        return to_outcome(m_engine.ConvertGifFile(path, &m_run.Files));
    }
    FileOutcome FormFileRe(const std::string& path) override
    {
        m_run.LastFailure.clear();
        const FileOutcome outcome = to_outcome(zumo::FormFileRe(m_options.Options(), path, &m_run));
        m_silent_failure = outcome == FileOutcome::Failed ? m_run.LastFailure : std::string();
        return outcome;
    }
    std::string SilentFailure() const override { return m_silent_failure; }
    int Jobs() override { return BatchJobs(m_options.Options(), m_engine.JobsOverride()); }
    std::optional<BatchFile> ConversionJob(int drop_mode, const std::string& path,
                                           FileOutcome* outcome, std::string* failure) override
    {
        const ConversionKind kind = drop_mode == 1 ? ConversionKind::Gif : ConversionKind::Image;
        auto options = std::make_shared<const OptionSnapshot>(m_options.Options());
        platform::RunFiles& run = m_run.Files;
        BatchFile job;
        // An input that was not there when the run began may be an earlier
        // file's output: it is read once every earlier file has ended.
        job.alone = !run.Pending(path);
        job.work = [kind, path, options, &run, outcome, failure](UserHost& host, FileTurn* turn) {
            *outcome = to_outcome(ConvertFile(kind, path, *options, host, &run, turn, failure));
        };
        return job;
    }
    void JobFinished(const std::string& failure) override
    {
        m_silent_failure.clear();
        if (!failure.empty())
            m_engine.SetLastFailure(failure);
    }
    platform::RunFiles* Run() override { return &m_run.Files; }

private:
    ConversionEngine& m_engine;
    OptionSource& m_options;
    // Its renames, copies and moves, for an undo (written from the first on).
    RenameJournal m_journal;
    // What this run made and its inputs still to come (a run replaces
    // neither), where its numbered names go on, and its journal.
    RenameRun m_run;
    std::string m_silent_failure; // why the last rename failed
};

} // namespace zumo
