// TForm1: the main window. Four tabs of option controls and action
// buttons, the main menu, the shared open and folder dialogs, and the
// handlers that keep dependent controls and the two mirror fields in step.
// The window is the option source of every single-file operation (a fresh
// snapshot of its controls per call) and, through a replaceable UserHost,
// the place where the engine asks, reports and shows progress.
#pragma once

#include "app/OpenDialog.h"
#include "app/controls.h"
#include "app/core/FileRuns.h"
#include "convert/options.h"
#include "convert/user_host.h"
#include "shell/FindFile.h"
#include "shell/FolderDialog.h"
#include "shell/ShfOperation.h"

#include <QMainWindow>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QPushButton;
class QTabWidget;

class TForm1;

// The program's own work at the window's start and end: plug-ins and
// settings at creation, the command-line run at the first showing, the
// settings again at destruction. A window without hooks (as in the tests)
// touches no file at start or end.
struct TForm1Hooks
{
    // End of creation, after the layout exists.
    std::function<void(TForm1&)> FormCreate;
    // First showing, before the enable rule.
    std::function<void(TForm1&)> FormShow;
    // Start of destruction, while every control still exists.
    std::function<void(TForm1&)> FormDestroy;
};

// Placement of the window in its normal state, and whether it is maximised.
struct WindowPlacement
{
    int Width = 0;
    int Height = 0;
    int Top = 0;
    int Left = 0;
    bool Maximized = false;
};

class TForm1 : public QMainWindow, public zumo::OptionSource
{
    Q_OBJECT

public:
    // Builds the layout, then runs FormCreate. host, when given, is the
    // user host from the start on (see SetUserHost).
    explicit TForm1(TForm1Hooks hooks = {}, zumo::UserHost* host = nullptr,
                    QWidget* parent = nullptr);
    // Runs FormDestroy first.
    ~TForm1() override;

    // OptionSource: the option controls as they stand now.
    zumo::OptionSnapshot Options() override;

    // The host the engine talks to. The window's own shows real dialogs;
    // a test or a run without a display installs another one (nullptr
    // restores the window's own). The caller keeps ownership.
    zumo::UserHost& Host();
    void SetUserHost(zumo::UserHost* host) { m_host_override = host; }

    // Placement for the settings: the normal-state bounds (outer size and
    // position) and the maximised flag.
    WindowPlacement Placement() const;
    void SetPlacement(const WindowPlacement& placement);

    // Ends the program with exit_status once the running handler has
    // returned, whether or not the event loop has started yet.
    void Terminate(int exit_status = 0);
    bool Terminated() const { return m_terminated; }
    int ExitStatus() const { return m_exit_status; }

    // Follows the drop runs file by file (the headless host names the file
    // its messages are about); may be null.
    void SetRunObserver(zumo::RunObserver* observer) { m_observer = observer; }

    // The application title ("Zumo変換", "処理中" during a command-line run):
    // the caption of plain messages and the minimised window's name.
    void SetApplicationTitle(const QString& title);

    // A label's text, its box fitted to the caption like place_label.
    void SetLabelCaption(QLabel* label, const QString& text);

    // Pixels designed at 96 DPI, on this screen.
    int Scaled(int px) const;

    // A click's preview is decoded on a worker thread; Image1 and the
    // message follow when it is done. Pending: the newest click's preview
    // has not arrived yet. Working: the worker is still busy, also with a
    // preview that a newer click or a new listing made obsolete.
    bool PreviewPending() const { return m_preview_pending; }
    bool PreviewWorking() const { return m_preview_pool.activeThreadCount() > 0; }

    int TurnAngle() const { return m_turn_angle; }
    bool Interlaced() const { return m_interlaced; }
    int FoundCount = 0;
    std::string WorkPath;

    // ---- handlers ----
    void FormCreate();
    void FormShow();
    void FormDestroy();
    // Files dropped on the window, full paths in the order the drop gave.
    // A drop event only queues this call; it runs from the event loop.
    void WMDropFiles(const std::vector<std::string>& files);
    // The local files of a drop as paths in bytes, in the drop's order.
    static std::vector<std::string> DroppedFiles(const QMimeData& data);
    void CheckBox1Click();
    void Button1Click();
    void RadioGroup7Click();
    void RadioGroup8Click();
    void Exit1Click();
    void Button3Click();
    void BitBtn3Click();
    void Button5Click();
    void Button8Click();
    void Button6Click();
    void Button7Click();
    void CheckListBox1Click();
    void Button4Click();
    void Button9Click();
    void Button10Click();
    void FindFile3Find(const std::string& file_name);
    void Button12Click();
    void CheckBox8Click();
    void CheckBox2Click();
    // "元に戻す": undoes the most recent rename, copy or move run from its
    // journal; refused while a run of this window is going on.
    void Undo1Click();
    // CheckBox6 and Edit7 are usable exactly when CheckBox1 is unchecked.
    void ApplyEnableRule();

    // ---- menu ----
    QMenu* Open1;
    QAction* Open2;
    QAction* GIF1;
    QAction* Exit1;
    QMenu* N1;
    QAction* Open3;
    QAction* Undo1;

    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet4;
    QWidget* TabSheet3;

