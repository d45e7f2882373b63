// The user host of a run without a display: messages and questions go to
// standard error, one line each, naming the file they are about (names are
// shown by their bytes inside the UTF-8 text); every
// question takes the answer that skips (YesNo: "はい(&Y)", which for the
// folder question "…処理を中断しますか?" skips the file; OkCancel:
// "キャンセル", which processes nothing). The progress dialog is silent and
// reports a stop request as its cancel. A file that failed without a
// message of its own (a rename) gets a line too, so that an exit status of
// 1 always names its files.
#pragma once

#include "app/core/FileRuns.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace zumo {

class HeadlessUserHost : public UserHost, public RunObserver
{
public:
    // stop_requested: the dialog's Cancelled; process_messages: what
    // ProcessMessages and SetProgress run (the Qt event loop, may be empty).
    HeadlessUserHost(std::ostream& out, std::function<bool()> stop_requested,
                     std::function<void()> process_messages = {});

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override;
    void ShowMessage(const std::string& text) override;
    // "zumo: <file>: <text>: <reason>": the file is named once, first.
    void ShowFailure(const std::string& file_name, const std::string& text,
                     const std::string& reason) override;
    void Beep() override;
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override;
    void ProcessMessages() override;

    void FileStarted(const std::string& path) override;
    void FileFinished(const std::string& path, std::optional<FileOutcome> outcome) override;
    void FileFailedSilently(const std::string& path, const std::string& reason) override;
    void RunEnded(const RunSummary& summary, const std::string& stopped_at) override;

private:
    void line(const std::string& text);

    std::ostream& m_out;
    std::function<bool()> m_stop_requested;
    std::function<void()> m_process_messages;
    std::optional<std::string> m_current_file; // between FileStarted and FileFinished
    bool m_file_reported = false;
    std::string m_silent_reason; // why m_current_file failed without a message              // a
                                 // line about m_current_file was written
};

} // namespace zumo
