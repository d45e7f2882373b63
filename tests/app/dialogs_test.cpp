#include "app/OpenDialog.h"
#include "app/translations.h"
#include "app/user_hosts.h"
#include "convert/StrPprog.h"
#include "shell/FolderDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

int scaled(const QWidget& w, int px)
{
    return qRound(px * w.logicalDpiY() / 96.0);
}

// ---- TFormStrProgress -----------------------------------------------------

TEST(StrProgress, ShowsTextCaptionAndSizeOfTheDesign)
{
    QWidget owner;
    zumo::StrProgressDialog dialog(&owner, "変換中です");
    TFormStrProgress* form = dialog.form();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isModal());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("TStringsPrinter"));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("変換中です"));
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->Button1->text(), QStringLiteral("キャンセル"));
    EXPECT_EQ(form->size(), QSize(scaled(*form, 373), scaled(*form, 91)));
    EXPECT_TRUE(QRect(QPoint(0, 0), form->size()).contains(form->Button1->geometry()));
    EXPECT_EQ(form->parentWidget(), &owner);

    dialog.SetCaption("Zumo変換");
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Zumo変換"));
}

TEST(StrProgress, BarFollowsTheEntriesOfABatch)
{
    QWidget owner;
    zumo::StrProgressDialog dialog(&owner, "変換中です");
    std::vector<int> shown;
    for (int i = 0; i < 5; ++i) {
        dialog.SetProgress("変換中です", 4, i);
        shown.push_back(dialog.form()->ProgressBar1->value());
    }
    EXPECT_EQ(shown, (std::vector<int>{0, 25, 50, 75, 100}));
    dialog.SetProgress("次", 0, 0); // one entry: full
    EXPECT_EQ(dialog.form()->ProgressBar1->value(), 100);
    EXPECT_EQ(dialog.form()->Label1->text(), QStringLiteral("次"));
}

TEST(StrProgress, CloseBoxOnlyHidesAndCancelStaysSet)
{
    QWidget owner;
    auto dialog = std::make_unique<zumo::StrProgressDialog>(&owner, "変換中です");
    QPointer<TFormStrProgress> form = dialog->form();
    form->close();
    EXPECT_FALSE(form->isVisible());
    ASSERT_FALSE(form.isNull());
    EXPECT_FALSE(dialog->Cancelled());

    form->Button1->click();
    EXPECT_TRUE(dialog->Cancelled());
    dialog->SetProgress("変換中です", 3, 1);
    EXPECT_TRUE(dialog->Cancelled()) << "Cancelled is never reset";

    dialog.reset(); // the run releases its dialog
    EXPECT_TRUE(form.isNull());
}

TEST(StrProgress, DialogTakenDownWithItsOwnerStopsTheRunSafely)
{
    auto owner = std::make_unique<QWidget>();
    zumo::StrProgressDialog dialog(owner.get(), "変換中です");
    owner.reset();
    EXPECT_EQ(dialog.form(), nullptr);
    EXPECT_TRUE(dialog.Cancelled());
    dialog.SetCaption("x");
    dialog.SetProgress("x", 1, 1); // nothing to show, no crash
}

// ---- QtUserHost -----------------------------------------------------------

// Answers the next modal box with the button captioned `button` (empty:
// closes it with Escape) and remembers what the box showed.
struct BoxSeen
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

void answer_next_box(BoxSeen& seen, const QString& button)
{
    QTimer::singleShot(0, [&seen, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            answer_next_box(seen, button); // not up yet
            return;
        }
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton* b : box->buttons())
            seen.buttons << b->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == button) {
                b->click();
                return;
            }
        QTest::keyClick(box, Qt::Key_Escape);
    });
}

