// The window together with the program's start and end work: settings
// file, plug-in folder, command-line run, drops, listing and preview.
#include "app/core/CommandLine.h"
#include "app/program.h"
#include "imagelib/imgctl.h"
#include "preview_wait.h"
#include "scripted_host.h"
#include "spi/SPIs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include <sys/stat.h>

namespace {

using zumo::Answer;
using zumo::testing::ScriptedHost;

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    zumo::ProgramSetup setup(std::vector<std::string> files = {}) const
    {
        zumo::ProgramSetup s;
        s.executable_path = QDir(dir.path()).filePath("zumo").toStdString();
        s.files = std::move(files);
        return s;
    }
    std::string write_bmp(const QString& name, int w, int h) const
    {
        QImage image(w, h, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        EXPECT_TRUE(image.save(dir.filePath(name), "BMP"));
        return dir.filePath(name).toStdString();
    }

    QTemporaryDir dir;
};

TEST_F(ProgramTest, FirstStartUsesTheLoaderDefaultsAndTheEndWritesEveryKey)
{
    zumo::Program program(setup());
    {
        TForm1 form(program.Hooks());
        EXPECT_TRUE(form.CheckBox6->isChecked()) << "the loader's fallback is true";
        EXPECT_EQ(form.Edit7->text(), QStringLiteral("resize"));
        EXPECT_EQ(form.Edit5->text(), QStringLiteral("new"));
        EXPECT_TRUE(QDir(dir.filePath("spi")).exists()) << "plug-in folder created";
        EXPECT_EQ(form.WorkPath, dir.filePath("spi/*").toStdString());
    }
    QFile ini(dir.filePath("zumo.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(ini.readAll());
    for (const char* key :
         {"CheckBox8.Checked=0", " UpDown3.Position=100", "RadioGroup10.ItemIndex=0",
          "Edit7.Text=resize", "Maximized=0", "Left="})
        EXPECT_TRUE(text.contains(QString::fromUtf8(key))) << key;
}

TEST_F(ProgramTest, SettingsSurviveARestartAndRunTheHandlers)
{
    zumo::Program program(setup());
    {
        TForm1 form(program.Hooks());
        form.CheckBox1->setChecked(true);
        form.Edit1->setText(QStringLiteral("/出力/"));
        form.RadioGroup7->setItemIndex(0);
        form.RadioGroup8->setItemIndex(1);
        form.RadioGroup5->setItemIndex(6);
        form.UpDown1->setPosition(50);
        form.UpDown3->setPosition(1234);
        form.Edit5->setText(QStringLiteral("pic"));
        form.CheckBox8->setChecked(true); // not stored
    }
    TForm1 again(program.Hooks());
    EXPECT_TRUE(again.CheckBox1->isChecked());
    EXPECT_FALSE(again.CheckBox6->isEnabled()) << "CheckBox1Click ran while loading";
    EXPECT_EQ(again.Edit1->text(), QStringLiteral("/出力/"));
    EXPECT_EQ(again.TurnAngle(), 90);
    EXPECT_TRUE(again.Interlaced());
    EXPECT_EQ(again.RadioGroup5->ItemIndex(), 6);
    EXPECT_EQ(again.UpDown1->Position(), 50);
    EXPECT_EQ(again.Edit4->text(), QStringLiteral("1,234"));
    EXPECT_EQ(again.Edit5->text(), QStringLiteral("pic"));
    EXPECT_FALSE(again.CheckBox8->isChecked());
}

// A folder whose name holds a line break, chosen with the folder dialog,
// stays whole: in Edit1, as the conversion's output folder, and through
// the settings file into the next start.
TEST_F(ProgramTest, AnOutputFolderWithALineBreakStaysWhole)
{
    const std::string picture = write_bmp("c.bmp", 9, 7);
    for (const char* name : {"two\nlines", "cr\rtab\t%0A"}) {
        const std::string folder = dir.path().toStdString() + "/" + name;
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        zumo::Program program(setup());
        {
            TForm1 form(program.Hooks());
            ScriptedHost host(&form);
            form.SetUserHost(&host);
            form.FolderDlg1->setBrowser([&](QWidget*, const QString&, const QString&) {
                return std::optional<QString>(QFile::decodeName(QByteArray::fromStdString(folder)));
            });
            form.CheckBox1->setChecked(true);
            form.Button1Click();
            EXPECT_EQ(form.Options().Edit1, folder + "/");
            EXPECT_FALSE(form.Edit1->text().contains(QLatin1Char('\n')));
            form.WMDropFiles({picture});
            EXPECT_EQ(QImage(QString::fromStdString(folder + "/c.bmp")).size(), QSize(9, 7));
            EXPECT_TRUE(host.messages.empty());
        }
        TForm1 again(program.Hooks());
        EXPECT_EQ(again.Options().Edit1, folder + "/");
    }
    // Nothing went into the parent folder under a cut name.
    QStringList made = QDir(dir.path()).entryList(QDir::Files);
    made.sort();
    EXPECT_EQ(made, (QStringList{QStringLiteral("c.bmp"), QStringLiteral("zumo.ini")}));
}

TEST_F(ProgramTest, CommandLineRunConvertsAndEndsTheProgram)
{
    const std::string picture = write_bmp("c.bmp", 9, 7);
    zumo::Program program(setup({picture}));
    TForm1 form(program.Hooks());
    ScriptedHost host(&form);
    form.SetUserHost(&host);
    form.show();
    EXPECT_TRUE(form.Terminated());
    EXPECT_EQ(form.ExitStatus(), 0);
    EXPECT_EQ(host.dialogs_shown, 1);
    EXPECT_EQ(QImage(dir.filePath("resize/c.bmp")).size(), QSize(9, 7));
    // The queued end of the program must not reach a later test's dialog.
    QCoreApplication::processEvents();
}

TEST_F(ProgramTest, ClosingDuringACommandLineRunEndsItAsStopped)
{
    const std::string first = write_bmp("f1.bmp", 5, 4);
    const std::string second = write_bmp("f2.bmp", 5, 4);
    zumo::Program program(setup({first, second}));
    TForm1 form(program.Hooks());
    ScriptedHost host(&form);
    form.SetUserHost(&host);
    host.progress_set = [&form] { form.close(); }; // before the first file
    form.show();
    EXPECT_TRUE(form.Terminated());
    EXPECT_EQ(form.ExitStatus(), zumo::k_exit_stopped);
    EXPECT_FALSE(QFile::exists(dir.filePath("resize/f1.bmp")));
    QCoreApplication::processEvents();
}

TEST_F(ProgramTest, NoArgumentsLeaveTheWindowOpen)
{
    zumo::Program program(setup());
    TForm1 form(program.Hooks());
    form.show();
    EXPECT_FALSE(form.Terminated());
    EXPECT_TRUE(form.CheckBox6->isEnabled());
}

// The "spi" folder beside the program is searched first, the plug-in
// folder of an installation (../lib/zumo/spi) after it, and only when it
// exists; listing them creates nothing and reads no settings.
TEST_F(ProgramTest, InstalledPluginsAreSearchedAfterTheSpiFolder)
{
    if (!QDir(QStringLiteral(ZUMO_PLUGIN_FOLDER)).exists())
        GTEST_SKIP() << "the plug-ins are not built";
    QDir root(dir.path());
    const auto place = [&](const QString& folder, const char* name) {
        ASSERT_TRUE(root.mkpath(folder));
        ASSERT_TRUE(QFile::copy(QStringLiteral(ZUMO_PLUGIN_FOLDER "/") + QLatin1String(name),
                                root.filePath(folder + QLatin1Char('/') + QLatin1String(name))));
    };
    place(QStringLiteral("bin/spi"), "gif.spi");
    place(QStringLiteral("lib/zumo/spi"), "png.spi");
    place(QStringLiteral("lib/zumo/spi"), "webp.spi");
    place(QStringLiteral("lib/zumo/other"), "tiff.spi");
    const std::string base = root.path().toStdString();
    struct Case
    {
        bool installed;
        std::vector<std::string> listed;
    };
    for (const Case& c : {Case{true,
                               {base + "/bin/spi/gif.spi", base + "/lib/zumo/spi/png.spi",
                                base + "/lib/zumo/spi/webp.spi"}},
                          Case{false, {base + "/bin/spi/gif.spi"}}}) {
        if (!c.installed)
            ASSERT_TRUE(root.rename(QStringLiteral("lib/zumo/spi"), QStringLiteral("lib/zumo/x")));
        zumo::ProgramSetup s;
        s.executable_path = base + "/bin/zumo";
        zumo::Program program(s);
        program.LoadPlugins();
        std::ostringstream out;
        program.ListPlugins(out);
        std::vector<std::string> listed;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(base, 0) == 0)
                listed.push_back(line.substr(0, line.find("  ")));
        if (listed.size() > 1)
            std::sort(listed.begin() + 1, listed.end()); // one folder's order is the system's
        EXPECT_EQ(listed, c.listed) << out.str();
        EXPECT_NE(out.str().find("    *.gif  "), std::string::npos) << out.str();
        EXPECT_FALSE(QFile::exists(root.filePath(QStringLiteral("bin/zumo.ini"))));
    }
}

// ---- drops, listing and preview (no settings involved) --------------------

class WindowRuns : public ProgramTest
{
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        form = std::make_unique<TForm1>();
        host = std::make_unique<ScriptedHost>(form.get());
        form->SetUserHost(host.get());
        form->FolderDlg2->setBrowser([this](QWidget*, const QString&, const QString&) {
            return std::optional<QString>(QDir::toNativeSeparators(dir.path()));
        });
    }
    void TearDown() override
    {
        form.reset();
        host.reset();
    }
    std::vector<std::string> lines(const TCheckListBox& list) const
    {
        std::vector<std::string> texts;
        for (int i = 0; i < list.Count(); ++i)
            texts.push_back(list.Text(i));
        std::sort(texts.begin(), texts.end());
        return texts;
    }

    std::unique_ptr<TForm1> form;
    std::unique_ptr<ScriptedHost> host;
};

TEST_F(WindowRuns, DroppedFilesAreConvertedByTheDropMode)
{
    const std::string picture = write_bmp("d.bmp", 6, 4);
    QFile(dir.filePath("notes.txt")).open(QIODevice::WriteOnly);
    form->RadioGroup1->setItemIndex(1); // → PNG
    form->RadioGroup9->setItemIndex(0);
    form->WMDropFiles({picture, dir.filePath("notes.txt").toStdString()});
    EXPECT_EQ(QImage(dir.filePath("d.png")).size(), QSize(6, 4));
    EXPECT_TRUE(host->messages.empty()) << "other types are skipped silently in mode 0";
    EXPECT_TRUE(host->questions.empty());
    EXPECT_EQ(host->dialogs_shown, 1);
    EXPECT_EQ(host->beeps, 1);
}

TEST_F(WindowRuns, AFileDroppedOnTheWindowStartsADropRun)
{
    const std::string picture = write_bmp("e.bmp", 3, 5);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(picture)),
                  QUrl(QStringLiteral("https://example.org/x.bmp"))}); // not a file: ignored
    form->RadioGroup1->setItemIndex(1);                                // → PNG
    // Over an edit, which must leave the files to the window.
    QWidget* target = form->Edit1;
    const QPoint at(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(host->dialogs_shown, 0) << "the drop is answered before its run starts";
    QCoreApplication::processEvents();
    EXPECT_EQ(host->dialogs_shown, 1);
    EXPECT_EQ(QImage(dir.filePath("e.png")).size(), QSize(3, 5));
    EXPECT_TRUE(host->messages.empty());
}