    // ---- "ファイル変換" ----
    QPushButton* Button3;
    QPushButton* BitBtn3;
    QCheckBox* CheckBox1;
    QPushButton* Button1;
    QCheckBox* CheckBox6;
    QLineEdit* Edit7;
    QLineEdit* Edit1;
    QGroupBox* GroupBox3;
    TRadioGroup* RadioGroup1;
    QCheckBox* CheckBox7;
    TRadioGroup* RadioGroup5;
    TRadioGroup* RadioGroup2;
    TRadioGroup* RadioGroup6;
    QGroupBox* GroupBox1;
    TUpDown* UpDown3; // buddy Edit4
    QLineEdit* Edit4;
    QLabel* Label3;

    // ---- "画像参照変換" ----
    QLabel* Label11;
    QPushButton* Button5;
    QPushButton* Button6;
    QLabel* Label12;
    QPushButton* Button8;
    QPushButton* Button7;
    QLabel* Label8;
    TCheckListBox* CheckListBox1;
    QLabel* Label9;
    QCheckBox* CheckBox5;
    QFrame* Panel1;
    TImage* Image1;

    // ---- "ファイルリネーム" ----
    QPushButton* Button4;
    QCheckBox* CheckBox8;
    QPushButton* Button12;
    QCheckBox* CheckBox2;
    QLineEdit* Edit8;
    QGroupBox* GroupBox4;
    TRadioGroup* RadioGroup3;
    QCheckBox* CheckBox4;
    QLabel* Label4;
    QLineEdit* Edit5;
    QLabel* Label5;
    QLineEdit* Edit6;
    TRadioGroup* RadioGroup4;
    QGroupBox* GroupBox2;
    QPushButton* Button9;
    QPushButton* Button10;
    QLabel* Label7;
    TCheckListBox* CheckListBox2;

    // ---- "詳細設定" ----
    QLabel* Label2;
    TUpDown* UpDown1; // buddy Edit2
    QLineEdit* Edit2;
    QGroupBox* GroupBox5;
    TRadioGroup* RadioGroup7;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox9;
    QCheckBox* CheckBox10;
    QCheckBox* CheckBox11; // すべてのCPUコアを使う: batches convert side by side
    QLabel* Label1;
    TUpDown* UpDown2; // buddy Edit3
    QLineEdit* Edit3;
    QLabel* Label10;
    QLabel* Label6;
    TColorGrid* ColorGrid1;
    TRadioGroup* RadioGroup8;
    TRadioGroup* RadioGroup10;
    TRadioGroup* RadioGroup9;

    // ---- non-visual components ----
    TOpenDialog OpenDialog1;
    TFolderDlg* FolderDlg1;
    TFolderDlg* FolderDlg2;
    TFolderDlg* FolderDlg3;            // never used
    zumo::TFindFile FindFile1;         // pictures of one folder: listing_masks(Pictures)
    zumo::TFindFile FindFile2;         // *.gif of one folder
    zumo::TFindFile FindFile3;         // every file of one folder (the rename listing)
    zumo::TShfOperation ShfOperation1; // kept with the layout; nothing runs it

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Counts a run (a batch, the command-line or a drop run) while it lasts.
    class RunScope
    {
    public:
        explicit RunScope(TForm1& form);
        ~RunScope();
        RunScope(const RunScope&) = delete;
        RunScope& operator=(const RunScope&) = delete;

    private:
        TForm1& m_form;
    };

    void build_layout();
    void build_menu();
    void build_file_tab();
    void build_listing_tab();
    void build_rename_tab();
    void build_settings_tab();
    void connect_handlers();
    void place(QWidget* widget, int left, int top, int width, int height) const;
    void place_label(QLabel* label, int left, int top, int room = 0) const;
    void fit_captions();
    void place_updown(TUpDown* updown, int left, int top, int edit_width, int height,
                      int arrows_width) const;
    void convert_list(bool gif);
    void keep_designed_size();
    template <typename Work> void guarded(Work&& work) noexcept;
    void report_error(const char* what) noexcept;
    struct PreviewArrival;
    // Makes every preview under way obsolete: its result is dropped, and a
    // plug-in decoding for it is asked to stop.
    void drop_previews();
    void preview_arrived(std::uint64_t generation, const PreviewArrival& arrival);

    TForm1Hooks m_hooks;
    qreal m_scale = 1.0;
    int m_turn_angle = 0;
    bool m_interlaced = false;
    bool m_shown = false;
    bool m_size_check_pending = false;
    bool m_destroyed = false;
    bool m_terminated = false;
    int m_runs = 0;         // runs in progress, nested ones included
    bool m_closing = false; // closed during a run: the runs stop, then the program
    int m_exit_status = 0;
    zumo::RunObserver* m_observer = nullptr;
    std::unique_ptr<zumo::UserHost> m_own_host;
    zumo::UserHost* m_host_override = nullptr;
    // The preview's worker (one thread: a newer click waits for the decode
    // in hand, and skips every click between). The counter names the newest
    // click; a result of an older one is dropped. Shared with the worker's
    // jobs, which never touch the window otherwise.
    QThreadPool m_preview_pool;
    std::shared_ptr<std::atomic<std::uint64_t>> m_preview_generation =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    bool m_preview_pending = false;
};
