// Test doubles for the engine's view of the window: a user host that
// records every call as a line of text and answers questions from a script,
// an option source that hands out a settable snapshot, and a check list.
// Other test folders may include this header.
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

namespace zumo::test {

class FakeHost : public UserHost
{
public:
    // Answers handed out by Ask in order; when they run out, Ask answers
    // default_answer.
    std::deque<Answer> answers;
    Answer default_answer = Answer::Ok;

    // Every call, in order, for example "Ask(確認|3個の…|OkCancel)", "Beep",
    // "Message(画像を処理できません)", "Show(変換中です)", "Caption(Zumo変換)",
    // "Smooth", "Progress(変換中です|4|1)", "Release", "ProcessMessages".
    std::vector<std::string> events;
    // Bar values set through SetProgress, as progress_percent gives them.
    std::vector<int> percents;

    // Hooks run inside SetProgress (after the bar is set) and inside
    // ProcessMessages, with the number of earlier calls of the same kind:
    // a test clicks "キャンセル" or changes options there.
    std::function<void(int call)> on_set_progress;
    std::function<void(int call)> on_process_messages;

    // Sets the Cancelled flag of the shown dialog, as its button does.
    void ClickCancel() { m_cancelled = true; }

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override
    {
        events.push_back("Ask(" + caption + "|" + text + "|" +
                         (buttons == Buttons::YesNo ? "YesNo" : "OkCancel") + ")");
        if (answers.empty())
            return default_answer;
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
        ++m_dialogs_shown;
        m_cancelled = false;
        return std::make_unique<Dialog>(*this);
    }

    int Count(const std::string& event) const
    {
        int n = 0;
        for (const std::string& e : events)
            n += e == event;
        return n;
    }
    int CountPrefix(const std::string& prefix) const
    {
        int n = 0;
        for (const std::string& e : events)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }
    int dialogs_shown() const { return m_dialogs_shown; }
    int dialogs_released() const { return m_dialogs_released; }

private:
    class Dialog : public ProgressDialog
    {
    public:
        explicit Dialog(FakeHost& host) : m_host(host) {}
        ~Dialog() override
        {
            m_host.events.push_back("Release");
            ++m_host.m_dialogs_released;
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
            m_host.percents.push_back(progress_percent(max, position));
            if (m_host.on_set_progress)
                m_host.on_set_progress(m_host.m_progress_calls);
            ++m_host.m_progress_calls;
        }
        bool Cancelled() const override { return m_host.m_cancelled; }

    private:
        FakeHost& m_host;
    };

    bool m_cancelled = false;
    int m_process_calls = 0;
    int m_progress_calls = 0;
    int m_dialogs_shown = 0;
    int m_dialogs_released = 0;
};

// Hands out `current` and counts the snapshots taken.
class FakeOptions : public OptionSource
{
public:
    OptionSnapshot current;
    int snapshots = 0;

    OptionSnapshot Options() override
    {
        ++snapshots;
        return current;
    }
};

class FakeCheckList : public CheckListSource
{
public:
    std::vector<std::pair<std::string, bool>> entries; // text, checked

    int Count() const override { return static_cast<int>(entries.size()); }
    bool Checked(int index) const override
    {
        return entries.at(static_cast<std::size_t>(index)).second;
    }
    std::string Text(int index) const override
    {
        return entries.at(static_cast<std::size_t>(index)).first;
    }
};

} // namespace zumo::test
