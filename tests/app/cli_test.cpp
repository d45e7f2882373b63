// The real program run as a user runs it from a script: a copy of the built
// zumo with its "spi" folder in a scratch folder, the settings file beside
// it, real pictures, no display (DISPLAY and WAYLAND_DISPLAY removed from
// the environment), and the outputs, standard error, exit status and
// settings file checked afterwards.
#include "program_run.h"

#include <QCoreApplication>
#include <gif_lib.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace program_run;

void write_gif(const fs::path& path, int width, int height)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    ASSERT_NE(gif, nullptr);
    const GifColorType colours[2] = {{250, 200, 0}, {0, 40, 120}};
    ColorMapObject* map = GifMakeMapObject(2, colours);
    EGifPutScreenDesc(gif, width, height, 1, 0, map);
    EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
    for (int y = 0; y < height; ++y) {
        std::vector<GifPixelType> row(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x)
            row[static_cast<std::size_t>(x)] = static_cast<GifPixelType>((x + y) & 1);
        EGifPutLine(gif, row.data(), width);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
}

class CommandLine : public ::testing::Test
{
protected:
    Installation zumo;
};

// ---- options --------------------------------------------------------------------

TEST_F(CommandLine, OptionsAnswerWithoutAWindowOrASettingsFile)
{
    Result help = zumo.run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: zumo [--help] [--version] [--list-plugins] [--undo] "
                             "[--dry-run] [--jobs N]\n"
                             "       [--] [FILE]...",
                             0),
              0u)
        << help.out;

    Result version = zumo.run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "zumo 0.6\n");

    Result wrong = zumo.run({"--frobnicate", zumo.picture("a.png")});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("unknown option \"--frobnicate\""), std::string::npos) << wrong.err;
    EXPECT_TRUE(wrong.out.empty());

    // The shipped plug-ins, copied into "spi" beside this copy of the program.
    Result plugins = zumo.run({"--list-plugins"});
    EXPECT_EQ(plugins.status, 0);
    for (const char* name : {"/spi/gif.spi  00IN  ", "/spi/png.spi  00IN  ", "    *.webp  "})
        EXPECT_NE(plugins.out.find(name), std::string::npos) << name << " in " << plugins.out;

    EXPECT_FALSE(fs::exists(zumo.ini())) << "no window was made, so nothing was written";

    // Without files and without a display nobody could use the window: the
    // program says so and ends, after the usual start and end.
    Result idle = zumo.run({});
    EXPECT_EQ(idle.status, 2);
    EXPECT_EQ(
        zumo_lines(idle.err),
        std::vector<std::string>{"zumo: no display and no files: nothing to do (see zumo --help)"});
    EXPECT_TRUE(fs::exists(zumo.ini()));
}

// ---- the drop modes ---------------------------------------------------------------

