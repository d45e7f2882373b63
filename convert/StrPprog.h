// TFormStrProgress: the modeless progress dialog every run over several
// files shows. Label1 carries the text, ProgressBar1 a percentage and
// Button1 "キャンセル" sets Cancelled, which the run reads after each
// SetProgress. Closing it with the title-bar box only hides it; the run
// goes on until it releases the dialog.
#pragma once

#include "convert/user_host.h"

#include <QDialog>
#include <QPointer>

#include <memory>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

class TFormStrProgress : public QDialog
{
    Q_OBJECT

public:
    explicit TFormStrProgress(QWidget* owner);

    // Creates the dialog owned by owner, with Label1 = text and the bar at 0,
    // shows it modeless, waits (up to a second) until the window system
    // shows it and paints it, and returns it. The caller sets the caption.
    static TFormStrProgress* ShowProgress(QWidget* owner, const QString& text);

    // Label1 = text, bar = position / max in percent (max 0 counts as full),
    // both repainted at once; then pending events are processed so that a
    // click on キャンセル is delivered.
    void SetProgress(const QString& text, int max, int position);
    // Continuous bar (true) or the default segmented one.
    void SetSmooth(bool smooth);
    bool Cancelled() const { return m_cancelled; }
    // What キャンセル does, for the owner: the run stops before its next file.
    void Cancel() { m_cancelled = true; }
    // Whether the window system shows the dialog now.
    bool isExposed() const;

    QLabel* Label1;
    QProgressBar* ProgressBar1;
    QPushButton* Button1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Button1Click();
    void paint_now();

    bool m_cancelled = false;
};

namespace zumo {

// The engine's view of one shown TFormStrProgress. Destroying it releases
// the dialog, unless its owner has already taken it down.
class StrProgressDialog : public ProgressDialog
{
public:
    StrProgressDialog(QWidget* owner, const std::string& text);
    ~StrProgressDialog() override;

    void SetCaption(const std::string& caption) override;
    void SetSmooth(bool smooth) override;
    void SetProgress(const std::string& text, int max, int position) override;
    bool Cancelled() const override;

    TFormStrProgress* form() const { return m_form; }

private:
    QPointer<TFormStrProgress> m_form;
};

} // namespace zumo
