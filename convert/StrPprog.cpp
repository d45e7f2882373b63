#include "convert/StrPprog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QWindow>

namespace {

constexpr qint64 k_expose_wait_ms = 1000;

// The dialog is laid out in pixels at 96 DPI and scaled with the screen.
int scaled(const QWidget* w, int px)
{
    const qreal dpi = w->logicalDpiY() > 0 ? w->logicalDpiY() : 96;
    return qRound(px * dpi / 96.0);
}

QFont dialog_font(const QWidget* w)
{
    QFont f;
    f.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                   QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAPGothic")});
    f.setPixelSize(scaled(w, 12));
    return f;
}

} // namespace

TFormStrProgress::TFormStrProgress(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("FormStrProgress"));
    setWindowTitle(QStringLiteral("TStringsPrinter"));
    setModal(false);
    setFont(dialog_font(this));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(scaled(this, 20), scaled(this, 10), scaled(this, 334), scaled(this, 18));

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(scaled(this, 20), scaled(this, 31), scaled(this, 334),
                              scaled(this, 16));

    Button1 = new QPushButton(QStringLiteral("キャンセル"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    Button1->setGeometry(scaled(this, 245), scaled(this, 59), scaled(this, 75), scaled(this, 25));
    connect(Button1, &QPushButton::clicked, this, &TFormStrProgress::Button1Click);

    setFixedSize(scaled(this, 373), scaled(this, 91));
    SetSmooth(false);
}

TFormStrProgress* TFormStrProgress::ShowProgress(QWidget* owner, const QString& text)
{
    auto* form = new TFormStrProgress(owner);
    form->Label1->setText(text);
    form->ProgressBar1->setValue(0);
    // Centred on the screen, not on the owner.
    if (QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), form->size());
        frame.moveCenter(screen->availableGeometry().center());
        form->move(frame.topLeft());
    }
    form->show();
    form->paint_now();
    return form;
}

void TFormStrProgress::paint_now()
{
    // The run that shows the dialog keeps the thread busy until its first
    // SetProgress and through every file: unless the window system has
    // mapped the dialog and it is painted now, it stays an empty frame until
    // the first file is done. Without a window manager answering, the wait
    // gives up after a second and the dialog paints when it can.
    QElapsedTimer waited;
    waited.start();
    while (!isExposed() && waited.elapsed() < k_expose_wait_ms) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (!isExposed())
            QThread::msleep(2);
    }
    repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool TFormStrProgress::isExposed() const
{
    const QWindow* window = windowHandle();
    return window != nullptr && window->isExposed();
}

void TFormStrProgress::SetProgress(const QString& text, int max, int position)
{
    Label1->setText(text);
    Label1->repaint();
    ProgressBar1->setValue(zumo::progress_percent(max, position));
    ProgressBar1->repaint();
    QCoreApplication::processEvents();
}

void TFormStrProgress::SetSmooth(bool smooth)
{
    // The default bar is drawn in blocks, the smooth one as one continuous
    // chunk, whatever the widget style draws by itself.
    const QString chunk =
        smooth ? QStringLiteral("QProgressBar::chunk { background: palette(highlight); }")
               : QStringLiteral("QProgressBar::chunk { background: palette(highlight);"
                                " width: %1px; margin: 1px; }")
                     .arg(scaled(this, 6));
    ProgressBar1->setStyleSheet(QStringLiteral("QProgressBar { border: 1px solid palette(mid);"
                                               " background: palette(base); }") +
                                chunk);
    ProgressBar1->setProperty("smooth", smooth);
}

void TFormStrProgress::closeEvent(QCloseEvent* event)
{
    // The run that showed the dialog releases it; the close box only hides.
    event->ignore();
    hide();
}

void TFormStrProgress::Button1Click()
{
    Cancel();
}

namespace zumo {

StrProgressDialog::StrProgressDialog(QWidget* owner, const std::string& text)
    : m_form(TFormStrProgress::ShowProgress(owner, QString::fromStdString(text)))
{
}

StrProgressDialog::~StrProgressDialog()
{
    delete m_form.data();
}

void StrProgressDialog::SetCaption(const std::string& caption)
{
    if (m_form)
        m_form->setWindowTitle(QString::fromStdString(caption));
}

void StrProgressDialog::SetSmooth(bool smooth)
{
    if (m_form)
        m_form->SetSmooth(smooth);
}

void StrProgressDialog::SetProgress(const std::string& text, int max, int position)
{
    if (m_form)
        m_form->SetProgress(QString::fromStdString(text), max, position);
    else
        QCoreApplication::processEvents();
}

bool StrProgressDialog::Cancelled() const
{
    // A dialog its owner took down with it cannot be answered any more:
    // the run stops rather than going on without a way to cancel.
    return m_form ? m_form->Cancelled() : true;
}

} // namespace zumo