// First start: no settings file, so the designed values and the loader's
// defaults apply (pictures to BMP into the subfolder "resize"). A text file
// fails with the conversion's own message and the run goes on; names keep
// their letter case; "--" lets a file look like an option.
TEST_F(CommandLine, FirstRunConvertsEveryFileAndWritesEverySetting)
{
    write_picture(zumo.pictures / "a.png", 64, 48, "PNG");
    write_text(zumo.pictures / "notes.txt", "not a picture\n");
    write_picture(zumo.pictures / "Photo.JPG", 40, 30, "JPEG");
    write_picture(zumo.pictures / "--help", 20, 10, "BMP");
    write_gif(zumo.pictures / "anim.gif", 12, 8);
    fs::remove_all(zumo.app / "spi"); // made again at the start

    const std::vector<std::string> files{zumo.picture("a.png"), zumo.picture("notes.txt"),
                                         zumo.picture("Photo.JPG"), zumo.picture("--help"),
                                         zumo.picture("anim.gif")};
    // The dry run first: the same exit status, nothing written anywhere.
    std::vector<std::string> dry_args{"--dry-run", "--"};
    dry_args.insert(dry_args.end(), files.begin(), files.end());
    const Result dry = zumo.run(dry_args);
    EXPECT_EQ(dry.status, 1) << dry.err;
    const std::string resize = (zumo.pictures / "resize").string() + "/";
    EXPECT_EQ(dry.out, "convert " + files[0] + " -> " + resize + "a.bmp\n" + "convert " + files[1] +
                           ": would fail: not a picture it reads\n" + "convert " + files[2] +
                           " -> " + resize + "Photo.bmp\n" + "convert " + files[3] + " -> " +
                           resize + "--help.bmp\n" + "convert " + files[4] + " -> " + resize +
                           "anim.bmp\n");
    EXPECT_FALSE(fs::exists(zumo.pictures / "resize"));
    EXPECT_FALSE(fs::exists(zumo.ini()));
    EXPECT_FALSE(fs::exists(zumo.app / "spi"));

    std::vector<std::string> args{"--"};
    args.insert(args.end(), files.begin(), files.end());
    const Result r = zumo.run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{
                  "zumo: " + zumo.picture("notes.txt") +
                  ": 画像を処理できません: 画像ファイルではないか, 対応していない形式です"});
    const fs::path out = zumo.pictures / "resize";
    EXPECT_EQ(names_in(out),
              (std::vector<std::string>{"--help.bmp", "Photo.bmp", "a.bmp", "anim.bmp"}));
    EXPECT_EQ(picture_size(out / "a.bmp"), QSize(64, 48));
    EXPECT_EQ(picture_size(out / "Photo.bmp"), QSize(40, 30));
    EXPECT_EQ(picture_size(out / "--help.bmp"), QSize(20, 10));
    EXPECT_EQ(picture_size(out / "anim.bmp"), QSize(12, 8));
    EXPECT_TRUE(fs::is_directory(zumo.app / "spi"));

    // Every key of "Form1" in order, then the window's placement.
    const std::vector<IniLine> keys = ini_keys(read_text(zumo.ini()));
    ASSERT_EQ(keys.size(), k_form1_keys.size() + 5);
    for (std::size_t i = 0; i < k_form1_keys.size(); ++i) {
        EXPECT_EQ(keys[i].section, "Form1");
        EXPECT_EQ(keys[i].key, k_form1_keys[i]);
    }
    const std::vector<std::string> window_keys = {"Maximized", "Width", "Height", "Top", "Left"};
    for (std::size_t i = 0; i < window_keys.size(); ++i) {
        EXPECT_EQ(keys[k_form1_keys.size() + i].section, "Window");
        EXPECT_EQ(keys[k_form1_keys.size() + i].key, window_keys[i]);
    }
    const std::string text = read_text(zumo.ini());
    EXPECT_EQ(ini_value(text, "Form1", "CheckBox6.Checked"), "1");
    EXPECT_EQ(ini_value(text, "Form1", " UpDown1.Position"), "92");
    EXPECT_EQ(ini_value(text, "Form1", "RadioGroup5.ItemIndex"), "1");
    EXPECT_EQ(ini_value(text, "Form1", "Edit5.Text"), "new");
    EXPECT_EQ(ini_value(text, "Window", "Maximized"), "0");
    EXPECT_GE(std::stoi(ini_value(text, "Window", "Width")), 434);
}

TEST_F(CommandLine, GifModeStopsAtTheFirstFileThatIsNoGif)
{
    std::string ini = "; kept by hand\n" +
                      settings({{"RadioGroup10.ItemIndex", "1"}, {"RadioGroup9.ItemIndex", "0"}}) +
                      "\n[Other]\nmine=yes\n";
    write_text(zumo.ini(), ini);
    write_gif(zumo.pictures / "a.gif", 10, 6);
    write_picture(zumo.pictures / "b.png", 8, 8, "PNG");
    write_gif(zumo.pictures / "c.gif", 7, 5);

    const Result r =
        zumo.run({zumo.picture("a.gif"), zumo.picture("b.png"), zumo.picture("c.gif")});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{"zumo: " + zumo.picture("b.png") +
                                       ": not a GIF file; the GIF conversion run stops here"});
    EXPECT_EQ(names_in(zumo.pictures / "resize"), std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(picture_size(zumo.pictures / "resize" / "a.bmp"), QSize(10, 6));

    // The program still ended the normal way: the settings were written,
    // around the lines that are not its own.
    const std::string after = read_text(zumo.ini());
    EXPECT_EQ(after.rfind("; kept by hand\n", 0), 0u);
    EXPECT_EQ(ini_value(after, "Other", "mine"), "yes");
    EXPECT_EQ(ini_value(after, "Form1", "RadioGroup10.ItemIndex"), "1");
    EXPECT_EQ(ini_value(after, "Window", "Left"), "60");
}

