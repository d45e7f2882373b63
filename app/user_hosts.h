// The user host of the window: QtUserHost answers the engine with modal
// message boxes and the progress dialog over the main window. (Runs without
// a display use the headless host of app/core instead.)
#pragma once

#include "convert/user_host.h"

#include <QPointer>
#include <QWidget>

namespace zumo {

class QtUserHost : public UserHost
{
public:
    explicit QtUserHost(QWidget* owner) : m_owner(owner) {}

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override;
    void ShowMessage(const std::string& text) override;
    void Beep() override;
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override;
    void ProcessMessages() override;
    void Idle() override; // repaints and clicks while a batch waits for its workers
    bool RunsBatchesAside() const override { return true; }

private:
    QPointer<QWidget> m_owner;
};

// A stop was requested (SIGINT, SIGTERM) while a modal box or dialog waits
// for the user: answers it the way that skips, as a run without a display
// does ("はい(&Y)" to the folder question, "キャンセル" to a confirmation,
// "OK" to a message; any other modal dialog is cancelled), so that the run
// gets to its next stop check. Returns whether there was one to answer.
bool AnswerModalForAStop();

// The caption of plain messages: the application's title.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

} // namespace zumo
