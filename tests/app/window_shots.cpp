// Saves a picture of each tab of the main window and of the progress
// dialog into the folder given as the first argument, for looking at the
// layout with the fonts of the machine (run it under a real or virtual
// display). With a picture folder as the second argument it also lists that
// folder on the tab "画像参照変換" with the plug-ins of the "spi" folder
// beside this program, clicks every line with the preview on and saves the
// tab after each click (preview_<line>.png), for both listing buttons.
#include "app/Unit1.h"
#include "convert/StrPprog.h"
#include "shell/FolderDialog.h"
#include "spi/SPIs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

namespace {

void shoot_previews(TForm1& form, const QDir& out, const QString& folder)
{
    form.FolderDlg2->setBrowser([folder](QWidget*, const QString&, const QString&) {
        return std::optional<QString>(folder);
    });
    form.PageControl1->setCurrentIndex(1);
    form.CheckBox5->setChecked(true);
    int shot = 0;
    for (QPushButton* button : {form.Button6, form.Button7}) {
        QTest::mouseClick(button, Qt::LeftButton);
        QApplication::processEvents();
        for (int row = 0; row < form.CheckListBox1->count(); ++row) {
            QListWidgetItem* item = form.CheckListBox1->item(row);
            QTest::mouseClick(form.CheckListBox1->viewport(), Qt::LeftButton, {},
                              form.CheckListBox1->visualItemRect(item).center());
            QApplication::processEvents();
            const QString name = QStringLiteral("preview_%1_%2.png").arg(++shot).arg(item->text());
            form.grab().save(out.filePath(name));
            std::printf("%s: %dx%d stretch %d\n", qPrintable(item->text()),
                        form.Image1->Picture().width(), form.Image1->Picture().height(),
                        form.Image1->Stretch() ? 1 : 0);
        }
    }
}

// The menu "ファイルリネーム" opened, then a move run over three files, one
// of them edited, and the undo through "元に戻す", every box on the way saved (box_<n>.png)
// and answered with its default button. The journal goes to a scratch
// folder.
void shoot_undo(TForm1& form, const QDir& out)
{
    form.PageControl1->setCurrentIndex(2);
    form.N1->popup(
        form.mapToGlobal(form.menuBar()->actionGeometry(form.N1->menuAction()).bottomLeft()));
    QTest::qWait(300);
    const QRect area = form.frameGeometry().united(form.N1->geometry());
    form.screen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .save(out.filePath(QStringLiteral("menu_rename.png")));
    form.N1->hide();

    QTemporaryDir work;
    qputenv("XDG_STATE_HOME", work.filePath(QStringLiteral("state")).toLocal8Bit());
    QStringList files;
    for (int i = 1; i <= 3; ++i) {
        files << work.filePath(QStringLiteral("IMG_%1.jpg").arg(i));
        QFile file(files.back());
        file.open(QIODevice::WriteOnly);
        file.write("picture");
    }
    form.OpenDialog1.setRunner(
        [files](QWidget*, const QStringList&) { return std::optional<QStringList>(files); });
    form.RadioGroup4->setItemIndex(1); // move
    int shot = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        box->grab().save(out.filePath(QStringLiteral("box_%1.png").arg(++shot)));
        std::printf("box %d: %s\n", shot, qPrintable(box->text()));
        box->defaultButton() ? box->defaultButton()->click() : box->accept();
    });
    answer.start(300);
    form.Button4Click();
    std::printf("after the run: %s\n",
                qPrintable(QDir(work.path()).entryList(QDir::Files).join(' ')));
    // One file edited in between: the undo leaves it and names it.
    QFile edited(work.filePath(QStringLiteral("new0002.jpg")));
    edited.open(QIODevice::Append);
    edited.write(" edited");
    edited.close();
    form.Undo1Click();
    std::printf("after the undo: %s\n",
                qPrintable(QDir(work.path()).entryList(QDir::Files).join(' ')));
}

// The program's own folder and open dialogs over a folder whose entries'
// names are not UTF-8 (browse_folder.png, browse_open.png).
void shoot_browse_dialogs(TForm1& form, const QDir& out)
{
    QTemporaryDir work;
    const std::string root = QDir(work.path()).absolutePath().toStdString();
    for (const char* folder : {"/caf\xE9", "/写真", "/r\xE9sum\xE9s"})
        ::mkdir((root + folder).c_str(), 0755);
    for (const char* file : {"/\xE9t\xE9.jpg", "/夏.png", "/notes.txt"})
        std::fclose(std::fopen((root + file).c_str(), "w"));
    const struct
    {
        zumo::BrowseFor what;
        const char* name;
    } shots[] = {{zumo::BrowseFor::Folder, "browse_folder.png"},
                 {zumo::BrowseFor::Files, "browse_open.png"}};
    for (const auto& shot : shots) {
        zumo::LocalBrowseDialog dialog(&form, shot.what, {},
                                       {QStringLiteral("jpg,png,bmp (*.jpg *.png *.bmp)")});
        dialog.SetFolder(root);
        dialog.SelectEntry("caf\xE9");
        dialog.show();
        QApplication::processEvents();
        dialog.grab().save(out.filePath(QString::fromLatin1(shot.name)));
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_shots <folder> [picture folder]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    std::unique_ptr<zumo::TSPIs> plugins;
    if (argc > 2) {
        plugins = std::make_unique<zumo::TSPIs>();
        plugins->GraphicPreview = false;
        plugins->SearchSPI(QDir(QCoreApplication::applicationDirPath())
                               .filePath(QStringLiteral("spi/*"))
                               .toStdString());
        std::printf("plug-ins loaded: %d\n", plugins->Count());
    }
    TForm1 form;
    form.show();
    QApplication::processEvents();
    for (int tab = 0; tab < form.PageControl1->count(); ++tab) {
        form.PageControl1->setCurrentIndex(tab);
        QApplication::processEvents();
        form.grab().save(out.filePath(QStringLiteral("tab%1.png").arg(tab + 1)));
    }
    auto* progress = TFormStrProgress::ShowProgress(&form, QStringLiteral("変換中です"));
    progress->setWindowTitle(QStringLiteral("Zumo変換"));
    progress->SetProgress(QStringLiteral("変換中です"), 4, 2);
    QApplication::processEvents();
    progress->grab().save(out.filePath(QStringLiteral("progress.png")));
    progress->SetSmooth(true);
    QApplication::processEvents();
    progress->grab().save(out.filePath(QStringLiteral("progress_smooth.png")));
    delete progress;
    shoot_browse_dialogs(form, out);
    shoot_undo(form, out);
    if (argc > 2)
        shoot_previews(form, out, QString::fromLocal8Bit(argv[2]));
    std::printf("logical DPI %d, font %s\n", form.logicalDpiY(),
                qPrintable(QFontInfo(form.font()).family()));
    return 0;
}