TEST_F(CommandLine, RenameModeCopiesUnderNewNamesAndNamesTheFailures)
{
    write_text(zumo.ini(), settings({{"RadioGroup10.ItemIndex", "2"}, {"Edit5.Text", "pic"}}));
    write_picture(zumo.pictures / "x.png", 5, 5, "PNG");
    write_text(zumo.pictures / "Y.Txt", "text\n");

    const Result r =
        zumo.run({zumo.picture("x.png"), zumo.picture("gone.png"), zumo.picture("Y.Txt")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(zumo_lines(r.err), std::vector<std::string>{"zumo: " + zumo.picture("gone.png") +
                                                          ": failed: ファイルがありません"});
    EXPECT_EQ(names_in(zumo.pictures),
              (std::vector<std::string>{"Y.Txt", "pic0001.Txt", "pic0001.png", "x.png"}));
    EXPECT_EQ(read_text(zumo.pictures / "pic0001.Txt"), "text\n");
}

// Neither an input still to come nor a write-protected file is replaced by
// a conversion: the file fails, the others go on, and both stay as they were.
TEST_F(CommandLine, ConversionsLeaveWaitingInputsAndReadOnlyFilesAlone)
{
    write_text(zumo.ini(), settings({{"CheckBox6.Checked", "0"}, {"RadioGroup1.ItemIndex", "0"}}));
    write_picture(zumo.pictures / "a.png", 30, 20, "PNG");
    write_picture(zumo.pictures / "a.bmp", 10, 40, "BMP");
    write_picture(zumo.pictures / "p.jpg", 8, 8, "JPEG");
    write_picture(zumo.pictures / "p.bmp", 6, 5, "BMP");
    fs::permissions(zumo.pictures / "p.bmp",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string read_only = read_text(zumo.pictures / "p.bmp");

    const Result r =
        zumo.run({"--", zumo.picture("a.png"), zumo.picture("a.bmp"), zumo.picture("p.jpg")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(zumo_lines(r.err),
              (std::vector<std::string>{
                  "zumo: " + zumo.picture("a.png") + ": 画像を処理できません: " +
                      zumo.picture("a.bmp") + " はこの処理でこれから読む入力ファイルです",
                  "zumo: " + zumo.picture("p.jpg") +
                      ": 画像を処理できません: " + zumo.picture("p.bmp") + " は読み取り専用です"}));
    EXPECT_EQ(picture_size(zumo.pictures / "a.bmp"), QSize(10, 40)) << "a.png was written over it";
    EXPECT_EQ(read_text(zumo.pictures / "p.bmp"), read_only);
}

// A move run, then --undo: the names come back, a file touched in between
// stays and is named, and an undo with nothing left says so.
TEST_F(CommandLine, UndoReversesTheLastRenameRun)
{
    write_text(zumo.ini(),
               settings({{"RadioGroup10.ItemIndex", "2"}, {"RadioGroup4.ItemIndex", "1"}}));
    for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"})
        write_text(zumo.pictures / name, name);
    const Result moved =
        zumo.run({zumo.picture("IMG_1.jpg"), zumo.picture("IMG_2.jpg"), zumo.picture("IMG_3.jpg")});
    ASSERT_EQ(moved.status, 0) << moved.err;
    write_text(zumo.pictures / "new0002.jpg", "edited since");

    const Result undone = zumo.run({"--undo"});
    EXPECT_EQ(undone.status, 1) << undone.err;
    const auto lines = zumo_lines(undone.err);
    ASSERT_EQ(lines.size(), 3u) << undone.err;
    EXPECT_EQ(lines[1], "zumo: " + zumo.picture("new0002.jpg") +
                            ": changed since the run (size, time or identity); left as it is");
    EXPECT_EQ(lines[2], "zumo: 2 of 3 files restored, 1 left as they are");
    EXPECT_EQ(names_in(zumo.pictures),
              (std::vector<std::string>{"IMG_1.jpg", "IMG_3.jpg", "new0002.jpg"}));

    const Result again = zumo.run({"--undo"});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("nothing to undo"), std::string::npos) << again.err;
}

// A copy run whose source is then removed: the dry run of the undo says
// what would happen and changes nothing, a file named with --undo is a
// usage error, and the undo keeps the copy that is now the only one.
TEST_F(CommandLine, UndoKeepsTheOnlyCopyAndItsDryRunChangesNothing)
{
    write_text(zumo.ini(), settings({{"RadioGroup10.ItemIndex", "2"}}));
    for (const char* name : {"IMG_1.jpg", "IMG_2.jpg"})
        write_text(zumo.pictures / name, name);
    const Result copied = zumo.run({zumo.picture("IMG_1.jpg"), zumo.picture("IMG_2.jpg")});
    ASSERT_EQ(copied.status, 0) << copied.err;
    fs::remove(zumo.pictures / "IMG_1.jpg");
    const auto snapshot = [&] {
        std::vector<std::string> all;
        for (const fs::path& folder : {zumo.pictures, zumo.root / "state" / "zumo"})
            for (const std::string& name : names_in(folder))
                all.push_back(name + "=" + read_text(folder / name));
        return all;
    };
    const auto before = snapshot();

    const Result dry = zumo.run({"--dry-run", "--undo"});
    EXPECT_EQ(dry.status, 1) << dry.err;
    EXPECT_EQ(dry.out, "would delete " + zumo.picture("new0002.jpg") + " (a copy of " +
                           zumo.picture("IMG_2.jpg") + ", which holds the same bytes)\n" +
                           "would leave " + zumo.picture("new0001.jpg") + ": its source " +
                           zumo.picture("IMG_1.jpg") +
                           " is gone, so this copy may be the only one; left as it is\n");
    const Result with_file = zumo.run({"--undo", zumo.picture("new0001.jpg")});
    EXPECT_EQ(with_file.status, 2);
    EXPECT_NE(with_file.err.find("--undo takes no FILE"), std::string::npos) << with_file.err;
    EXPECT_NE(with_file.err.find("Usage: zumo "), std::string::npos) << with_file.err;
    EXPECT_EQ(snapshot(), before);

    const Result undone = zumo.run({"--undo"});
    EXPECT_EQ(undone.status, 1) << undone.err;
    EXPECT_EQ(zumo_lines(undone.err).back(), "zumo: 1 of 2 files restored, 1 left as they are");
    EXPECT_EQ(names_in(zumo.pictures), (std::vector<std::string>{"IMG_2.jpg", "new0001.jpg"}));
    EXPECT_EQ(read_text(zumo.pictures / "new0001.jpg"), "IMG_1.jpg");
}

// A named pipe among the files: opening it would wait for a writer for
// ever. It fails at once, stays a pipe, and the next file is renamed.
TEST_F(CommandLine, NamedPipeInARenameRunFailsAtOnce)
{
    write_text(zumo.ini(), settings({{"RadioGroup10.ItemIndex", "2"}}));
    ASSERT_EQ(::mkfifo(zumo.picture("pipe.jpg").c_str(), 0666), 0);
    write_text(zumo.pictures / "after.jpg", "x\n");

    const auto started = std::chrono::steady_clock::now();
    const Result r = zumo.run({zumo.picture("pipe.jpg"), zumo.picture("after.jpg")});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{"zumo: " + zumo.picture("pipe.jpg") +
                                       ": failed: 名前付きパイプです (ファイルではありません)"});
    EXPECT_EQ(names_in(zumo.pictures),
              (std::vector<std::string>{"after.jpg", "new0001.jpg", "pipe.jpg"}));
    EXPECT_EQ(read_text(zumo.pictures / "new0001.jpg"), "x\n");
    EXPECT_TRUE(fs::is_fifo(zumo.pictures / "pipe.jpg"));
}

// "出力先" checked without a folder: the conversion asks whether to stop,
// and without a display the answer is the one that skips the file.
TEST_F(CommandLine, FolderQuestionSkipsTheFileWithoutADisplay)
{
    write_text(zumo.ini(), settings({{"CheckBox1.Checked", "1"}, {"Edit1.Text", ""}}));
    write_picture(zumo.pictures / "a.png", 5, 5, "PNG");

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 1);
    const std::string file = "zumo: " + zumo.picture("a.png") + ": ";
    EXPECT_EQ(zumo_lines(r.err),
              (std::vector<std::string>{
                  file + "確認: フォルダが指定されていません.処理を中断しますか? -> はい(&Y)",
                  file + "skipped"}));
    EXPECT_EQ(names_in(zumo.pictures), std::vector<std::string>{"a.png"});
}

TEST_F(CommandLine, NoDropModeProcessesNothingButStillEnds)
{
    write_text(zumo.ini(), settings({{"RadioGroup10.ItemIndex", "-1"}}));
    write_picture(zumo.pictures / "a.png", 5, 5, "PNG");

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{"zumo: " + zumo.picture("a.png") +
                                       ": not processed: no drop mode is selected "
                                       "(\"Drag & Drop　変換\")"});
    EXPECT_EQ(names_in(zumo.pictures), std::vector<std::string>{"a.png"});
    EXPECT_EQ(ini_value(read_text(zumo.ini()), "Form1", "RadioGroup10.ItemIndex"), "-1");
}

// ---- plug-ins that cannot be used -------------------------------------------------

// A library without the plug-in entry points among the ".spi" files of the
// program's folder stops the program before its window exists: the message,
// and the settings file is not touched. In the "spi" folder it only ends
// the window's start: the message, the designed values instead of the
// stored ones, and the usual end, which writes them.
TEST_F(CommandLine, BrokenPluginBesideTheProgramEndsItBeforeTheWindow)
{
    if (std::string(ZUMO_BROKEN_PLUGIN).empty())
        GTEST_SKIP() << "the test plug-ins are not built";
    const std::string stored = settings({{"Edit7.Text", "mine"}});
    write_text(zumo.ini(), stored);
    write_picture(zumo.pictures / "a.png", 6, 6, "PNG");
    fs::copy_file(ZUMO_BROKEN_PLUGIN, zumo.app / "bad.spi");

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{"zumo: GetPluginInfoは[" + (zumo.app / "bad.spi").string() +
                                       "]では使えないSusie Plugin APIです"});
    EXPECT_EQ(names_in(zumo.pictures), std::vector<std::string>{"a.png"});
    EXPECT_EQ(read_text(zumo.ini()), stored);
}