TEST(QtUserHost, QuestionsAreConfirmationBoxesWithTheirOwnButtons)
{
    QWidget owner;
    zumo::QtUserHost host(&owner);
    const struct
    {
        zumo::Buttons buttons;
        const char* click;
        zumo::Answer answer;
        QStringList shown;
    } rows[] = {
        {zumo::Buttons::YesNo, "はい(&Y)", zumo::Answer::Yes, {"はい(&Y)", "いいえ(&N)"}},
        {zumo::Buttons::YesNo, "いいえ(&N)", zumo::Answer::No, {"はい(&Y)", "いいえ(&N)"}},
        {zumo::Buttons::YesNo, "", zumo::Answer::No, {"はい(&Y)", "いいえ(&N)"}},
        {zumo::Buttons::OkCancel, "OK", zumo::Answer::Ok, {"OK", "キャンセル"}},
        {zumo::Buttons::OkCancel, "", zumo::Answer::Cancel, {"OK", "キャンセル"}},
    };
    for (const auto& row : rows) {
        BoxSeen seen;
        answer_next_box(seen, QString::fromUtf8(row.click));
        EXPECT_EQ(host.Ask("確認", "3個のファイルを処理します. よろしいですか?", row.buttons),
                  row.answer)
            << row.click;
        EXPECT_EQ(seen.title, QStringLiteral("確認"));
        EXPECT_EQ(seen.text, QStringLiteral("3個のファイルを処理します. よろしいですか?"));
        EXPECT_EQ(seen.icon, QMessageBox::Question);
        QStringList sorted = seen.buttons;
        sorted.sort();
        QStringList expected = row.shown;
        expected.sort();
        EXPECT_EQ(sorted, expected);
    }
}

TEST(QtUserHost, PlainMessageCarriesTheApplicationTitleAndNoIcon)
{
    QWidget owner;
    zumo::QtUserHost host(&owner);
    zumo::SetApplicationTitle(QStringLiteral("Zumo変換"));
    BoxSeen seen;
    answer_next_box(seen, QStringLiteral("OK"));
    host.ShowMessage("画像を処理できません");
    EXPECT_EQ(seen.title, QStringLiteral("Zumo変換"));
    EXPECT_EQ(seen.text, QStringLiteral("画像を処理できません"));
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
}

// A name that is not UTF-8 (Latin-1 here) shows by its bytes; the Japanese
// text of the same message stays readable.
TEST(QtUserHost, ANameThatIsNotUtf8LeavesTheRestOfTheMessageReadable)
{
    QWidget owner;
    zumo::QtUserHost host(&owner);
    BoxSeen seen;
    answer_next_box(seen, QStringLiteral("OK"));
    host.ShowFailure("/p/caf\xE9.jpg", "画像を処理できません", "画像のデータが壊れています");
    EXPECT_EQ(seen.text,
              QStringLiteral("画像を処理できません: /p/café.jpg: 画像のデータが壊れています"));
    answer_next_box(seen, QStringLiteral("OK"));
    host.ShowMessage("1個のファイルをリネームできませんでした.\n/p/caf\xE9.jpg");
    EXPECT_EQ(seen.text, QStringLiteral("1個のファイルをリネームできませんでした.\n/p/café.jpg"));
}

// A stop request answers whatever box waits for the user the way that
// skips, so that a run stopped by a signal gets to its next stop check.
void answer_for_a_stop_when_up()
{
    QTimer::singleShot(0, [] {
        if (!zumo::AnswerModalForAStop())
            answer_for_a_stop_when_up(); // not up yet
    });
}

