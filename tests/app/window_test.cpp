#include "app/Unit1.h"
#include "scripted_host.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

namespace {

using zumo::Answer;
using zumo::testing::ScriptedHost;

class Window : public ::testing::Test
{
protected:
    void SetUp() override
    {
        form = std::make_unique<TForm1>();
        host = std::make_unique<ScriptedHost>(form.get());
        form->SetUserHost(host.get());
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override
    {
        form.reset();
        host.reset();
    }

    std::string path(const QString& name) const
    {
        return QDir::toNativeSeparators(dir.filePath(name)).toStdString();
    }
    // A real picture on disk, w x h, one flat colour.
    std::string write_bmp(const QString& name, int w, int h)
    {
        QImage image(w, h, QImage::Format_RGB32);
        image.fill(QColor(200, 40, 10));
        EXPECT_TRUE(image.save(dir.filePath(name), "BMP"));
        return path(name);
    }
    void pick_files(const std::vector<std::string>& files)
    {
        form->OpenDialog1.setRunner([files](QWidget*, const QStringList&) {
            QStringList picked;
            for (const auto& f : files)
                picked << QString::fromStdString(f);
            return std::optional<QStringList>(picked);
        });
    }
    void choose_folder(TFolderDlg* dialog, std::optional<QString> folder)
    {
        dialog->setBrowser([folder](QWidget*, const QString&, const QString&) { return folder; });
    }

    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<ScriptedHost> host;
};

// ---- the window as it opens -----------------------------------------------

TEST_F(Window, CaptionTabsAndMenu)
{
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Zumo変換\u30000.6"));
    ASSERT_EQ(form->PageControl1->count(), 4);
    const QStringList tabs{"ファイル変換", "画像参照変換", "ファイルリネーム", "詳細設定"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(form->PageControl1->tabText(i), tabs[i]) << i;
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    const auto menus = form->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("ファイル変換(&F)"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("ファイルリネーム"));
    EXPECT_EQ(form->Open1->actions(), (QList<QAction*>{form->Open2, form->GIF1, form->Exit1}));
    EXPECT_EQ(form->GIF1->text(), QStringLiteral("開く（GIF)(&G)"));
    EXPECT_EQ(form->RadioGroup10->title(), QStringLiteral("Drag && Drop　変換"));
}

TEST_F(Window, DesignedOptionValues)
{
    const zumo::OptionSnapshot o = form->Options();
    EXPECT_FALSE(o.CheckBox1);
    EXPECT_EQ(o.Edit1, "");
    EXPECT_EQ(o.Edit7, "resize");
    EXPECT_EQ(o.RadioGroup1, 0);
    EXPECT_FALSE(o.CheckBox7);
    EXPECT_EQ(o.RadioGroup5, 1);
    EXPECT_EQ(form->RadioGroup5->Button(1)->text(), QStringLiteral("1280×960"));
    EXPECT_EQ(o.RadioGroup6, 0);
    EXPECT_EQ(o.UpDown3, 100);
    EXPECT_EQ(o.RadioGroup2, 1);
    EXPECT_FALSE(o.CheckBox5);
    EXPECT_EQ(o.UpDown1, 92);
    EXPECT_EQ(form->Edit2->text(), QStringLiteral("92"));
    EXPECT_EQ(o.RadioGroup8, 0);
    EXPECT_EQ(o.RadioGroup9, 1);
    EXPECT_EQ(form->RadioGroup9->Button(1)->text(), QStringLiteral("なし"));
    EXPECT_EQ(o.RadioGroup10, 0);
    EXPECT_EQ(o.RadioGroup7, 3);
    EXPECT_EQ(form->RadioGroup7->Button(3)->text(), QStringLiteral("０　度"));
    EXPECT_FALSE(o.CheckBox3);
    EXPECT_EQ(o.UpDown2, 0);
    EXPECT_EQ(o.ColorGrid1, 0u);
    EXPECT_TRUE(o.CheckBox9);
    EXPECT_EQ(form->CheckBox9->text(), QStringLiteral("EXIFの向きに合わせる"));
    EXPECT_EQ(form->CheckBox9->parentWidget(), form->GroupBox5);
    EXPECT_TRUE(o.CheckBox10);
    EXPECT_EQ(form->CheckBox10->text(), QStringLiteral("メタデータを残す"));
    EXPECT_TRUE(o.CheckBox11);
    EXPECT_EQ(form->CheckBox11->text(), QStringLiteral("すべてのCPUコアを使う"));
    EXPECT_FALSE(o.CheckBox8);
    EXPECT_EQ(o.Edit8, "");
    EXPECT_FALSE(o.CheckBox2);
    EXPECT_EQ(o.RadioGroup3, 0);
    EXPECT_FALSE(o.CheckBox4);
    EXPECT_EQ(o.Edit5, "new");
    EXPECT_EQ(o.Edit6, "");
    EXPECT_EQ(o.RadioGroup4, 0);
    EXPECT_EQ(o.TurnAngle, 0);
    EXPECT_FALSE(o.Interlaced);
    EXPECT_TRUE(form->Edit8->isReadOnly());
}

TEST_F(Window, TooltipsOnlyOnTheTwoCheckLists)
{
    for (QWidget* w : form->findChildren<QWidget*>()) {
        if (w == form->CheckListBox1 || w == form->CheckListBox2)
            EXPECT_EQ(w->toolTip(), QStringLiteral("ファイルの選択"));
        else
            EXPECT_TRUE(w->toolTip().isEmpty()) << w->objectName().toStdString();
    }
}

// Every control lies inside its container, no two siblings overlap, and
// every caption fits its control with its face's own spacing: squeezed
// letters run together and full-width brackets overlap. A label keeps to
// the room up to the next control on its row. (ctest runs this at 96 DPI
// and again at 144 DPI.)
TEST_F(Window, NothingClippedOrOverlapping)
{
    form->show();
    for (QWidget* w : form->findChildren<QWidget*>()) {
        const QFont font = w->font();
        const bool percent = font.letterSpacingType() == QFont::PercentageSpacing;
        const bool squeezed =
            font.letterSpacing() != 0 && !(percent && font.letterSpacing() == 100);
        EXPECT_FALSE(squeezed) << w->objectName().toStdString() << " is squeezed";
        const QVariant room = w->property("zumoRoom");
        if (room.isValid()) {
            EXPECT_LE(w->width(), room.toInt()) << w->objectName().toStdString();
        }
    }
    for (int tab = 0; tab < 4; ++tab) {
        form->PageControl1->setCurrentIndex(tab);
        QWidget* page = form->PageControl1->widget(tab);
        EXPECT_TRUE(
            QRect(QPoint(0, 0), form->PageControl1->size())
                .contains(QRect(page->mapTo(form->PageControl1, QPoint(0, 0)), page->size())));
        QList<QWidget*> parents = page->findChildren<QWidget*>();
        parents << page;
        for (QWidget* parent : parents) {
            if (qobject_cast<TUpDown*>(parent) || qobject_cast<QAbstractItemView*>(parent) ||
                qobject_cast<QAbstractItemView*>(parent->parentWidget()) ||
                qobject_cast<TUpDown*>(parent->parentWidget()))
                continue; // their inner parts are Qt's business
            QList<QWidget*> kids;
            for (QObject* o : parent->children())
                if (auto* w = qobject_cast<QWidget*>(o); w && !w->isWindow() &&
                                                         w->objectName() != "Panel1Caption" &&
                                                         w->objectName() != "Image1")
                    kids << w;
            for (QWidget* kid : kids) {
                const std::string name = kid->objectName().toStdString();
                EXPECT_TRUE(parent->rect().contains(kid->geometry()))
                    << name << " leaves " << parent->objectName().toStdString();
                for (QWidget* other : kids) {
                    if (other != kid) {
                        EXPECT_FALSE(kid->geometry().intersects(other->geometry()))
                            << name << " overlaps " << other->objectName().toStdString();
                    }
                }
                if (auto* button = qobject_cast<QPushButton*>(kid)) {
                    // Qt's size hint of a button has a minimum width; the
                    // caption itself must fit inside the bevel.
                    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 6,
                              button->width())
                        << name << " is clipped";
                } else if (qobject_cast<QAbstractButton*>(kid) || qobject_cast<QLabel*>(kid)) {
                    EXPECT_LE(kid->sizeHint().width(), kid->width())
                        << name
                        << (name.empty() ? kid->property("text").toString().toStdString() : "")
                        << " is clipped";
                }
            }
        }
    }
}

TEST_F(Window, StartAndEndHandlersRunInOrder)
{
    std::vector<std::string> calls;
    TForm1Hooks hooks;
    hooks.FormCreate = [&](TForm1& f) {
        calls.push_back("create");
        f.CheckBox1->setChecked(true); // as the settings would restore it
    };
    hooks.FormShow = [&](TForm1&) { calls.push_back("show"); };
    hooks.FormDestroy = [&](TForm1& f) {
        calls.push_back(f.Edit7->text().toStdString() == "resize" ? "destroy" : "?");
    };
    auto window = std::make_unique<TForm1>(hooks);
    EXPECT_EQ(calls, (std::vector<std::string>{"create"}));
    window->CheckBox6->setEnabled(true); // the enable rule at showing corrects it
    window->show();
    window->hide();
    window->show();
    EXPECT_EQ(calls, (std::vector<std::string>{"create", "show"}));
    EXPECT_FALSE(window->CheckBox6->isEnabled());
    EXPECT_FALSE(window->Edit7->isEnabled());
    window.reset();
    EXPECT_EQ(calls, (std::vector<std::string>{"create", "show", "destroy"}));
}

// ---- the file-conversion tab ----------------------------------------------

TEST_F(Window, CheckBox1DisablesTheSubfolderAndClearsTheOutputFolder)
{
    form->Edit1->setText(QStringLiteral("/out/"));
    form->Edit8->setText(QStringLiteral("/ren/"));
    form->CheckBox1->setChecked(true);
    EXPECT_FALSE(form->CheckBox6->isEnabled());
    EXPECT_FALSE(form->Edit7->isEnabled());
    EXPECT_EQ(form->Edit1->text(), QStringLiteral("/out/")) << "checking keeps the folder";
    form->CheckBox1->setChecked(false);
    EXPECT_TRUE(form->CheckBox6->isEnabled());
    EXPECT_TRUE(form->Edit7->isEnabled());
    EXPECT_EQ(form->Edit1->text(), QString());
    EXPECT_EQ(form->Edit8->text(), QStringLiteral("/ren/"));
    form->CheckBox6->setChecked(true);
    form->CheckBox1->click(); // by the user
    EXPECT_TRUE(form->CheckBox6->isChecked()) << "never unchecked here";
    EXPECT_FALSE(form->CheckBox6->isEnabled());
}

TEST_F(Window, Button1GivesAnExistingFolderWithOneTrailingSeparator)
{
    const QString sep = QDir::separator();
    const QString folder = QDir::toNativeSeparators(dir.path());
    const struct
    {
        std::optional<QString> chosen;
        QString expected;
    } rows[] = {
        {folder, folder + sep},
        {folder + sep, folder + sep},
        {QDir::toNativeSeparators(QDir::rootPath()), QDir::toNativeSeparators(QDir::rootPath())},
        {folder + sep + "gone", QString()}, // vanished before it was tested
    };
    for (const auto& row : rows) {
        choose_folder(form->FolderDlg1, row.chosen);
        form->Edit1->setText(QStringLiteral("before"));
        form->Button1->click();
        EXPECT_EQ(form->Edit1->text(), row.expected) << row.chosen->toStdString();
    }
    choose_folder(form->FolderDlg1, std::nullopt);
    form->Edit1->setText(QStringLiteral("kept"));
    form->Button1Click();
    EXPECT_EQ(form->Edit1->text(), QStringLiteral("kept"));
}

TEST_F(Window, MirrorFieldsFollowTheirGroupsByClickAndByCode)
{
    const int angles[] = {90, 180, 270, 0};
    for (int item : {2, 0, 3, 1}) {
        form->RadioGroup7->Button(item)->click();
        EXPECT_EQ(form->TurnAngle(), angles[item]);
        EXPECT_EQ(form->Options().TurnAngle, angles[item]);
    }
    for (int item : {0, 2, 3}) {
        form->RadioGroup7->setItemIndex(item);
        EXPECT_EQ(form->TurnAngle(), angles[item]);
    }
    form->RadioGroup7->setItemIndex(-1); // clearing keeps the field
    EXPECT_EQ(form->TurnAngle(), 0);

    form->RadioGroup8->Button(1)->click();
    EXPECT_TRUE(form->Interlaced());
    form->RadioGroup8->setItemIndex(0);
    EXPECT_FALSE(form->Interlaced());
    form->RadioGroup8->setItemIndex(1);
    EXPECT_TRUE(form->Options().Interlaced);
}

TEST_F(Window, OptionsReadTheControlsAfresh)
{
    form->ColorGrid1->setForegroundIndex(12);
    form->UpDown3->setPosition(1500);
    form->Edit7->setText(QStringLiteral("縮小"));
    form->RadioGroup10->setItemIndex(2);
    const zumo::OptionSnapshot o = form->Options();
    EXPECT_EQ(o.ColorGrid1, 0xFF0000u);
    EXPECT_EQ(o.UpDown3, 1500);
    EXPECT_EQ(o.Edit7, "縮小");
    EXPECT_EQ(o.RadioGroup10, 2);
}

TEST_F(Window, Button3ConvertsThePickedPicturesAfterOk)
{
    const auto a = write_bmp("a.bmp", 40, 30);
    const auto b = write_bmp("b.bmp", 20, 10);
    pick_files({a, b});
    form->RadioGroup1->setItemIndex(1);    // → PNG
    form->RadioGroup7->Button(0)->click(); // ９０度
    form->RadioGroup9->setItemIndex(0);    // BEEP
    host->answers = {Answer::Ok};
    form->Button3->click();

    ASSERT_EQ(host->questions.size(), 1u);
    EXPECT_EQ(host->questions[0], "確認|2個のファイルを処理します. よろしいですか?");
    EXPECT_TRUE(host->messages.empty());
    EXPECT_EQ(host->dialogs_shown, 1);
    EXPECT_EQ(host->beeps, 1);
    const QImage out_a(dir.filePath("a.png"));
    const QImage out_b(dir.filePath("b.png"));
    EXPECT_EQ(out_a.size(), QSize(30, 40));
    EXPECT_EQ(out_b.size(), QSize(10, 20));
    EXPECT_TRUE(form->OpenDialog1.Filter ==
                "jpg,png,bmp,webp,tiff,heif,avif,jxl|*.jpg;*.jpeg;*.png;*.bmp;*.webp;*.tif;*.tiff;"
                "*.heic;*.heif;*.avif;*.jxl");
}

TEST_F(Window, Button3RefusedConvertsNothingButStillBeeps)
{
    const auto a = write_bmp("a.bmp", 8, 8);
    pick_files({a, a, a});
    form->RadioGroup9->setItemIndex(0);
    host->answers = {Answer::Cancel};
    form->Button3Click();
    ASSERT_EQ(host->questions.size(), 1u);
    EXPECT_EQ(host->questions[0], "確認|3個のファイルを処理します. よろしいですか?");
    EXPECT_EQ(host->dialogs_shown, 0);
    EXPECT_EQ(host->beeps, 1);
    EXPECT_FALSE(QFile::exists(dir.filePath("a.bmp.bmp")));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

TEST_F(Window, CancelInTheProgressDialogStopsTheRun)
{
    std::vector<std::string> files;
    for (const char* name : {"1.bmp", "2.bmp", "3.bmp", "4.bmp"})
        files.push_back(write_bmp(QString::fromLatin1(name), 6, 6));
    pick_files(files);
    form->RadioGroup1->setItemIndex(1);
    form->RadioGroup9->setItemIndex(0);
    form->CheckBox11->setChecked(false); // one at a time: side by side more are in flight
    host->answers = {Answer::Ok};
    // The user presses キャンセル as soon as the dialog handles events, which
    // is inside the SetProgress after the first file.
    std::function<void()> press = [&] {
        if (host->forms.empty() || !host->forms.back())
            QTimer::singleShot(0, form.get(), press);
        else
            host->forms.back()->Button1->click();
    };
    QTimer::singleShot(0, form.get(), press);
    form->Button3Click();

    EXPECT_TRUE(QFile::exists(dir.filePath("1.png")));
    EXPECT_FALSE(QFile::exists(dir.filePath("2.png")));
    EXPECT_FALSE(QFile::exists(dir.filePath("4.png")));
    EXPECT_EQ(host->beeps, 0) << "a cancelled run gives no end signal";
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->findChildren<TFormStrProgress*>().isEmpty()) << "dialog released";
}

TEST_F(Window, BitBtn3ConvertsGifsWithTheGifFilter)
{
    // A GIF made by the picture conversion itself, then converted back.
    pick_files({write_bmp("g.bmp", 12, 9)});
    form->RadioGroup1->setItemIndex(2); // → GIF
    host->answers = {Answer::Ok};
    form->Button3Click();
    ASSERT_TRUE(QFile::exists(dir.filePath("g.gif")));
    QFile::remove(dir.filePath("g.bmp"));

    QStringList seen_filters;
    form->OpenDialog1.setRunner([&](QWidget*, const QStringList& filters) {
        seen_filters = filters;
        return std::optional<QStringList>(QStringList{dir.filePath("g.gif")});
    });
    form->RadioGroup2->setItemIndex(2); // → PNG
    host->answers = {Answer::Ok};
    form->GIF1->trigger();
    EXPECT_EQ(seen_filters, QStringList{QStringLiteral("gif (*.gif)")});
    EXPECT_EQ(host->questions.size(), 2u);
    EXPECT_TRUE(host->messages.empty());
    EXPECT_EQ(QImage(dir.filePath("g.png")).size(), QSize(12, 9));
}

// ---- the listing tab ------------------------------------------------------

TEST_F(Window, Button5ConvertsTheTickedLinesOfTheListedFolder)
{
    write_bmp("a.bmp", 5, 5);
    write_bmp("b.bmp", 5, 5);
    write_bmp("c.bmp", 5, 5);
    form->FolderDlg2->FolderName = QDir::toNativeSeparators(dir.path()).toStdString();
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        form->CheckListBox1->Add(name);
    form->CheckListBox1->setChecked(0, true);
    form->CheckListBox1->setChecked(2, true);
    form->RadioGroup1->setItemIndex(3); // → JPG
    form->Button5->click();
    EXPECT_TRUE(host->questions.empty());
    EXPECT_EQ(host->dialogs_shown, 1);
    EXPECT_TRUE(QFile::exists(dir.filePath("a.jpg")));
    EXPECT_FALSE(QFile::exists(dir.filePath("b.jpg")));
    EXPECT_TRUE(QFile::exists(dir.filePath("c.jpg")));
    EXPECT_EQ(host->beeps, 0); // "なし"
}

TEST_F(Window, Button5WithAnEmptyListShowsTheDialogAndSignals)
{
    form->RadioGroup9->setItemIndex(0);
    form->Button5Click();
    EXPECT_EQ(host->dialogs_shown, 1);
    EXPECT_EQ(host->beeps, 1);
}

// ---- the rename tab -------------------------------------------------------

TEST_F(Window, PlacementBoxesExcludeEachOther)
{
    form->Edit8->setText(QStringLiteral("/r/"));
    form->CheckBox2->setChecked(true);
    form->CheckBox8->click();
    EXPECT_TRUE(form->CheckBox8->isChecked());
    EXPECT_FALSE(form->CheckBox2->isChecked());
    EXPECT_FALSE(form->CheckBox2->isEnabled());
    EXPECT_EQ(form->Edit8->text(), QStringLiteral("/r/"));
    form->CheckBox8->click();
    EXPECT_TRUE(form->CheckBox2->isEnabled());
    EXPECT_EQ(form->Edit8->text(), QString());
    form->CheckBox8->setChecked(true);
    form->Edit8->setText(QStringLiteral("/r2/"));
    form->CheckBox8->setEnabled(true);
    form->CheckBox2->setEnabled(true);
    form->CheckBox2->setChecked(true); // unticks CheckBox8, which empties Edit8
    EXPECT_FALSE(form->CheckBox8->isChecked());
    EXPECT_EQ(form->Edit8->text(), QString());
}

TEST_F(Window, Button12FillsTheRenameFolderAndKeepsItOnCancel)
{
    const QString folder = QDir::toNativeSeparators(dir.path());
    choose_folder(form->FolderDlg1, folder);
    form->Button12->click();
    EXPECT_EQ(form->Edit8->text(), folder + QDir::separator());
    choose_folder(form->FolderDlg1, std::nullopt);
    form->Button12->click();
    EXPECT_EQ(form->Edit8->text(), folder + QDir::separator());
}

TEST_F(Window, Button10ListsTheFolderAndButton9RenamesTheTickedFiles)
{
    for (const char* name : {"p.bmp", "q.bmp", "r.txt"})
        QFile(dir.filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly);
    choose_folder(form->FolderDlg2, QDir::toNativeSeparators(dir.path()));
    form->Button10->click();
    ASSERT_EQ(form->CheckListBox2->Count(), 3);
    EXPECT_EQ(form->FoundCount, 3);
    EXPECT_EQ(form->Label7->text(), QStringLiteral("3 Files."));

    int ticked = -1;
    for (int i = 0; i < 3; ++i)
        if (form->CheckListBox2->Text(i) == "r.txt")
            form->CheckListBox2->setChecked(ticked = i, true);
    ASSERT_GE(ticked, 0);
    form->CheckBox2->setChecked(true); // into the subfolder "rename"
    form->Button9->click();
    EXPECT_TRUE(host->questions.empty());
    EXPECT_TRUE(QFile::exists(dir.filePath("rename/new0001.txt")));
    EXPECT_TRUE(QFile::exists(dir.filePath("r.txt"))) << "copy is the default";

    choose_folder(form->FolderDlg2, std::nullopt);
    form->Label7->setText(QStringLiteral("kept"));
    form->Button10->click();
    EXPECT_EQ(form->CheckListBox2->Count(), 0);
    EXPECT_EQ(form->Label7->text(), QStringLiteral("kept"));
}

TEST_F(Window, Button4RenamesThePickedFilesAfterOk)
{
    QFile(dir.filePath("s.dat")).open(QIODevice::WriteOnly);
    pick_files({path("s.dat")});
    form->CheckBox2->setChecked(true);
    form->RadioGroup9->setItemIndex(0);
    host->answers = {Answer::Ok};
    form->Open3->trigger();
    EXPECT_EQ(host->questions.size(), 1u);
    EXPECT_TRUE(QFile::exists(dir.filePath("rename/new0001.dat")));
    EXPECT_EQ(host->beeps, 1);
}

// "元に戻す" under "ファイルリネーム": asks, moves the run's file back, and
// says so; a second time there is nothing left.
TEST_F(Window, Undo1ReversesTheLastRenameRun)
{
    QTemporaryDir state;
    const QByteArray old_state = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    EXPECT_EQ(form->N1->actions(), (QList<QAction*>{form->Open3, form->Undo1}));
    EXPECT_EQ(form->Undo1->text(), QStringLiteral("元に戻す"));

    QFile(dir.filePath("s.dat")).open(QIODevice::WriteOnly);
    pick_files({path("s.dat")});
    form->RadioGroup4->setItemIndex(1); // move
    host->answers = {Answer::Ok, Answer::Ok};
    form->Open3->trigger();
    ASSERT_TRUE(QFile::exists(dir.filePath("new0001.dat")));

    form->Undo1->trigger();
    ASSERT_EQ(host->questions.size(), 2u);
    EXPECT_EQ(host->questions[1].rfind("確認|1個のファイルを元に戻します. よろしいですか?", 0), 0u)
        << host->questions[1];
    EXPECT_TRUE(QFile::exists(dir.filePath("s.dat")));
    EXPECT_FALSE(QFile::exists(dir.filePath("new0001.dat")));
    form->Undo1->trigger();
    EXPECT_EQ(host->messages, (std::vector<std::string>{"1個のファイルを元に戻しました",
                                                        "元に戻せる処理がありません"}));
    if (old_state.isNull())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", old_state);
}

// A hung plug-in holds the preview until its helper's deadline. The window
// meanwhile goes on with its own events (a timer here; painting and the
// window manager's pings on a desktop) under the busy cursor.
TEST_F(Window, GoesOnWhileAPluginHangs)
{
    if (std::string(ZUMO_HANG_PLUGIN).empty())
        GTEST_SKIP() << "the test plug-ins are not built";
    const zumo::SPIHosting hosting = zumo::CurrentSPIHosting();
    zumo::SetSPIHosting(zumo::SPIHosting::Helper);
    zumo::SetHelperTimeout(std::chrono::milliseconds(2000));
    QFile picture(dir.filePath("p.ztst"));
    ASSERT_TRUE(picture.open(QIODevice::WriteOnly));
    picture.write(QByteArray("ZTST\x03\0\x02\0\x18", 9));
    picture.close();
    {
        zumo::TSPIs plugins;
        plugins.MacBinary = false;
        plugins.Add(zumo::OpenSPI(ZUMO_HANG_PLUGIN));
        bool fired = false;
        Qt::CursorShape cursor = Qt::ArrowCursor;
        QTimer::singleShot(300, [&] {
            fired = true;
            if (const QCursor* shown = QGuiApplication::overrideCursor())
                cursor = shown->shape();
        });
        zumo::TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(path("p.ztst")), zumo::EInvalidGraphic);
        EXPECT_TRUE(fired);
        EXPECT_EQ(cursor, Qt::WaitCursor);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    }
    zumo::SetHelperTimeout(std::chrono::seconds(10));
    zumo::SetSPIHosting(hosting);
}

} // namespace