TEST_F(CommandLine, BrokenPluginInTheSpiFolderLeavesTheDesignedValues)
{
    if (std::string(ZUMO_BROKEN_PLUGIN).empty())
        GTEST_SKIP() << "the test plug-ins are not built";
    write_text(zumo.ini(), settings({{"Edit7.Text", "mine"}, {"RadioGroup1.ItemIndex", "1"}}));
    write_picture(zumo.pictures / "a.png", 6, 6, "PNG");
    fs::copy_file(ZUMO_BROKEN_PLUGIN, zumo.app / "spi" / "bad.spi");

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(zumo_lines(r.err), std::vector<std::string>{"zumo: GetPluginInfoは[" +
                                                          (zumo.app / "spi" / "bad.spi").string() +
                                                          "]では使えないSusie Plugin APIです"});
    // Designed values: BMP, no subfolder.
    EXPECT_EQ(names_in(zumo.pictures), (std::vector<std::string>{"a.bmp", "a.png"}));
    const std::string after = read_text(zumo.ini());
    EXPECT_EQ(ini_value(after, "Form1", "Edit7.Text"), "resize");
    EXPECT_EQ(ini_value(after, "Form1", "CheckBox6.Checked"), "0");
    EXPECT_EQ(ini_value(after, "Form1", "RadioGroup1.ItemIndex"), "0");
}

