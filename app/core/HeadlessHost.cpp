#include "app/core/HeadlessHost.h"

#include "platform/beep.h"
#include "platform/shown_text.h"

namespace zumo {

namespace {

class SilentProgress : public ProgressDialog
{
public:
    SilentProgress(const std::function<bool()>& stop_requested,
                   const std::function<void()>& process_messages)
        : m_stop_requested(stop_requested), m_process_messages(process_messages)
    {
    }
    void SetCaption(const std::string&) override {}
    void SetSmooth(bool) override {}
    void SetProgress(const std::string&, int, int) override
    {
        if (m_process_messages)
            m_process_messages();
    }
    bool Cancelled() const override { return m_stop_requested && m_stop_requested(); }

private:
    std::function<bool()> m_stop_requested;
    std::function<void()> m_process_messages;
};

} // namespace

HeadlessUserHost::HeadlessUserHost(std::ostream& out, std::function<bool()> stop_requested,
                                   std::function<void()> process_messages)
    : m_out(out), m_stop_requested(std::move(stop_requested)),
      m_process_messages(std::move(process_messages))
{
}

void HeadlessUserHost::line(const std::string& text)
{
    m_out << "zumo: ";
    if (m_current_file) // an empty argument is named too
        m_out << (m_current_file->empty() ? "\"\"" : platform::shown_name(*m_current_file)) << ": ";
    m_out << platform::shown_text(text) << '\n' << std::flush;
    if (m_current_file)
        m_file_reported = true;
}

Answer HeadlessUserHost::Ask(const std::string& caption, const std::string& text, Buttons buttons)
{
    const bool yes_no = buttons == Buttons::YesNo;
    line(caption + ": " + text + " -> " + (yes_no ? "はい(&Y)" : "キャンセル"));
    return yes_no ? Answer::Yes : Answer::Cancel;
}

void HeadlessUserHost::ShowMessage(const std::string& text)
{
    line(text);
}

void HeadlessUserHost::ShowFailure(const std::string& file_name, const std::string& text,
                                   const std::string& reason)
{
    if (m_current_file != file_name) {
        line(FailureMessage(text, file_name, reason));
        return;
    }
    line(reason.empty() ? text : text + ": " + reason);
}

void HeadlessUserHost::Beep()
{
    platform::MessageBeep();
}

std::unique_ptr<ProgressDialog> HeadlessUserHost::ShowProgress(const std::string&)
{
    return std::make_unique<SilentProgress>(m_stop_requested, m_process_messages);
}

void HeadlessUserHost::ProcessMessages()
{
    if (m_process_messages)
        m_process_messages();
}

void HeadlessUserHost::FileStarted(const std::string& path)
{
    m_current_file = path;
    m_file_reported = false;
}

void HeadlessUserHost::FileFinished(const std::string& path, std::optional<FileOutcome> outcome)
{
    if (!outcome)
        line("not processed: no drop mode is selected (\"Drag & Drop　変換\")");
    else if (*outcome == FileOutcome::Skipped)
        line("skipped");
    else if (*outcome == FileOutcome::Failed && !m_file_reported)
        // A rename fails without a message of its own.
        line(m_silent_reason.empty() ? std::string("failed") : "failed: " + m_silent_reason);
    (void)path;
    m_silent_reason.clear();
    m_current_file.reset();
}

void HeadlessUserHost::FileFailedSilently(const std::string&, const std::string& reason)
{
    m_silent_reason = reason;
}

void HeadlessUserHost::RunEnded(const RunSummary& summary, const std::string& stopped_at)
{
    m_current_file.reset();
    switch (summary.end) {
    case RunEnd::NoArguments:
        line("no display and no files: nothing to do (see zumo --help)");
        break;
    case RunEnd::StoppedAtNonGif:
        line(stopped_at + ": not a GIF file; the GIF conversion run stops here");
        break;
    case RunEnd::Interrupted:
        line("stopped by a signal after the file in progress");
        break;
    case RunEnd::Cancelled:
        line("cancelled");
        break;
    case RunEnd::Completed:
        break;
    }
}

} // namespace zumo
