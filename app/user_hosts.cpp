#include "app/user_hosts.h"

#include "convert/StrPprog.h"
#include "platform/beep.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace zumo {

namespace {

const char* const k_title_property = "zumoApplicationTitle";

QString from_bytes(const std::string& text)
{
    return QString::fromLocal8Bit(text);
}

// A progress dialog for runs without a window: never cancelled, shows
// nothing, still lets queued events run.
class SilentProgress : public ProgressDialog {
public:
    void SetCaption(const std::string&) override {}
    void SetSmooth(bool) override {}
    void SetProgress(const std::string&, int, int) override
    {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
    }
    bool Cancelled() const override { return false; }
};

} // namespace

QString ApplicationTitle()
{
    if (auto* app = QCoreApplication::instance())
        return app->property(k_title_property).toString();
    return {};
}

void SetApplicationTitle(const QString& title)
{
    if (auto* app = QCoreApplication::instance())
        app->setProperty(k_title_property, title);
}

// ---- QtUserHost -----------------------------------------------------------

Answer QtUserHost::Ask(const std::string& caption, const std::string& text, Buttons buttons)
{
    QMessageBox box(QMessageBox::Question, from_bytes(caption), from_bytes(text),
                    QMessageBox::NoButton, m_owner);
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    Answer first_answer = Answer::Yes;
    Answer second_answer = Answer::No;
    if (buttons == Buttons::YesNo) {
        first = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
        second = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
    } else {
        first = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        second = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
        first_answer = Answer::Ok;
        second_answer = Answer::Cancel;
    }
    box.setDefaultButton(first);
    // Closing the box counts as the second button.
    box.setEscapeButton(second);
    box.exec();
    return box.clickedButton() == first ? first_answer : second_answer;
}

void QtUserHost::ShowMessage(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), from_bytes(text), QMessageBox::Ok,
                    m_owner);
    box.exec();
}

void QtUserHost::Beep()
{
    platform::MessageBeep();
}

std::unique_ptr<ProgressDialog> QtUserHost::ShowProgress(const std::string& text)
{
    return std::make_unique<StrProgressDialog>(m_owner, text);
}

void QtUserHost::ProcessMessages()
{
    QCoreApplication::processEvents();
}

// ---- StderrUserHost -------------------------------------------------------

StderrUserHost::StderrUserHost(std::ostream& out) : m_out(out) {}

Answer StderrUserHost::Ask(const std::string& caption, const std::string& text, Buttons buttons)
{
    const Answer answer = buttons == Buttons::YesNo ? Answer::Yes : Answer::Cancel;
    m_out << caption << ": " << text << " -> " << (answer == Answer::Yes ? "Yes" : "Cancel")
          << '\n';
    return answer;
}

void StderrUserHost::ShowMessage(const std::string& text)
{
    ++m_messages;
    m_out << text << '\n';
}

void StderrUserHost::Beep()
{
    platform::MessageBeep();
}

std::unique_ptr<ProgressDialog> StderrUserHost::ShowProgress(const std::string&)
{
    return std::make_unique<SilentProgress>();
}

void StderrUserHost::ProcessMessages()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace zumo
