// The user hosts of the program: QtUserHost answers the engine with modal
// message boxes and the progress dialog over the main window;
// StderrUserHost serves runs without a display, writing its messages to
// standard error and taking, for every question, the answer that skips.
#pragma once

#include "convert/user_host.h"

#include <QPointer>
#include <QWidget>

#include <ostream>

namespace zumo {

class QtUserHost : public UserHost {
public:
    explicit QtUserHost(QWidget* owner) : m_owner(owner) {}

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override;
    void ShowMessage(const std::string& text) override;
    void Beep() override;
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override;
    void ProcessMessages() override;

private:
    QPointer<QWidget> m_owner;
};

class StderrUserHost : public UserHost {
public:
    explicit StderrUserHost(std::ostream& out);

    // YesNo answers Yes (the folder question: skip this file), OkCancel
    // answers Cancel (the batch question: process nothing).
    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override;
    void ShowMessage(const std::string& text) override;
    void Beep() override;
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override;
    void ProcessMessages() override;

    // Messages shown so far: a run reports failure through its exit status.
    int MessageCount() const { return m_messages; }

private:
    std::ostream& m_out;
    int m_messages = 0;
};

// The caption of plain messages: the application's title.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

} // namespace zumo
