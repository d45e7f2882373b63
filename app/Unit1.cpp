#include "app/Unit1.h"

#include "app/core/CommandLine.h"
#include "app/core/DropRun.h"
#include "app/core/EngineFiles.h"
#include "app/core/FindFileSearch.h"
#include "app/core/Listing.h"
#include "app/core/StopSignals.h"
#include "app/core/UriList.h"
#include "app/form_adapters.h"
#include "app/user_hosts.h"
#include "convert/StrPprog.h"
#include "convert/conversion.h"
#include "graphics/picture.h"
#include "rename/RenameRuns.h"
#include "rename/RenameUndo.h"
#include "shell/local_names.h"
#include "spi/helper/spi_helper.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

#include <unistd.h>

namespace {

const char* const k_program_name = "Zumo変換";
const char* const k_image_filter = "jpg,png,bmp,webp,tiff,heif,avif,jxl|*.jpg;*.jpeg;*.png;*.bmp;"
                                   "*.webp;*.tif;*.tiff;*.heic;*.heif;*.avif;*.jxl";
const char* const k_gif_filter = "gif|*.gif";

// This machine's name, as a file URL may name it.
std::string host_name()
{
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

QString from_bytes(const std::string& text)
{
    return QString::fromLocal8Bit(text);
}

// The picture object's content as an image, sharing the graphic's pixels
// instead of copying them; an empty picture gives a null image. fit is the
// area a stretched picture is scaled into (a JPEG then decodes at a reduced
// scale), empty for a picture shown at its own size.
QImage to_qimage(const zumo::TPicture& picture, QSize fit)
{
    const zumo::TGraphic* graphic = picture.Graphic();
    if (graphic == nullptr || graphic->Width() <= 0 || graphic->Height() <= 0)
        return {};
    auto pixels = std::make_unique<std::shared_ptr<const zumo::TPixelImage>>(
        graphic->DisplayPixels(fit.width(), fit.height()));
    const zumo::TPixelImage& image = **pixels;
    if (image.width <= 0 || image.height <= 0 ||
        image.bgra.size() < static_cast<std::size_t>(image.width) * image.height * 4)
        return {};
    // Top-down BGRA is QImage's 32-bit layout on little-endian machines. The
    // image keeps the pixels alive until its last copy goes.
    const auto release = [](void* held) {
        delete static_cast<std::shared_ptr<const zumo::TPixelImage>*>(held);
    };
    const uchar* bits = image.bgra.data();
    return QImage(bits, image.width, image.height, image.width * 4,
                  image.has_alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, release,
                  pixels.release());
}

// While a plug-in's helper is slow to answer a call made on the window's
// thread (the preview's calls are made on its worker, where this does
// nothing), the window goes on painting and shows the busy cursor. What
// the user does meanwhile (clicks, keys, a close) is held back until the
// answer is in, so nothing runs into the half-done preview.
void keep_painting(zumo::HelperWait wait)
{
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread())
        return;
    switch (wait) {
    case zumo::HelperWait::Began:
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        [[fallthrough]];
    case zumo::HelperWait::Going:
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        break;
    case zumo::HelperWait::Ended:
        QGuiApplication::restoreOverrideCursor();
        break;
    }
}

} // namespace

TForm1::TForm1(TForm1Hooks hooks, zumo::UserHost* host, QWidget* parent)
    : QMainWindow(parent), OpenDialog1(this), m_hooks(std::move(hooks)), m_host_override(host)
{
    m_own_host = std::make_unique<zumo::QtUserHost>(this);
    FindFile1.SetFileMask(zumo::listing_masks(zumo::ListingKind::Pictures));
    FindFile1.IsFindSub = false;
    FindFile2.SetFileMask({"*.gif"});
    FindFile2.IsFindSub = false;
    zumo::SetUpFindFile3(FindFile3);
    FindFile3.OnFind = [this](const std::string& name, const std::string&, zumo::TSearchRec,
                              bool&) { FindFile3Find(name); };
    for (zumo::TFindFile* finder : {&FindFile1, &FindFile2, &FindFile3})
        finder->ProcessMessages = [this] { Host().ProcessMessages(); };

    // One preview at a time beside the window (see CheckListBox1Click).
    m_preview_pool.setMaxThreadCount(1);
    build_layout();
    connect_handlers();
    zumo::SetHelperWaitHook(keep_painting);
    FormCreate();
}