// A plug-in that crashes while its information is read at the start takes
// only its helper down: it is left out with one line, the conversion that
// never needed it runs, and the program ends normally.
TEST_F(CommandLine, CrashingPluginLeavesTheConversionAlone)
{
    if (std::string(ZUMO_CRASH_PLUGIN).empty())
        GTEST_SKIP() << "the test plug-ins are not built";
    write_picture(zumo.pictures / "a.png", 6, 6, "PNG");
    fs::copy_file(ZUMO_CRASH_PLUGIN, zumo.app / "spi" / "crash.spi");

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> said = zumo_lines(r.err);
    ASSERT_EQ(said.size(), 1u) << r.err;
    // A sanitized helper reports the crash itself and ends with status 1.
    EXPECT_EQ(said[0].rfind("zumo: crash.spi: the plug-in", 0), 0u) << said[0];
    EXPECT_EQ(picture_size(zumo.pictures / "resize" / "a.bmp"), QSize(6, 6));
}

// ---- the settings file ------------------------------------------------------------

// Values out of range or not numbers are brought into the controls' range
// when read and written back as the controls hold them. A window that ended
// maximised keeps the placement of the earlier normal run.
TEST_F(CommandLine, StoredValuesComeBackAsTheControlsHoldThem)
{
    write_text(zumo.ini(), settings({{"RadioGroup10.ItemIndex", "-1"},
                                     {" UpDown1.Position", "0x10"},
                                     {" UpDown3.Position", "70000"},
                                     {"RadioGroup5.ItemIndex", "99"},
                                     {"RadioGroup3.ItemIndex", "-5"},
                                     {"CheckBox5.Checked", "yes"},
                                     {"CheckBox4.Checked", "2"},
                                     {"CheckBox7.Checked", "0"},
                                     {"CheckBox8.Checked", "1"},
                                     {"Edit5.Text", "写真"}},
                                    "Maximized=1\nWidth=440\nHeight=430\nTop=50\nLeft=60\n"));
    const Result r = zumo.run({zumo.picture("none.png")});
    EXPECT_EQ(r.status, 1) << r.err;

    const std::string after = read_text(zumo.ini());
    const std::vector<std::pair<std::string, std::string>> expected =
        {
            {" UpDown1.Position", "16"},    {" UpDown3.Position", "4464"}, // 70000 in 16 bits
            {"RadioGroup5.ItemIndex", "6"}, {"RadioGroup3.ItemIndex", "-1"},
            {"CheckBox5.Checked", "0"},     {"CheckBox4.Checked", "1"},
            {"CheckBox7.Checked", "1"}, // read back from "CheckBox8.Checked"
            {"CheckBox8.Checked", "1"},     {"Edit5.Text", "写真"},
        };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(ini_value(after, "Form1", key), value) << key;
    EXPECT_EQ(ini_value(after, "Window", "Maximized"), "1");
    EXPECT_EQ(ini_value(after, "Window", "Left"), "60") << "the normal placement stays";
    EXPECT_EQ(ini_value(after, "Window", "Width"), "440");
}

