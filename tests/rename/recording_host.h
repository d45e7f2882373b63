// Test doubles for the rename runs: a user host that records every call as
// a line of text and answers from a script, an option source, a check list.
#pragma once

#include "convert/check_list.h"
#include "convert/options.h"
#include "convert/user_host.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zumo::rename_test {

class RecordingHost : public UserHost
{
public:
    std::deque<Answer> answers; // then Ok
    // "Ask(caption|text|OkCancel)", "Show(text)", "Caption(text)",
    // "Progress(text|max|position)", "ProcessMessages", "Release", "Beep".
    std::vector<std::string> events;
    // Run inside SetProgress and ProcessMessages with the number of earlier
    // calls of the same kind: a test clicks "キャンセル" there.
    std::function<void(int call)> on_set_progress;
    std::function<void(int call)> on_process_messages;

    void ClickCancel() { m_cancelled = true; }

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override
    {
        events.push_back("Ask(" + caption + "|" + text + "|" +
                         (buttons == Buttons::YesNo ? "YesNo" : "OkCancel") + ")");
        if (answers.empty())
            return Answer::Ok;
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowMessage(const std::string& text) override
    {
        events.push_back("Message(" + text + ")");
    }
    void Beep() override { events.push_back("Beep"); }
    void ProcessMessages() override
    {
        events.push_back("ProcessMessages");
        if (on_process_messages)
            on_process_messages(m_process_calls);
        ++m_process_calls;
    }
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override
    {
        events.push_back("Show(" + text + ")");
        m_cancelled = false;
        ++m_open_dialogs;
        return std::make_unique<Dialog>(*this);
    }

    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const std::string& e : events)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }
    int open_dialogs() const { return m_open_dialogs; }

private:
    class Dialog : public ProgressDialog
    {
    public:
        explicit Dialog(RecordingHost& host) : m_host(host) {}
        ~Dialog() override
        {
            m_host.events.push_back("Release");
            --m_host.m_open_dialogs;
        }
        void SetCaption(const std::string& caption) override
        {
            m_host.events.push_back("Caption(" + caption + ")");
        }
        void SetSmooth(bool smooth) override
        {
            m_host.events.push_back(smooth ? "Smooth" : "Segmented");
        }
        void SetProgress(const std::string& text, int max, int position) override
        {
            m_host.events.push_back("Progress(" + text + "|" + std::to_string(max) + "|" +
                                    std::to_string(position) + ")");
            if (m_host.on_set_progress)
                m_host.on_set_progress(m_host.m_progress_calls);
            ++m_host.m_progress_calls;
        }
        bool Cancelled() const override { return m_host.m_cancelled; }

    private:
        RecordingHost& m_host;
    };

    bool m_cancelled = false;
    int m_process_calls = 0;
    int m_progress_calls = 0;
    int m_open_dialogs = 0;
};

class SettableOptions : public OptionSource
{
public:
    OptionSnapshot current;
    OptionSnapshot Options() override { return current; }
};

class ListedFiles : public CheckListSource
{
public:
    std::vector<std::pair<std::string, bool>> entries; // text, ticked
    int Count() const override { return static_cast<int>(entries.size()); }
    bool Checked(int index) const override { return entries.at(static_cast<size_t>(index)).second; }
    std::string Text(int index) const override
    {
        return entries.at(static_cast<size_t>(index)).first;
    }
};

} // namespace zumo::rename_test