TForm1::~TForm1()
{
    // A preview still decoding is given up and waited for: its plug-ins go
    // with FormDestroy, and its result must find no window. A plug-in that
    // reports progress stops at its next report; a hung helper is stopped
    // at its deadline.
    drop_previews();
    m_preview_pool.clear();
    m_preview_pool.waitForDone();
    // No events for a window on its way out, whatever the helpers do.
    zumo::SetHelperWaitHook(nullptr);
    FormDestroy();
}

// ---- option source and host -----------------------------------------------

zumo::OptionSnapshot TForm1::Options()
{
    zumo::OptionSnapshot o;
    o.CheckBox1 = CheckBox1->isChecked();
    o.Edit1 = zumo::EditBytes(Edit1);
    o.CheckBox6 = CheckBox6->isChecked();
    o.Edit7 = zumo::EditBytes(Edit7);
    o.RadioGroup1 = RadioGroup1->ItemIndex();
    o.CheckBox7 = CheckBox7->isChecked();
    o.RadioGroup5 = RadioGroup5->ItemIndex();
    o.RadioGroup6 = RadioGroup6->ItemIndex();
    o.UpDown3 = UpDown3->Position();
    o.RadioGroup2 = RadioGroup2->ItemIndex();
    o.CheckBox5 = CheckBox5->isChecked();
    o.UpDown1 = UpDown1->Position();
    o.RadioGroup8 = RadioGroup8->ItemIndex();
    o.RadioGroup9 = RadioGroup9->ItemIndex();
    o.RadioGroup10 = RadioGroup10->ItemIndex();
    o.RadioGroup7 = RadioGroup7->ItemIndex();
    o.CheckBox3 = CheckBox3->isChecked();
    o.UpDown2 = UpDown2->Position();
    o.ColorGrid1 = ColorGrid1->ForegroundColor();
    o.CheckBox9 = CheckBox9->isChecked();
    o.CheckBox10 = CheckBox10->isChecked();
    o.CheckBox11 = CheckBox11->isChecked();
    o.CheckBox8 = CheckBox8->isChecked();
    o.Edit8 = zumo::EditBytes(Edit8);
    o.CheckBox2 = CheckBox2->isChecked();
    o.RadioGroup3 = RadioGroup3->ItemIndex();
    o.CheckBox4 = CheckBox4->isChecked();
    o.Edit5 = zumo::EditBytes(Edit5);
    o.Edit6 = zumo::EditBytes(Edit6);
    o.RadioGroup4 = RadioGroup4->ItemIndex();
    o.TurnAngle = m_turn_angle;
    o.Interlaced = m_interlaced;
    return o;
}

zumo::UserHost& TForm1::Host()
{
    return m_host_override ? *m_host_override : *m_own_host;
}

WindowPlacement TForm1::Placement() const
{
    QRect normal = geometry();
    if ((isMaximized() || isMinimized()) && normalGeometry().isValid())
        normal = normalGeometry();
    const QRect outer = frameGeometry();
    // The frame adds the title bar and borders around the client bounds.
    const int extra_width = outer.width() - geometry().width();
    const int extra_height = outer.height() - geometry().height();
    WindowPlacement placement;
    placement.Width = normal.width() + extra_width;
    placement.Height = normal.height() + extra_height;
    placement.Left = normal.x() - (geometry().x() - outer.x());
    placement.Top = normal.y() - (geometry().y() - outer.y());
    placement.Maximized = isMaximized();
    return placement;
}

