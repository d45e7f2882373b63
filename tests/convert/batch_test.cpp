#include "conversion_fixture.h"

namespace zumo::test {
namespace {

const std::string k_show = "Show(変換中です)";
const std::string k_caption = "Caption(Zumo変換)";

std::string progress(int max, int position)
{
    return "Progress(変換中です|" + std::to_string(max) + "|" + std::to_string(position) + ")";
}

class BatchTest : public ConversionTest
{
protected:
    BatchTest()
    {
        options.current.CheckBox6 = false;
        options.current.RadioGroup1 = 1; // PNG beside each input
        options.current.RadioGroup9 = 0; // BEEP at the end
    }
    std::vector<std::string> make_files(int count)
    {
        std::vector<std::string> files;
        for (int i = 0; i < count; ++i)
            files.push_back(make("f" + std::to_string(i) + ".bmp", Format::Bmp, 4, 4));
        return files;
    }
    // The PNG outputs written beside the inputs, sorted.
    std::vector<std::string> pngs() const
    {
        std::vector<std::string> found;
        for (const std::string& name : files_under(dir.path()))
            if (name.ends_with(".png"))
                found.push_back(name);
        return found;
    }
};

TEST_F(BatchTest, FileListRunsUnderTheProgressDialog)
{
    const std::vector<std::string> files = make_files(2);
    engine.ConvertFileList(files);
    EXPECT_EQ(host.events, (std::vector<std::string>{
                               "Ask(確認|2個のファイルを処理します. よろしいですか?|OkCancel)",
                               k_show, k_caption, "Smooth", progress(1, 0), "ProcessMessages",
                               progress(1, 1), "ProcessMessages", "Release", "Beep"}));
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/f0.png", "in/f1.png"}));
}

// An output over an input the batch has still to read fails that file; the
// waiting input is converted in its turn, both lists alike.
TEST_F(BatchTest, AnInputStillToComeIsNotWrittenOver)
{
    const std::string png = make("a.png", Format::Png, 6, 3);
    const std::string bmp = make("a.bmp", Format::Bmp, 4, 8);
    options.current.RadioGroup1 = 0; // BMP beside each input: a.png would become a.bmp
    engine.ConvertFileList({png, bmp});
    EXPECT_EQ(host.Count("Beep"), 2); // the failure of a.png, then the end signal
    EXPECT_EQ(picture_size(bmp), (Size{4, 8}));
    FakeCheckList list;
    list.entries = {{"a.png", true}, {"a.bmp", true}};
    engine.ConvertCheckedImages(list, [&] { return in_folder(); });
    EXPECT_EQ(host.Count("Beep"), 4);
    EXPECT_EQ(picture_size(bmp), (Size{4, 8}));
}

TEST_F(BatchTest, RefusedConfirmationStillGivesTheEndSignal)
{
    const std::vector<std::string> files = make_files(3);
    for (Answer refusal : {Answer::Cancel, Answer::No}) { // the button or the close box
        host.events.clear();
        host.answers = {refusal};
        engine.ConvertFileList(files);
        EXPECT_EQ(host.events,
                  (std::vector<std::string>{
                      "Ask(確認|3個のファイルを処理します. よろしいですか?|OkCancel)", "Beep"}));
    }
    options.current.RadioGroup9 = 1; // "なし"
    host.events.clear();
    host.answers = {Answer::Cancel};
    engine.ConvertGifFileList(files);
    EXPECT_EQ(host.Count("Beep"), 0);
    EXPECT_EQ(pngs(), std::vector<std::string>{});
}

TEST_F(BatchTest, ProgressFigures)
{
    engine.ConvertFileList(make_files(5));
    EXPECT_EQ(host.percents, (std::vector<int>{0, 25, 50, 75, 100}));
    host.percents.clear();
    engine.ConvertFileList(make_files(1));
    EXPECT_EQ(host.percents, std::vector<int>{100});
}

TEST_F(BatchTest, CancelInsideSetProgressStopsBeforeTheNextEntry)
{
    // One at a time: side by side, the files in flight end too.
    options.current.CheckBox11 = false;
    host.on_set_progress = [&](int call) {
        if (call == 1)
            host.ClickCancel();
    };
    engine.ConvertFileList(make_files(5));
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/f0.png", "in/f1.png"}));
    EXPECT_EQ(host.events.back(), "Release");
    EXPECT_EQ(host.Count("ProcessMessages"), 1);
    EXPECT_EQ(host.Count("Beep"), 0);
}

TEST_F(BatchTest, CancelInTheDriversMessageProcessingConvertsOneMore)
{
    // One at a time: side by side, the files in flight end too.
    options.current.CheckBox11 = false;
    host.on_process_messages = [&](int call) {
        if (call == 1)
            host.ClickCancel();
    };
    engine.ConvertFileList(make_files(5));
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/f0.png", "in/f1.png", "in/f2.png"}));
    EXPECT_EQ(host.events.back(), "Release");
    EXPECT_EQ(host.Count("Beep"), 0);
}

TEST_F(BatchTest, AFailingFileDoesNotStopTheBatch)
{
    options.current.RadioGroup9 = 1;
    std::vector<std::string> files = make_files(2);
    write_bytes(in("bad.bmp"), {'n', 'o'});
    files.insert(files.begin() + 1, in("bad.bmp"));
    engine.ConvertFileList(files);
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/f0.png", "in/f1.png"}));
    EXPECT_EQ(host.Count("Beep"), 1);
    EXPECT_EQ(cannot_process_count(host), 1);
    EXPECT_EQ(host.dialogs_released(), 1);
}

TEST_F(BatchTest, FolderQuestionOncePerFile)
{
    options.current.CheckBox1 = true; // Edit1 empty
    host.answers = {Answer::Ok, Answer::Yes, Answer::No, Answer::Yes};
    engine.ConvertFileList(make_files(3));
    EXPECT_EQ(host.Count(k_folder_question), 3);
    // Each question comes before that file's progress step.
    EXPECT_EQ(host.events[4], k_folder_question);
    EXPECT_EQ(host.events[5], progress(2, 0));
    EXPECT_EQ(pngs(), std::vector<std::string>{"in/f1.png"});
}

TEST_F(BatchTest, OptionsChangedDuringTheRunApplyFromTheNextFile)
{
    // One at a time: side by side, a file takes the options when it starts.
    options.current.CheckBox11 = false;
    host.on_process_messages = [&](int call) {
        if (call == 0)
            options.current.RadioGroup1 = 3; // JPEG
    };
    engine.ConvertFileList(make_files(3));
    EXPECT_EQ(outputs({in("f0.bmp"), in("f1.bmp"), in("f2.bmp")}),
              (std::vector<std::string>{"in/f0.png", "in/f1.jpg", "in/f2.jpg"}));
}

TEST_F(BatchTest, GifFileListConvertsGifs)
{
    options.current.RadioGroup2 = 2; // PNG
    engine.ConvertGifFileList({make("a.gif", Format::Gif), make("b.gif", Format::Gif)});
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/a.png", "in/b.png"}));
    EXPECT_EQ(host.Count("Smooth"), 1);
}

// ---- Drivers over the ticked lines of a listing ----------------------------

TEST_F(BatchTest, CheckListConvertsTheTickedLinesOfTheListingFolder)
{
    make_files(3);
    FakeCheckList list;
    list.entries = {{"f0.bmp", true}, {"f1.bmp", false}, {"f2.bmp", true}};
    int asked = 0;
    engine.ConvertCheckedImages(list, [&] {
        ++asked;
        return in_folder(); // without a trailing separator
    });
    EXPECT_EQ(asked, 2); // afresh for every ticked line
    EXPECT_EQ(pngs(), (std::vector<std::string>{"in/f0.png", "in/f2.png"}));
    EXPECT_EQ(host.events,
              (std::vector<std::string>{k_show, k_caption, progress(2, 0), "ProcessMessages",
                                        progress(2, 1), "ProcessMessages", progress(2, 2),
                                        "ProcessMessages", "Release", "Beep"}));
}

TEST_F(BatchTest, CheckListSkipsLinesWhenTheFolderIsGone)
{
    // Files of the same names in the working folder must stay untouched.
    const TempDir working;
    write_picture(working / "f0.bmp", 4, 4, Format::Bmp);
    const WorkingFolder cd(working.path());
    FakeCheckList list;
    list.entries = {{"f0.bmp", true}};
    for (const std::string& folder : {std::string(), dir / "gone"})
        engine.ConvertCheckedImages(list, [&] { return folder; });
    EXPECT_EQ(files_under(working.path()), std::vector<std::string>{"f0.bmp"});
    EXPECT_EQ(host.Count("Beep"), 2); // only the end signals
}

TEST_F(BatchTest, CheckListEdgeCases)
{
    FakeCheckList list;
    engine.ConvertCheckedGifs(list, [&] { return in_folder(); });
    EXPECT_EQ(host.events, (std::vector<std::string>{k_show, k_caption, "Release", "Beep"}));

    // The window refills the list while the run goes on: lines beyond the
    // new end count as unticked.
    make("a.gif", Format::Gif);
    options.current.RadioGroup2 = 2;
    list.entries = {{"a.gif", true}, {"a.gif", true}, {"a.gif", true}};
    host.on_process_messages = [&](int) { list.entries.clear(); };
    engine.ConvertCheckedGifs(list, [&] { return in_folder(); });
    EXPECT_EQ(pngs(), std::vector<std::string>{"in/a.png"});
    EXPECT_EQ(host.percents, (std::vector<int>{0, 50, 100}));
}

// ---- A run never replaces what it wrote -----------------------------------

// a.jpg and a.gif both map to a.png: the first output stays, the second
// file fails; an a.png that was there before the run is replaced as ever.
class OwnOutputs : public BatchTest, public testing::WithParamInterface<bool>
{
};

TEST_P(OwnOutputs, SecondFileMappingToTheSameOutputFails)
{
    const bool file_list = GetParam();
    write_picture(in("a.png"), 3, 3, Format::Png); // not the run's own
    const std::string jpg = make("a.jpg", Format::Jpg, 8, 4);
    const std::string gif = make("a.gif", Format::Gif, 6, 6);
    FakeCheckList list;
    list.entries = {{"a.jpg", true}, {"a.gif", true}};
    if (file_list)
        engine.ConvertFileList({jpg, gif});
    else
        engine.ConvertCheckedImages(list, [&] { return in_folder(); });
    EXPECT_EQ(picture_size(in("a.png")), (Size{8, 4}));
    EXPECT_EQ(cannot_process_count(host), 1);
    EXPECT_EQ(pngs(), std::vector<std::string>{"in/a.png"});

    // The next run is another run: it may replace the file.
    host.events.clear();
    if (file_list)
        engine.ConvertFileList({gif});
    else
        engine.ConvertCheckedImages(list, [&] { return in_folder(); });
    EXPECT_EQ(cannot_process_count(host), file_list ? 0 : 1);
    EXPECT_EQ(picture_size(in("a.png")), file_list ? (Size{6, 6}) : (Size{8, 4}));
}

INSTANTIATE_TEST_SUITE_P(Runs, OwnOutputs, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "FileList" : "CheckList");
});

} // namespace
} // namespace zumo::test