// Records the files that the drop runs hand on, in order, and whether a
// progress dialog of the window was open at that moment.
class HandedOn : public zumo::RunObserver
{
public:
    explicit HandedOn(QWidget* window) : m_window(window) {}
    void FileStarted(const std::string& path) override
    {
        int open = 0;
        for (QWidget* child : m_window->findChildren<QWidget*>())
            open += child->isWindow() && child->isVisible() ? 1 : 0;
        files.push_back(path);
        dialogs_open.push_back(open);
    }
    std::vector<std::string> files;
    std::vector<int> dialogs_open;

private:
    QWidget* m_window;
};

QMimeData* local_files(const std::vector<std::string>& paths)
{
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const std::string& path : paths)
        urls << QUrl::fromLocalFile(QString::fromStdString(path));
    mime->setUrls(urls);
    return mime;
}

// A drag that enters target at and drops there, as Qt delivers one.
void drop_on(QWidget* target, const QMimeData* mime, QPoint at = QPoint(10, 10))
{
    QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

// A drop that arrives while a drop run lets the window handle its events
// runs at once with its own dialog, inside the outer one, which then goes
// on with its own files.
TEST_F(WindowRuns, ADropDuringADropRunIsANestedRun)
{
    const std::string outer1 = write_bmp("Outer1.BMP", 4, 4);
    const std::string outer2 = write_bmp("outer2.bmp", 5, 5);
    const std::string inner = write_bmp("inner.bmp", 6, 6);
    form->RadioGroup9->setItemIndex(0); // BEEP
    form->RadioGroup1->setItemIndex(1); // → PNG, beside the pictures
    form->show();
    HandedOn handed(form.get());
    form->SetRunObserver(&handed);

    const std::unique_ptr<QMimeData> inner_mime(local_files({inner}));
    const std::unique_ptr<QMimeData> outer_mime(local_files({outer1, outer2}));
    // Queued now (as Qt delivers a drag: enter, then drop), delivered when
    // the outer run first lets events through.
    QCoreApplication::postEvent(form.get(), new QDragEnterEvent(QPoint(20, 20), Qt::CopyAction,
                                                                inner_mime.get(), Qt::LeftButton,
                                                                Qt::NoModifier));
    QCoreApplication::postEvent(form.get(),
                                new QDropEvent(QPointF(20, 20), Qt::CopyAction, inner_mime.get(),
                                               Qt::LeftButton, Qt::NoModifier));
    QDragEnterEvent enter(QPoint(30, 30), Qt::CopyAction, outer_mime.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(form.get(), &enter);
    QDropEvent drop(QPointF(30, 30), Qt::CopyAction, outer_mime.get(), Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(form.get(), &drop);
    QCoreApplication::processEvents();

    EXPECT_EQ(handed.files, (std::vector<std::string>{inner, outer1, outer2}));
    EXPECT_EQ(handed.dialogs_open, (std::vector<int>{2, 1, 1})) << "the inner run's own dialog";
    EXPECT_EQ(host->dialogs_shown, 2);
    EXPECT_EQ(host->beeps, 2) << "each run gives its end signal";
    for (const char* name : {"Outer1.png", "outer2.png", "inner.png"})
        EXPECT_TRUE(QFile::exists(dir.filePath(QString::fromLatin1(name)))) << name;
    form->SetRunObserver(nullptr);
}

// Closing the window while a run goes on ends the run after the file in
// progress, without the end signal; a drop still queued then is not run.
struct CloseCase
{
    const char* name;
    bool drop;    // a drop run, else "変換実行" over the listed pictures
    int close_at; // close after this SetProgress (from 1)
    int written;  // files converted: the drop run sets the bar before a
                  // file, the batch after it
};

class CloseDuringARun : public WindowRuns, public ::testing::WithParamInterface<CloseCase>
{
};

TEST_P(CloseDuringARun, StopsAfterTheFileInProgress)
{
    const CloseCase& c = GetParam();
    std::vector<std::string> pictures;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        pictures.push_back(write_bmp(QString::fromLatin1(name), 8, 6));
    form->RadioGroup1->setItemIndex(1);  // → PNG, beside the pictures
    form->RadioGroup9->setItemIndex(0);  // BEEP
    form->CheckBox11->setChecked(false); // one at a time: side by side more are in flight
    form->show();
    const std::unique_ptr<QMimeData> late(local_files({pictures[2]}));
    int progress_calls = 0;
    // Another drop arrives just before the close.
    host->progress_set = [&] {
        if (++progress_calls != c.close_at)
            return;
        drop_on(form.get(), late.get());
        form->close();
    };
    if (c.drop) {
        const std::unique_ptr<QMimeData> mime(local_files(pictures));
        drop_on(form.get(), mime.get());
        QCoreApplication::processEvents();
    } else {
        form->Button6->click();
        for (int i = 0; i < form->CheckListBox1->Count(); ++i)
            form->CheckListBox1->setChecked(i, true);
        form->Button5->click();
    }
    QCoreApplication::processEvents();

    EXPECT_EQ(progress_calls, c.close_at) << "the run went on after the close";
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(host->beeps, 0) << "no end signal for a run the close stopped";
    EXPECT_EQ(host->dialogs_shown, 1) << "the drop that came with the close did not run";
    int written = 0;
    for (const char* name : {"a.png", "b.png", "c.png"})
        written += QFile::exists(dir.filePath(QString::fromLatin1(name))) ? 1 : 0;
    EXPECT_EQ(written, c.written);
}

INSTANTIATE_TEST_SUITE_P(Runs, CloseDuringARun,
                         ::testing::Values(CloseCase{"DropRunBeforeTheFirstFile", true, 1, 0},
                                           CloseCase{"DropRunBeforeTheSecondFile", true, 2, 1},
                                           CloseCase{"ListBatchAfterTheFirstFile", false, 1, 1},
                                           CloseCase{"ListBatchAfterTheSecondFile", false, 2, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// GIF mode hands every dropped file to the GIF conversion, whatever its
// type, by the name exactly as dropped: the ones that are not GIF files
// fail with the conversion's message and the run goes on.
TEST_F(WindowRuns, GifModeDropHandsOnEveryFileAsDropped)
{
    const std::string still = write_bmp("Still.BMP", 7, 3);
    const std::string gif = dir.filePath("Anim.GIF").toStdString();
    {
        const imgctl::HDIB picture = imgctl::ToDIB(still.c_str());
        ASSERT_NE(picture, 0u);
        imgctl::DIBto8Bit(picture, 0, 0);
        imgctl::DIBtoGIF(gif.c_str(), picture, 0);
        imgctl::DeleteDIB(picture);
    }
    QFile text(dir.filePath("Notes.TXT"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("text\n");
    text.close();
    const std::string notes = dir.filePath("Notes.TXT").toStdString();
    form->RadioGroup10->setItemIndex(1);
    form->RadioGroup2->setItemIndex(2); // → PNG
    HandedOn handed(form.get());
    form->SetRunObserver(&handed);

    const std::unique_ptr<QMimeData> mime(local_files({still, gif, notes}));
    drop_on(form.get(), mime.get());
    QCoreApplication::processEvents();

    EXPECT_EQ(handed.files, (std::vector<std::string>{still, gif, notes}));
    EXPECT_EQ(host->messages,
              (std::vector<std::string>{
                  "画像を処理できません: " + still + ": GIF ファイルではありません",
                  "画像を処理できません: " + notes + ": GIF ファイルではありません"}));
    EXPECT_EQ(QImage(dir.filePath("Anim.png")).size(), QSize(7, 3));
    EXPECT_EQ(host->dialogs_shown, 1);
    form->SetRunObserver(nullptr);
}

TEST_F(WindowRuns, ListingsFillTheListAndCount)
{
    for (const char* name : {"a.jpg", "b.JPEG", "c.png", "d.gif", "e.txt"})
        QFile(dir.filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly);
    form->Button6->click();
    EXPECT_EQ(lines(*form->CheckListBox1), (std::vector<std::string>{"a.jpg", "b.JPEG", "c.png"}));
    EXPECT_EQ(form->Label8->text(), QStringLiteral("3 Files."));
    EXPECT_EQ(form->FoundCount, 3);
    form->Button7->click();
    EXPECT_EQ(lines(*form->CheckListBox1), (std::vector<std::string>{"d.gif"}));
    EXPECT_EQ(form->Label8->text(), QStringLiteral("1 Files."));

    form->FolderDlg2->setBrowser(
        [](QWidget*, const QString&, const QString&) { return std::optional<QString>(); });
    form->Button6->click();
    EXPECT_EQ(form->CheckListBox1->Count(), 0);
    EXPECT_EQ(form->Label8->text(), QStringLiteral("1 Files.")) << "cancel keeps the count";
}

TEST_F(WindowRuns, PreviewShowsTheSelectedPictureScaledOnlyWhenLarge)
{
    write_bmp("small.bmp", 100, 100);
    write_bmp("large.bmp", 1600, 1200);
    write_bmp("wide.bmp", 1600, 100);
    form->Button6Click();
    ASSERT_EQ(form->CheckListBox1->Count(), 3);
    form->CheckBox5->setChecked(true);
    const struct
    {
        const char* name;
        QSize size;
        bool stretch;
    } rows[] = {{"small.bmp", {100, 100}, false},
                {"large.bmp", {1600, 1200}, true},
                {"wide.bmp", {1600, 100}, false}};
    for (const auto& row : rows) {
        const auto found =
            form->CheckListBox1->findItems(QString::fromLatin1(row.name), Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        form->CheckListBox1->setCurrentItem(found.first());
        form->CheckListBox1Click();
        ASSERT_TRUE(zumo::testing::SettlePreview(*form));
        EXPECT_EQ(form->Image1->Picture().size(), row.size) << row.name;
        EXPECT_EQ(form->Image1->Stretch(), row.stretch) << row.name;
    }
    EXPECT_TRUE(host->messages.empty());

    form->CheckBox5->setChecked(false); // the preview keeps what it showed
    form->CheckListBox1->setCurrentRow(0);
    form->CheckListBox1Click();
    EXPECT_FALSE(form->PreviewPending());
    zumo::testing::SettlePreview(*form);
    EXPECT_EQ(form->Image1->Picture().size(), QSize(1600, 100));
}

// The plug-ins that ship with the program decode PNG and GIF lines for the
// preview; a damaged file is reported and the preview keeps what the lines
// before it left.
TEST_F(WindowRuns, ShippedPluginsPreviewPngAndGif)
{
    if (!QDir(QStringLiteral(ZUMO_PLUGIN_FOLDER)).exists())
        GTEST_SKIP() << "the plug-ins are not built";
    zumo::TSPIs plugins;
    plugins.SearchSPI(ZUMO_PLUGIN_FOLDER "/*");
    ASSERT_GE(plugins.Count(), 2);

    const std::string bmp = write_bmp("source.bmp", 300, 200);
    QImage(dir.filePath("source.bmp")).save(dir.filePath("big.png"), "PNG");
    const imgctl::HDIB picture = imgctl::ToDIB(bmp.c_str());
    imgctl::ResizeDIB(picture, 90, 60);
    imgctl::DIBto8Bit(picture, 0, 0);
    imgctl::DIBtoGIF(dir.filePath("small.gif").toStdString().c_str(), picture, 0);
    imgctl::DeleteDIB(picture);
    QFile::remove(dir.filePath("source.bmp"));
    QFile damaged(dir.filePath("damaged.png"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    damaged.close();

    form->CheckBox5->setChecked(true);
    form->Button6Click();
    ASSERT_EQ(lines(*form->CheckListBox1), (std::vector<std::string>{"big.png", "damaged.png"}));
    const auto click = [&](const char* name) {
        const auto found =
            form->CheckListBox1->findItems(QString::fromLatin1(name), Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        QTest::mouseClick(form->CheckListBox1->viewport(), Qt::LeftButton, {},
                          form->CheckListBox1->visualItemRect(found.first()).center());
        ASSERT_TRUE(zumo::testing::SettlePreview(*form));
    };
    click("big.png");
    EXPECT_EQ(form->Image1->Picture().size(), QSize(300, 200));
    EXPECT_TRUE(form->Image1->Stretch());
    EXPECT_EQ(form->Image1->Picture().pixelColor(150, 100), QColor(Qt::darkCyan));
    EXPECT_TRUE(host->messages.empty());

    click("damaged.png");
    ASSERT_EQ(host->messages.size(), 1u);
    EXPECT_FALSE(host->messages[0].empty());
    // Every line before the damaged one empties the preview on the way.
    if (form->CheckListBox1->currentRow() == 0)
        EXPECT_EQ(form->Image1->Picture().size(), QSize(300, 200));
    else
        EXPECT_TRUE(form->Image1->Picture().isNull());

    form->Button7Click();
    ASSERT_EQ(lines(*form->CheckListBox1), std::vector<std::string>{"small.gif"});
    click("small.gif");
    EXPECT_EQ(form->Image1->Picture().size(), QSize(90, 60));
    EXPECT_FALSE(form->Image1->Stretch());
    EXPECT_EQ(host->messages.size(), 1u);
}

// Names that are not UTF-8 (a Shift-JIS folder and file from a Windows
// disk) travel as bytes from the folder dialog, the listings, the open
// dialog and a drop to the preview, the conversion and the rename; the
// lists show a readable rendering. Qt's dialogs give such names as text
// with U+FFFD in place of the bytes.
TEST_F(WindowRuns, ShiftJisNamesWorkThroughListingPreviewConversionAndRename)
{
    const std::string folder = dir.path().toStdString() + "/\x95\x5c\x8e\xa6"; // 表示
    const std::string name = "\x93\xfa\x96\x7b";                               // 日本
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(std::rename(write_bmp("source.bmp", 300, 200).c_str(),
                          (folder + "/" + name + ".bmp").c_str()),
              0);
    const QString shown_folder = QFile::decodeName(QByteArray::fromStdString(folder));
    ASSERT_TRUE(shown_folder.contains(QChar::ReplacementCharacter));
    form->FolderDlg2->setBrowser([&](QWidget*, const QString&, const QString&) {
        return std::optional<QString>(shown_folder);
    });

    form->Button6Click();
    EXPECT_EQ(form->FolderDlg2->FolderName, folder);
    ASSERT_EQ(lines(*form->CheckListBox1), std::vector<std::string>{name + ".bmp"});
    EXPECT_EQ(form->CheckListBox1->item(0)->text(), QStringLiteral("日本.bmp"));

    form->CheckBox5->setChecked(true);
    form->CheckListBox1->setCurrentRow(0);
    form->CheckListBox1Click();
    ASSERT_TRUE(zumo::testing::SettlePreview(*form));
    EXPECT_EQ(form->Image1->Picture().size(), QSize(300, 200));

    form->CheckListBox1->setChecked(0, true);
    form->RadioGroup1->setItemIndex(1); // → PNG
    form->Button5Click();
    const auto exists = [](const std::string& path) {
        struct stat st
        {
        };
        return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
    };
    EXPECT_TRUE(exists(folder + "/" + name + ".png")) << "converted beside its source";
    EXPECT_TRUE(host->messages.empty());

    form->RadioGroup3->setItemIndex(1); // the extension only, the name stays
    form->Edit6->setText(QStringLiteral("dat"));
    form->Button10Click();
    ASSERT_EQ(lines(*form->CheckListBox2),
              (std::vector<std::string>{name + ".bmp", name + ".png"}));
    for (int i = 0; i < 2; ++i)
        form->CheckListBox2->setChecked(i, true);
    form->Button9Click();
    EXPECT_TRUE(exists(folder + "/" + name + ".dat")) << "renamed by its bytes";

    // The open dialog and a drop hand the same bytes on.
    form->OpenDialog1.setRunner([&](QWidget*, const QStringList&) {
        return std::optional<QStringList>(QStringList{
            QFile::decodeName(QByteArray::fromStdString(folder + "/" + name + ".bmp"))});
    });
    ASSERT_TRUE(form->OpenDialog1.Execute());
    EXPECT_EQ(form->OpenDialog1.Files, std::vector<std::string>{folder + "/" + name + ".bmp"});
    QMimeData drop;
    const QByteArray url =
        "file://" + QByteArray::fromStdString(folder + "/" + name + ".bmp").toPercentEncoding("/");
    drop.setData(QStringLiteral("text/uri-list"), url + "\r\n");
    EXPECT_EQ(TForm1::DroppedFiles(drop), std::vector<std::string>{folder + "/" + name + ".bmp"});
}

// The output folder chosen for the conversions keeps its bytes in Edit1
// until the user types over it.
TEST_F(WindowRuns, AnOutputFolderThatIsNotUtf8KeepsItsBytes)
{
    const std::string folder = dir.path().toStdString() + "/caf\xe9";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    form->FolderDlg1->setBrowser([&](QWidget*, const QString&, const QString&) {
        return std::optional<QString>(QFile::decodeName(QByteArray::fromStdString(folder)));
    });
    form->Button1Click();
    EXPECT_TRUE(form->Edit1->text().endsWith(QStringLiteral("/café/")))
        << form->Edit1->text().toStdString();
    EXPECT_EQ(form->Options().Edit1, folder + "/");
    form->Edit1->setText(QStringLiteral("/tmp/typed/"));
    EXPECT_EQ(form->Options().Edit1, "/tmp/typed/");
}

TEST_F(WindowRuns, PreviewOfAnUnknownFormatReportsIt)
{
    QFile(dir.filePath("x.xyz")).open(QIODevice::WriteOnly);
    form->FolderDlg2->FolderName = QDir::toNativeSeparators(dir.path()).toStdString();
    form->CheckListBox1->Add("x.xyz");
    form->CheckBox5->setChecked(true);
    form->CheckListBox1->setCurrentRow(0);
    form->CheckListBox2->Add("anything"); // its click previews list 1
    form->CheckListBox2->setCurrentRow(0);
    QTest::mouseClick(form->CheckListBox2->viewport(), Qt::LeftButton, {},
                      form->CheckListBox2->visualItemRect(form->CheckListBox2->item(0)).center());
    ASSERT_TRUE(zumo::testing::SettlePreview(*form));
    EXPECT_EQ(host->messages, (std::vector<std::string>{"拡張子 .xyz の画像形式は処理できません"}));
}

} // namespace