void TForm1::SetPlacement(const WindowPlacement& placement)
{
    // The size is fixed (see keep_designed_size); only the position moves
    // the window.
    move(placement.Left, placement.Top);
    if (placement.Maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

void TForm1::Terminate(int exit_status)
{
    m_terminated = true;
    m_exit_status = exit_status;
    // Closing the main window ends the message loop once the running
    // handler has returned. (Asking the application to exit before its loop
    // runs would instead make every later modal loop return at once.)
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm1::SetApplicationTitle(const QString& title)
{
    // The application's title names the program in the task bar: the
    // minimised window shows it as its icon text.
    zumo::SetApplicationTitle(title);
    setWindowIconText(title);
}

void TForm1::SetLabelCaption(QLabel* label, const QString& text)
{
    label->setText(text);
    label->adjustSize();
    label->resize(label->width(), std::min(label->height(), Scaled(16)));
}

// ---- start and end ----------------------------------------------------------

TForm1::RunScope::RunScope(TForm1& form) : m_form(form)
{
    ++m_form.m_runs;
}

TForm1::RunScope::~RunScope()
{
    // The window was closed during the run: once the outermost run has
    // stopped, the program ends (the loop may not have heard of the close
    // while a dialog of the run was still up). Before the loop runs (the
    // command-line run) there is no loop to end: the program sees the
    // closed window and does not start it.
    if (--m_form.m_runs == 0 && m_form.m_closing && QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::quit();
}

template <typename Work> void TForm1::guarded(Work&& work) noexcept
{
    // An error that leaves a handler is shown and the window goes on, as
    // the framework does with an exception that leaves an event handler;
    // one run's failure must not end the program.
    try {
        work();
    } catch (const std::exception& e) {
        report_error(e.what());
    } catch (...) {
        report_error("unexpected error");
    }
}

void TForm1::report_error(const char* what) noexcept
{
    try {
        Host().ShowMessage(what);
    } catch (...) {
        // Nothing left to tell the user with.
    }
}

void TForm1::FormCreate()
{
    // Files dropped from the file manager reach WMDropFiles, wherever on
    // the window they land: the edits would otherwise take them as text.
    setAcceptDrops(true);
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setAcceptDrops(false);
    zumo::MakeEditsSingleLine(this);
    if (m_hooks.FormCreate)
        guarded([this] { m_hooks.FormCreate(*this); });
}

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        FormShow();
    }
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // Checked once the events of this change are through: a window
    // manager may report the new size before the maximised state.
    if (!m_size_check_pending) {
        m_size_check_pending = true;
        QTimer::singleShot(0, this, [this] {
            m_size_check_pending = false;
            keep_designed_size();
        });
    }
}

void TForm1::keep_designed_size()
{
    // Only the normal state has the designed size; maximised, the client
    // keeps its size in the top-left corner of the larger window.
    const Qt::WindowStates other = Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized;
    if (!(windowState() & other) && size() != minimumSize())
        resize(minimumSize());
}

void TForm1::FormShow()
{
    SetApplicationTitle(QString::fromUtf8(k_program_name));
    if (m_hooks.FormShow) {
        const RunScope run(*this);
        guarded([this] { m_hooks.FormShow(*this); });
    }
    // A command-line run that the user's close stopped did not do its work:
    // the program ends as after any run that stopped early.
    if (m_closing && !m_terminated) {
        m_terminated = true;
        m_exit_status = zumo::k_exit_stopped;
    }
    ApplyEnableRule();
}

void TForm1::FormDestroy()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    if (m_hooks.FormDestroy)
        guarded([this] { m_hooks.FormDestroy(*this); });
}

void TForm1::ApplyEnableRule()
{
    const bool usable = !CheckBox1->isChecked();
    CheckBox6->setEnabled(usable);
    Edit7->setEnabled(usable);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

std::vector<std::string> TForm1::DroppedFiles(const QMimeData& data)
{
    // The list as the source wrote it keeps the bytes of names that are not
    // UTF-8; QUrl would decode them as text.
    const QString uri_list = QStringLiteral("text/uri-list");
    if (data.hasFormat(uri_list))
        return zumo::LocalPathsFromUriList(data.data(uri_list).toStdString(), host_name());
    std::vector<std::string> files;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile())
            files.push_back(zumo::LocalPathBytes(QDir::toNativeSeparators(url.toLocalFile())));
    }
    return files;
}

void TForm1::dropEvent(QDropEvent* event)
{
    // The drop is answered at once and its files run from the event loop, as
    // the shell's posted drop message would: the drag source is released,
    // and a close, a cancel or another drop during the run reaches the
    // window as in any other run (the drop handling of the platform is not
    // re-entered from inside its own handler).
    std::vector<std::string> files = DroppedFiles(*event->mimeData());
    event->acceptProposedAction();
    if (files.empty())
        return;
    QMetaObject::invokeMethod(
        this, [this, files = std::move(files)] { WMDropFiles(files); }, Qt::QueuedConnection);
}

void TForm1::WMDropFiles(const std::vector<std::string>& files)
{
    // A drop that was still queued when the window closed is not run.
    if (m_closing)
        return;
    const RunScope run(*this);
    guarded([&] {
        zumo::ConversionEngine engine(*this, Host());
        zumo::EngineFileProcessor processor(engine, *this);
        const auto stop = [this] { return m_closing || zumo::StopRequested(); };
        zumo::RunContext context{*this, Host(), processor, stop, m_observer};
        zumo::WMDropFiles(files, context);
    });
}