TEST(QtUserHost, AStopAnswersTheWaitingBoxTheWayThatSkips)
{
    QWidget owner;
    zumo::QtUserHost host(&owner);
    EXPECT_FALSE(zumo::AnswerModalForAStop()) << "nothing waits";
    answer_for_a_stop_when_up();
    EXPECT_EQ(
        host.Ask("確認", "フォルダが指定されていません.処理を中断しますか?", zumo::Buttons::YesNo),
        zumo::Answer::Yes);
    answer_for_a_stop_when_up();
    EXPECT_EQ(
        host.Ask("確認", "3個のファイルを処理します. よろしいですか?", zumo::Buttons::OkCancel),
        zumo::Answer::Cancel);
    answer_for_a_stop_when_up();
    host.ShowMessage("画像を処理できません"); // returns
    QDialog dialog(&owner);
    dialog.setModal(true);
    answer_for_a_stop_when_up();
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

// ---- TFolderDlg -----------------------------------------------------------

struct BrowserCase
{
    std::optional<QString> answer;
    bool result;
    std::string folder_name;
};

class FolderDlgExecute : public ::testing::TestWithParam<BrowserCase>
{
};

TEST_P(FolderDlgExecute, FolderNameFollowsTheAnswer)
{
    const BrowserCase& row = GetParam();
    QWidget owner;
    TFolderDlg dialog(&owner);
    dialog.FolderName = "/earlier";
    dialog.setBrowser([&](QWidget*, const QString&, const QString&) { return row.answer; });
    EXPECT_EQ(dialog.Execute(), row.result);
    EXPECT_EQ(dialog.FolderName, row.folder_name);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FolderDlgExecute,
    ::testing::Values(BrowserCase{std::nullopt, false, ""},        // cancelled
                      BrowserCase{QStringLiteral("/"), true, "/"}, // root keeps it
                      BrowserCase{QStringLiteral("/srv/pics/"), true, "/srv/pics"},
                      BrowserCase{QStringLiteral("/srv//pics"), true, "/srv/pics"},
                      BrowserCase{QStringLiteral("/srv/写真"), true, "/srv/写真"},
                      BrowserCase{QStringLiteral(""), false, ""},          // no path
                      BrowserCase{QStringLiteral("Network"), false, ""})); // not a folder

TEST(FolderDlg, HandsTitleAndRootToTheBrowser)
{
    QWidget owner;
    TFolderDlg dialog(&owner);
    EXPECT_EQ(dialog.Title, "");
    EXPECT_EQ(dialog.Root, "");
    EXPECT_EQ(dialog.FolderName, "");
    dialog.Title = "選んでください";
    dialog.Root = "/usr";
    QWidget* seen_owner = nullptr;
    QString seen_title;
    QString seen_root;
    dialog.setBrowser([&](QWidget* o, const QString& title, const QString& root) {
        seen_owner = o;
        seen_title = title;
        seen_root = root;
        return std::optional<QString>(root);
    });
    EXPECT_TRUE(dialog.Execute());
    EXPECT_EQ(seen_owner, &owner);
    EXPECT_EQ(seen_title, QStringLiteral("選んでください"));
    EXPECT_EQ(seen_root, QStringLiteral("/usr"));
    EXPECT_EQ(dialog.FolderName, "/usr");
}

// ---- TOpenDialog ----------------------------------------------------------

TEST(OpenDialog, ClassicFiltersBecomeNameFilters)
{
    EXPECT_EQ(zumo::name_filters_from("jpg,png,bmp|*.jpg;*.png;*.bmp"),
              QStringList{QStringLiteral("jpg,png,bmp (*.jpg *.png *.bmp)")});
    EXPECT_EQ(zumo::name_filters_from("gif|*.gif"), QStringList{QStringLiteral("gif (*.gif)")});
    EXPECT_EQ(zumo::name_filters_from("a|*.a|b|*.b"),
              (QStringList{QStringLiteral("a (*.a)"), QStringLiteral("b (*.b)")}));
    EXPECT_TRUE(zumo::name_filters_from("").isEmpty());
    EXPECT_TRUE(zumo::name_filters_from("dangling").isEmpty());
}

TEST(OpenDialog, ConfirmedPicksReplaceFilesCancelKeepsThem)
{
    QWidget owner;
    TOpenDialog dialog(&owner);
    std::optional<QStringList> answer = QStringList{"/p/a.jpg", "/p/b.png"};
    QStringList seen_filters;
    dialog.setRunner([&](QWidget*, const QStringList& filters) {
        seen_filters = filters;
        return answer;
    });
    dialog.Filter = "gif|*.gif";
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(seen_filters, QStringList{QStringLiteral("gif (*.gif)")});
    EXPECT_EQ(dialog.Files, (std::vector<std::string>{"/p/a.jpg", "/p/b.png"}));
    answer.reset();
    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.Files.size(), 2u);
}

// ---- the program's own file dialogs ----------------------------------------

// A folder with entries whose names are not UTF-8 (Latin-1): a folder
// "café", a picture "été.JPG" and a text file.
struct Latin1Folder
{
    Latin1Folder()
    {
        root = QDir(dir.path()).absolutePath().toStdString();
        ::mkdir((root + "/caf\xE9").c_str(), 0755);
        for (const std::string name : {"\xE9t\xE9.JPG", "notes.txt"})
            std::fclose(std::fopen((root + "/" + name).c_str(), "w"));
    }
    QStringList shown(const QListWidget* list) const
    {
        QStringList names;
        for (int i = 0; i < list->count(); ++i)
            names << list->item(i)->text();
        return names;
    }
    QTemporaryDir dir;
    std::string root;
};

// Runs check on the program's dialog once it is up, then answers it.
void when_browse_dialog_up(std::function<void(zumo::LocalBrowseDialog&)> check)
{
    QTimer::singleShot(0, [check] {
        auto* dialog = qobject_cast<zumo::LocalBrowseDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return when_browse_dialog_up(check); // not up yet
        check(*dialog);
    });
}

