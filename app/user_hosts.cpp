#include "app/user_hosts.h"

#include "convert/StrPprog.h"
#include "platform/beep.h"
#include "shell/local_names.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace zumo {

namespace {

const char* const k_title_property = "zumoApplicationTitle";

// Messages may name files whose names are not UTF-8: those bytes alone
// are rendered apart, the Japanese text around them stays as it is.
QString from_bytes(const std::string& text)
{
    return ShownText(text);
}

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

bool AnswerModalForAStop()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        for (const QMessageBox::ButtonRole role :
             {QMessageBox::YesRole, QMessageBox::RejectRole, QMessageBox::AcceptRole}) {
            for (QAbstractButton* button : box->buttons()) {
                if (box->buttonRole(button) == role) {
                    button->click();
                    return true;
                }
            }
        }
        box->reject();
        return true;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        dialog->reject();
        return true;
    }
    return false;
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

void QtUserHost::Idle()
{
    QCoreApplication::processEvents();
}

} // namespace zumo