void TForm1::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (!event->isAccepted() || m_runs == 0)
        return;
    // Closing during a run ends the program after the file in progress:
    // every running run stops before its next file (as after its dialog's
    // キャンセル), then the event loop ends and the settings are written.
    m_closing = true;
    for (TFormStrProgress* dialog : findChildren<TFormStrProgress*>())
        dialog->Cancel();
}

// ---- "ファイル変換" -----------------------------------------------------------

void TForm1::CheckBox1Click()
{
    if (CheckBox1->isChecked()) {
        CheckBox6->setEnabled(false);
        Edit7->setEnabled(false);
    } else {
        CheckBox6->setEnabled(true);
        Edit7->setEnabled(true);
        Edit1->clear();
    }
}

void TForm1::Button1Click()
{
    guarded([&] {
        if (FolderDlg1->Execute())
            zumo::SetEditBytes(Edit1, zumo::ExistingFolderPath(FolderDlg1->FolderName));
    });
}

void TForm1::Button3Click()
{
    const RunScope run(*this);
    guarded([&] {
        OpenDialog1.Filter = k_image_filter;
        if (OpenDialog1.Execute()) {
            zumo::ConversionEngine engine(*this, Host());
            engine.ConvertFileList(OpenDialog1.Files);
        }
    });
}

void TForm1::BitBtn3Click()
{
    const RunScope run(*this);
    guarded([&] {
        OpenDialog1.Filter = k_gif_filter;
        if (OpenDialog1.Execute()) {
            zumo::ConversionEngine engine(*this, Host());
            engine.ConvertGifFileList(OpenDialog1.Files);
        }
    });
}

void TForm1::Exit1Click()
{
    close();
}

// ---- "画像参照変換" -----------------------------------------------------------

void TForm1::Button5Click()
{
    convert_list(false);
}

void TForm1::Button8Click()
{
    convert_list(true);
}

void TForm1::convert_list(bool gif)
{
    const RunScope run(*this);
    guarded([&] {
        zumo::ConversionEngine engine(*this, Host());
        // The folder is asked afresh for every entry: another listing may
        // choose a new one while the run goes on.
        const auto folder = [this] { return FolderDlg2->FolderName; };
        if (gif)
            engine.ConvertCheckedGifs(*CheckListBox1, folder);
        else
            engine.ConvertCheckedImages(*CheckListBox1, folder);
    });
}

void TForm1::Button6Click()
{
    // The lines go: a preview of one of them that arrives later is stale.
    drop_previews();
    guarded([&] {
        zumo::FormListingWindow window(*this);
        zumo::ListFolder(zumo::ListingKind::Pictures, window, zumo::find_file_search(FindFile1),
                         FoundCount);
    });
}

void TForm1::Button7Click()
{
    drop_previews();
    guarded([&] {
        zumo::FormListingWindow window(*this);
        zumo::ListFolder(zumo::ListingKind::Gifs, window, zumo::find_file_search(FindFile2),
                         FoundCount);
    });
}

struct TForm1::PreviewArrival
{
    zumo::PreviewOutcome<QImage> outcome;
};

void TForm1::CheckListBox1Click()
{
    guarded([&] {
        // Unchecked, the preview keeps what it showed, also a preview that
        // is still on its way.
        if (!CheckBox5->isChecked())
            return;
        // Both lists run this; it always previews CheckListBox1's selection.
        // What the worker needs is taken here: it never reads a control.
        const zumo::PreviewLines lines{zumo::CheckListPreview(*CheckListBox1)};
        const std::string folder = zumo::ExistingFolderPath(FolderDlg2->FolderName);
        const QSize area = Image1->size() * Image1->devicePixelRatioF();
        const std::uint64_t generation = ++*m_preview_generation;
        if (!m_preview_pending) {
            m_preview_pending = true;
            setCursor(Qt::BusyCursor);
        }
        // Clicks queued behind the decode in hand are obsolete by now.
        m_preview_pool.clear();
        m_preview_pool.start(
            [this, lines, folder, area, generation, newest = m_preview_generation] {
                const std::function<bool()> obsolete = [&] { return newest->load() != generation; };
                if (obsolete())
                    return;
                PreviewArrival arrival;
                try {
                    arrival.outcome = zumo::RenderPreview<zumo::TPicture, QImage>(
                        lines, folder,
                        [area](const zumo::TPicture& picture, bool stretch) {
                            return to_qimage(picture, stretch ? area : QSize());
                        },
                        [&](zumo::TPicture& picture) {
                            // A plug-in asks at each progress report whether to
                            // go on; an obsolete preview stops it there.
                            picture.OnProgress = [&](zumo::TGraphic*, zumo::TProgressStage,
                                                     std::uint8_t, bool, const zumo::TRect&,
                                                     const std::string&) {
                                if (obsolete())
                                    throw zumo::EAbort();
                            };
                        },
                        obsolete);
                } catch (const std::exception& e) {
                    arrival.outcome.message = e.what();
                } catch (...) {
                    arrival.outcome.message = "unexpected error";
                }
                if (obsolete() || arrival.outcome.cancelled)
                    return;
                // Shown by the window's thread; a window gone by then (it waits
                // for this job first) takes no call.
                QMetaObject::invokeMethod(
                    this, [this, generation, arrival] { preview_arrived(generation, arrival); },
                    Qt::QueuedConnection);
            });
    });
}