namespace {

TEST(WindowSize, ClientKeepsItsDesignedSize)
{
    TForm1 form;
    form.show();
    QCoreApplication::processEvents();
    const QSize client(form.Scaled(434), form.Scaled(394));
    const QSize designed = form.size();
    EXPECT_EQ(form.centralWidget()->size(), client);
    EXPECT_EQ(form.PageControl1->geometry(),
              QRect(form.Scaled(8), form.Scaled(8), form.Scaled(417), form.Scaled(377)));
    const WindowPlacement placement = form.Placement();
    EXPECT_EQ(placement.Width, form.frameGeometry().width());
    EXPECT_EQ(placement.Height, form.frameGeometry().height());
    EXPECT_FALSE(placement.Maximized);

    // A window manager offers maximising only while the maximum size is
    // open; a size that a drag gives in the normal state is taken back.
    EXPECT_GT(form.maximumSize().width(), designed.width()) << "no maximise button";
    form.resize(designed + QSize(150, 100));
    QCoreApplication::processEvents();
    EXPECT_EQ(form.size(), designed) << "resizable by dragging";
    form.resize(designed - QSize(50, 50));
    QCoreApplication::processEvents();
    EXPECT_EQ(form.size(), designed);

    form.showMaximized();
    QCoreApplication::processEvents();
    ASSERT_TRUE(form.isMaximized());
    EXPECT_GT(form.width(), designed.width()) << "the offscreen screen is larger";
    EXPECT_EQ(form.centralWidget()->size(), client);
    EXPECT_EQ(form.centralWidget()->pos(), QPoint(0, form.menuBar()->height()));
    EXPECT_TRUE(form.Placement().Maximized);
    form.showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(form.size(), designed);
}

} // namespace

namespace {

TEST(WindowDrops, EditsLeaveDroppedFilesToTheWindow)
{
    TForm1 form;
    EXPECT_TRUE(form.acceptDrops());
    for (QLineEdit* edit : form.findChildren<QLineEdit*>())
        EXPECT_FALSE(edit->acceptDrops()) << edit->objectName().toStdString();
}

} // namespace

namespace {

TEST(WindowErrors, AnErrorLeavingAHandlerIsShownAndTheWindowGoesOn)
{
    TForm1Hooks hooks;
    hooks.FormCreate = [](TForm1&) { throw std::runtime_error("spi: 壊れたプラグイン"); };
    hooks.FormDestroy = [](TForm1&) { throw std::runtime_error("INI"); };
    ScriptedHost host(nullptr);
    {
        TForm1 form(hooks, &host);
        EXPECT_EQ(host.messages, (std::vector<std::string>{"spi: 壊れたプラグイン"}));
        EXPECT_EQ(form.Edit7->text(), QStringLiteral("resize")) << "designed values stay";
    }
    EXPECT_EQ(host.messages.back(), "INI") << "the end reports it too, without a crash";
}

} // namespace