TEST(LocalBrowseDialog, FolderDialogListsAndChoosesAFolderByItsBytes)
{
    Latin1Folder folder;
    QWidget owner;
    TFolderDlg dialog(&owner);
    dialog.Root = folder.root + "/caf\xE9"; // opens beside it, with it selected
    when_browse_dialog_up([&](zumo::LocalBrowseDialog& shown) {
        EXPECT_EQ(shown.Folder(), folder.root);
        EXPECT_EQ(folder.shown(shown.List()), QStringList{QStringLiteral("café")});
        shown.accept();
    });
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(dialog.FolderName, folder.root + "/caf\xE9");
}

TEST(LocalBrowseDialog, OpenDialogListsFilesOfTheFilterByTheirBytes)
{
    Latin1Folder folder;
    QWidget owner;
    TFolderDlg folder_dialog(&owner);
    folder_dialog.Root = folder.root; // the dialogs start where the last one was left
    when_browse_dialog_up([](zumo::LocalBrowseDialog& shown) { shown.accept(); });
    ASSERT_TRUE(folder_dialog.Execute());

    TOpenDialog dialog(&owner);
    dialog.Filter = "jpg,png,bmp|*.jpg;*.png;*.bmp";
    when_browse_dialog_up([&](zumo::LocalBrowseDialog& shown) {
        EXPECT_EQ(shown.Folder(), folder.root);
        EXPECT_EQ(folder.shown(shown.List()),
                  (QStringList{QStringLiteral("café"), QStringLiteral("été.JPG")}));
        shown.List()->item(1)->setSelected(true);
        shown.accept();
    });
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(dialog.Files, std::vector<std::string>{folder.root + "/\xE9t\xE9.JPG"});
}

// ---- Qt's own texts ------------------------------------------------------

// The texts that Qt supplies in the dialogs and menus the user meets, each
// with its English original: with the Japanese catalogue installed, every
// one reads in Japanese.
struct QtText
{
    const char* name;
    const char* english;
    std::function<QString()> shown;
};

// The text of one of the dialog's two buttons.
QString button_text(const QFileDialog& dialog, QDialogButtonBox::StandardButton which)
{
    const auto* box = dialog.findChild<QDialogButtonBox*>();
    const QPushButton* button = box ? box->button(which) : nullptr;
    return button ? button->text() : QString();
}

QFileDialog* widget_dialog(QFileDialog::FileMode mode)
{
    auto* dialog = new QFileDialog;
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFileMode(mode);
    return dialog;
}

QString context_menu_text(int index)
{
    QLineEdit edit(QStringLiteral("abc"));
    const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator())
            texts << action->text();
    return index < texts.size() ? texts[index] : QString();
}

class QtTexts : public ::testing::TestWithParam<QtText>
{
};

TEST_P(QtTexts, ReadInJapanese)
{
    const std::unique_ptr<QTranslator> translator = zumo::InstallQtTranslations();
    ASSERT_NE(translator, nullptr) << "qtbase_ja.qm (qt6-translations-l10n) not found";
    const QString text = GetParam().shown();
    EXPECT_NE(text, QString::fromLatin1(GetParam().english));
    EXPECT_FALSE(text.isEmpty());
    static const QRegularExpression japanese(
        QStringLiteral("[\\x{3040}-\\x{30ff}\\x{4e00}-\\x{9fff}]"));
    EXPECT_TRUE(text.contains(japanese)) << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, QtTexts,
    ::testing::Values(
        QtText{"FolderDialogCaption", "Find Directory",
               [] {
                   const std::unique_ptr<QFileDialog> d(widget_dialog(QFileDialog::Directory));
                   return d->windowTitle();
               }},
        QtText{"FolderDialogChoose", "&Choose",
               [] {
                   const std::unique_ptr<QFileDialog> d(widget_dialog(QFileDialog::Directory));
                   return button_text(*d, QDialogButtonBox::Open);
               }},
        QtText{"OpenDialogCancel", "Cancel",
               [] {
                   const std::unique_ptr<QFileDialog> d(widget_dialog(QFileDialog::ExistingFiles));
                   return button_text(*d, QDialogButtonBox::Cancel);
               }},
        QtText{"EditMenuUndo", "&Undo", [] { return context_menu_text(0); }},
        QtText{"EditMenuSelectAll", "Select All", [] { return context_menu_text(6); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
