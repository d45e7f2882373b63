// A user host for window tests: questions are answered from a script and
// recorded, messages and beeps are recorded, and the progress dialog is the
// real TFormStrProgress over the window, so cancel and texts are the ones
// the user sees.
#pragma once

#include "convert/StrPprog.h"
#include "convert/user_host.h"

#include <QApplication>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace zumo::testing {

class ObservedProgress : public StrProgressDialog
{
public:
    ObservedProgress(QWidget* owner, const std::string& text, std::function<void()> progress_set)
        : StrProgressDialog(owner, text), m_progress_set(std::move(progress_set))
    {
    }
    void SetProgress(const std::string& text, int max, int position) override
    {
        StrProgressDialog::SetProgress(text, max, position);
        if (m_progress_set)
            m_progress_set();
    }

private:
    std::function<void()> m_progress_set;
};

class ScriptedHost : public UserHost
{
public:
    explicit ScriptedHost(QWidget* owner) : m_owner(owner) {}

    std::deque<Answer> answers; // handed out in order; then Cancel
    std::vector<std::string> questions;
    std::vector<std::string> messages;
    int beeps = 0;
    int dialogs_shown = 0;
    std::vector<TFormStrProgress*> forms;
    // Called after every SetProgress of the dialogs shown, as the events
    // that SetProgress lets through would run.
    std::function<void()> progress_set;

    Answer Ask(const std::string& caption, const std::string& text, Buttons) override
    {
        questions.push_back(caption + "|" + text);
        if (answers.empty())
            return Answer::Cancel;
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void Beep() override { ++beeps; }
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override
    {
        ++dialogs_shown;
        auto dialog = std::make_unique<ObservedProgress>(m_owner, text, progress_set);
        forms.push_back(dialog->form());
        return dialog;
    }
    void ProcessMessages() override { QCoreApplication::processEvents(); }

private:
    QWidget* m_owner;
};

} // namespace zumo::testing