void TForm1::preview_arrived(std::uint64_t generation, const PreviewArrival& arrival)
{
    // A newer click or listing came after this one's: its own result follows.
    if (generation != m_preview_generation->load())
        return;
    m_preview_pending = false;
    unsetCursor();
    guarded([&] {
        const std::function<void(const QImage&, bool)> show = [this](const QImage& image,
                                                                     bool stretch) {
            Image1->setStretch(stretch);
            Image1->setPicture(image);
        };
        zumo::ShowPreview(arrival.outcome, show, Host());
    });
}

void TForm1::drop_previews()
{
    ++*m_preview_generation;
    if (m_preview_pending) {
        m_preview_pending = false;
        unsetCursor();
    }
}

// ---- "ファイルリネーム" -------------------------------------------------------

void TForm1::Button4Click()
{
    const RunScope run(*this);
    guarded([&] {
        // No filter of its own: the dialog keeps the one the conversion tab's
        // buttons set last, and shows every file before either was used.
        if (OpenDialog1.Execute())
            zumo::RenameFileList(*this, Host(), OpenDialog1.Files);
    });
}

void TForm1::Button9Click()
{
    const RunScope run(*this);
    guarded([&] {
        zumo::RenameCheckedList(*this, Host(), *CheckListBox2,
                                [this] { return FolderDlg2->FolderName; });
    });
}

void TForm1::Button10Click()
{
    guarded([&] {
        CheckListBox2->Clear();
        FoundCount = 0;
        if (!FolderDlg2->Execute())
            return;
        // The list grows while the folder is read: the finder lets the window
        // handle its events between entries.
        FindFile3.FolderName = FolderDlg2->FolderName;
        FindFile3.Execute();
        SetLabelCaption(Label7, from_bytes(zumo::FoundFilesLabel(FoundCount)));
    });
}

void TForm1::FindFile3Find(const std::string& file_name)
{
    CheckListBox2->Add(file_name);
    ++FoundCount;
}

void TForm1::Button12Click()
{
    guarded([&] {
        if (FolderDlg1->Execute())
            zumo::SetEditBytes(Edit8, zumo::ExistingFolderPath(FolderDlg1->FolderName));
    });
}

void TForm1::CheckBox8Click()
{
    if (CheckBox8->isChecked()) {
        CheckBox2->setChecked(false);
        CheckBox2->setEnabled(false);
    } else {
        CheckBox2->setEnabled(true);
        Edit8->setEnabled(false);
        Edit8->clear();
    }
}

void TForm1::CheckBox2Click()
{
    if (CheckBox2->isChecked())
        CheckBox8->setChecked(false);
}

void TForm1::Undo1Click()
{
    // A run going on would be undone under its own feet, or its journal is
    // not even begun yet and an older run would be taken for the last.
    if (m_runs > 0) {
        Host().ShowMessage("処理中のため元に戻せません");
        return;
    }
    const RunScope run(*this);
    guarded([&] { zumo::UndoLastRun(Host(), zumo::DefaultJournalFolder()); });
}

// ---- "詳細設定" ---------------------------------------------------------------

void TForm1::RadioGroup7Click()
{
    m_turn_angle = zumo::turn_angle_for(RadioGroup7->ItemIndex(), m_turn_angle);
}

void TForm1::RadioGroup8Click()
{
    m_interlaced = zumo::interlaced_for(RadioGroup8->ItemIndex(), m_interlaced);
}