struct ReadOnlyCase
{
    const char* name;
    bool file_read_only;
    bool folder_read_only;
    bool config_read_only;
    bool written_to_config; // the per-user file takes the settings
};

class ReadOnlySettings : public ::testing::TestWithParam<ReadOnlyCase>
{
protected:
    Installation zumo;
};

// A settings file that cannot be written loses the run's changes without a
// word and stays as it was; a program folder that cannot be written sends
// the settings to the per-user configuration folder instead.
TEST_P(ReadOnlySettings, LosesTheChangesSilentlyAndKeepsTheFileWhole)
{
    const ReadOnlyCase& c = GetParam();
    const std::string before = settings({{"CheckBox5.Checked", "yes"}});
    write_text(zumo.ini(), before);
    write_picture(zumo.pictures / "a.png", 5, 4, "PNG");
    const auto read_only = fs::perms::owner_read | fs::perms::owner_exec;
    if (c.file_read_only)
        fs::permissions(zumo.ini(), fs::perms::owner_read);
    if (c.folder_read_only)
        fs::permissions(zumo.app, read_only);
    if (c.config_read_only)
        fs::permissions(zumo.root / "config", read_only);

    const Result r = zumo.run({zumo.picture("a.png")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zumo_lines(r.err).empty()) << r.err;
    EXPECT_EQ(picture_size(zumo.pictures / "resize" / "a.bmp"), QSize(5, 4));
    EXPECT_EQ(read_text(zumo.ini()), before);
    EXPECT_EQ(names_in(zumo.app),
              (std::vector<std::string>{"spi", "zumo", "zumo-spi-host", "zumo.ini"}))
        << "no temporary file left behind";
    const fs::path per_user = zumo.root / "config" / "zumo" / "zumo.ini";
    EXPECT_EQ(fs::exists(per_user), c.written_to_config);
    if (c.written_to_config) {
        EXPECT_EQ(ini_keys(read_text(per_user)).size(), k_form1_keys.size() + 5);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOnlySettings,
                         ::testing::Values(ReadOnlyCase{"File", true, false, false, false},
                                           ReadOnlyCase{"Folder", false, true, false, true},
                                           ReadOnlyCase{"FolderAndConfig", false, true, true,
                                                        false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- start-up without a display -------------------------------------------------

// A display number where no X server runs on this machine now.
std::string unused_display()
{
    for (int n = 4242;; ++n) {
        const std::string number = std::to_string(n);
        if (!fs::exists("/tmp/.X" + number + "-lock") && !fs::exists("/tmp/.X11-unix/X" + number))
            return ":" + number;
    }
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// No X server answering where DISPLAY points (a remote session that has
// gone), or no display and no runtime folder (a cron job): the run goes on
// without a display, and standard error holds the program's own lines only.
struct StartCase
{
    const char* name;
    bool stale_display;
    bool stale_wayland; // WAYLAND_DISPLAY names a socket without its compositor
    const char* file;
    int status; // 1: the file fails with the conversion's message
};

class StartWithoutADisplay : public ::testing::TestWithParam<StartCase>
{
protected:
    Installation zumo;
};

TEST_P(StartWithoutADisplay, RunsHeadlessAndSaysOnlyWhatItMeans)
{
    const StartCase& c = GetParam();
    write_picture(zumo.pictures / "a.png", 6, 5, "PNG");
    write_text(zumo.pictures / "notes.txt", "not a picture\n");
    fs::create_directories(zumo.root / "tmp");
    zumo.runtime_folder = false;
    zumo.extra_environment = {"TMPDIR=" + (zumo.root / "tmp").string()};
    const std::string display = unused_display();
    if (c.stale_display)
        zumo.extra_environment.push_back("DISPLAY=" + display);
    const std::string wayland = (zumo.root / "wayland-0").string();
    if (c.stale_wayland) {
        // Bound and closed again, as a compositor that crashed leaves it.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        wayland.copy(address.sun_path, sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        zumo.extra_environment.push_back("WAYLAND_DISPLAY=" + wayland);
    }

    const Result r = zumo.run({zumo.picture(c.file)});

    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> expected;
    if (c.stale_display && c.stale_wayland)
        expected.push_back("zumo: cannot open the display \"" + display +
                           "\" nor reach the Wayland display \"" + wayland +
                           "\"; running without a display");
    else if (c.stale_display)
        expected.push_back("zumo: cannot open the display \"" + display +
                           "\"; running without a display");
    else if (c.stale_wayland)
        expected.push_back("zumo: cannot reach the Wayland display \"" + wayland +
                           "\"; running without a display");
    if (c.status == 1)
        expected.push_back(
            "zumo: " + zumo.picture(c.file) +
            ": 画像を処理できません: 画像ファイルではないか, 対応していない形式です");
    EXPECT_EQ(lines_of(r.err), expected);
    EXPECT_EQ(fs::exists(zumo.pictures / "resize" / "a.bmp"), c.status == 0);
    EXPECT_EQ(ini_keys(read_text(zumo.ini())).size(), k_form1_keys.size() + 5)
        << "the settings are written";
    EXPECT_TRUE(names_in(zumo.root / "tmp").empty()) << "the runtime folder is removed";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartWithoutADisplay,
    ::testing::Values(StartCase{"StaleDisplay", true, false, "a.png", 0},
                      StartCase{"StaleDisplayFailingFile", true, false, "notes.txt", 1},
                      StartCase{"NoDisplayNoRuntimeFolder", false, false, "a.png", 0},
                      StartCase{"WaylandWithoutCompositor", false, true, "a.png", 0},
                      StartCase{"StaleDisplayAndWayland", true, true, "notes.txt", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- stopping a long run ----------------------------------------------------------

class StopSignal : public ::testing::TestWithParam<int>
{
protected:
    Installation zumo;
};

// The run ends after the file in progress: every output that exists is
// whole, the rest are not started, and the settings are still written.
TEST_P(StopSignal, EndsAfterTheFileInProgressAndWritesTheSettings)
{
    std::string ini = settings({{"RadioGroup1.ItemIndex", "1"}}); // → PNG
    ini.erase(ini.find("Edit6.Text=\n"), std::string("Edit6.Text=\n").size());
    write_text(zumo.ini(), ini);
    constexpr int k_files = 40;
    write_picture(zumo.pictures / "p00.jpg", 1600, 1200, "JPEG");
    std::vector<std::string> args{zumo.picture("p00.jpg")};
    for (int i = 1; i < k_files; ++i) {
        const std::string name = "p" + std::to_string(10 + i) + ".jpg";
        fs::copy_file(zumo.pictures / "p00.jpg", zumo.pictures / name);
        args.push_back(zumo.picture(name));
    }

    const pid_t pid = zumo.start(args);
    ASSERT_GT(pid, 0);
    const fs::path out = zumo.pictures / "resize";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!fs::exists(out / "p00.png") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ::kill(pid, GetParam());
    const Result r = zumo.finish(pid);

    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(zumo_lines(r.err),
              std::vector<std::string>{"zumo: stopped by a signal after the file in progress"});
    const std::vector<std::string> written = names_in(out);
    EXPECT_GE(written.size(), 1u);
    EXPECT_LT(written.size(), static_cast<std::size_t>(k_files)) << "the run did not stop";
    for (const std::string& name : written) {
        EXPECT_EQ(fs::path(name).extension(), ".png") << name;
        EXPECT_EQ(picture_size(out / name), QSize(1600, 1200)) << name;
    }
    EXPECT_EQ(ini_value(read_text(zumo.ini()), "Form1", "Edit6.Text"), "");
}

// With a display the failure of a file waits in a message box. A stop
// signal then answers the box, the run stops before the next file, and the
// program ends the normal way although its window closed before the event
// loop ran. (A display is claimed, but Qt draws offscreen.)
TEST(StopSignalWithADisplay, AnswersTheWaitingBoxAndEnds)
{
    Installation zumo;
    zumo.extra_environment = {"DISPLAY=:424242", "QT_QPA_PLATFORM=offscreen"};
    std::string ini = settings({});
    ini.erase(ini.find("Edit6.Text=\n"), std::string("Edit6.Text=\n").size());
    write_text(zumo.ini(), ini);
    write_text(zumo.pictures / "notes.txt", "not a picture\n");
    write_picture(zumo.pictures / "a.png", 5, 5, "PNG");

    // One at a time: side by side, a.png would be in flight already.
    const pid_t pid = zumo.start({"--jobs=1", zumo.picture("notes.txt"), zumo.picture("a.png")});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(catches_sigterm(pid));
    std::this_thread::sleep_for(1s); // "画像を処理できません" is up by then
    ::kill(pid, SIGTERM);
    const Result r = zumo.finish(pid);

    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_FALSE(fs::exists(zumo.pictures / "resize")) << "a.png came after the stop";
    EXPECT_EQ(ini_value(read_text(zumo.ini()), "Form1", "Edit6.Text"), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return std::string(info.param == SIGTERM ? "Term" : "Int");
                         });

} // namespace

int main(int argc, char* argv[])
{
    // QImage finds its format plug-ins through the application object.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
