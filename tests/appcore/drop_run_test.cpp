#include "app/core/DropRun.h"

#include "fakes.h"

#include <gtest/gtest.h>

namespace {

using namespace zumo;
using zumo::test::Log;
using zumo::test::RunRig;

struct DropCase
{
    const char* name;
    std::vector<std::string> files;
    int drop_mode;
    int cancel_at; // SetProgress position that cancels; -1: none
    Log expected;
};

class DropRun : public ::testing::TestWithParam<DropCase>
{
};

TEST_P(DropRun, HandsTheDroppedFilesOn)
{
    const DropCase& p = GetParam();
    RunRig rig;
    rig.options.snapshot.RadioGroup10 = p.drop_mode;
    rig.options.snapshot.RadioGroup9 = 0; // BEEP
    if (p.cancel_at >= 0)
        rig.host.cancel_at = [&](int, int position) { return position == p.cancel_at; };
    WMDropFiles(p.files, rig.ctx);
    EXPECT_EQ(rig.log, p.expected);
}

Log drop_log(Log body)
{
    Log log{"show 変換中です", "caption Zumo変換"};
    log.insert(log.end(), body.begin(), body.end());
    return log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DropRun,
    ::testing::Values(
        // Mode 0 hands only pictures on and skips the rest silently; the bar
        // shows (k-1)/(n-1); names keep their case.
        DropCase{"PicturesOnly",
                 {"/p/A.JPG", "/p/notes.txt", "/p/c.Png"},
                 0,
                 -1,
                 drop_log({"progress 変換中です 2 0", "messages", "image /p/A.JPG",
                           "progress 変換中です 2 1", "messages", "progress 変換中です 2 2",
                           "messages", "image /p/c.Png", "release", "beep"})},
        // The formats the decoders read are pictures too.
        DropCase{
            "FurtherFormats",
            {"/p/a.WEBP", "/p/b.tif", "/p/c.heic", "/p/d.jxl"},
            0,
            -1,
            drop_log({"progress 変換中です 3 0", "messages", "image /p/a.WEBP",
                      "progress 変換中です 3 1", "messages", "image /p/b.tif",
                      "progress 変換中です 3 2", "messages", "image /p/c.heic",
                      "progress 変換中です 3 3", "messages", "image /p/d.jxl", "release", "beep"})},
        DropCase{"TextFileOnly",
                 {"/p/notes.txt"},
                 0,
                 -1,
                 drop_log({"progress 変換中です 0 0", "messages", "release", "beep"})},
        // Mode 1 hands every file to the GIF conversion.
        DropCase{
            "GifModeTakesEveryFile",
            {"/p/b.png", "/p/c.gif"},
            1,
            -1,
            drop_log({"progress 変換中です 1 0", "messages", "gif /p/b.png",
                      "progress 変換中です 1 1", "messages", "gif /p/c.gif", "release", "beep"})},
        DropCase{"RenameMode",
                 {"/p/x.doc"},
                 2,
                 -1,
                 drop_log({"progress 変換中です 0 0", "messages", "rename /p/x.doc", "release",
                           "beep"})},
        DropCase{"NoModeSelected",
                 {"/p/a.jpg"},
                 -1,
                 -1,
                 drop_log({"progress 変換中です 0 0", "messages", "release", "beep"})},
        DropCase{"NothingDropped", {}, 0, -1, drop_log({"release", "beep"})},
        DropCase{"CancelBeforeTheNextFile",
                 {"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"},
                 0,
                 1,
                 drop_log({"progress 変換中です 2 0", "messages", "image /p/a.jpg",
                           "progress 変換中です 2 1", "release"})}),
    [](const auto& info) { return std::string(info.param.name); });

// A drop that arrives while the window processes its messages runs to its
// end, with its own dialog, before the outer run goes on.
TEST(DropRunNesting, InnerDropEndsBeforeTheOuterGoesOn)
{
    RunRig rig;
    rig.options.snapshot.RadioGroup9 = 0;
    bool dropped = false;
    rig.host.on_messages = [&] {
        if (!dropped) {
            dropped = true;
            WMDropFiles({"/q/inner.bmp"}, rig.ctx);
        }
    };
    WMDropFiles({"/p/a.jpg", "/p/b.jpg"}, rig.ctx);
    EXPECT_EQ(rig.log, drop_log({"progress 変換中です 1 0", "messages",
                                 // the nested run
                                 "show 変換中です", "caption Zumo変換", "progress 変換中です 0 0",
                                 "messages", "image /q/inner.bmp", "release", "beep",
                                 // the outer run goes on
                                 "image /p/a.jpg", "progress 変換中です 1 1", "messages",
                                 "image /p/b.jpg", "release", "beep"}));
}

TEST(DropRunStop, AStopRequestEndsTheRunWithoutTheEndSignal)
{
    RunRig rig;
    rig.options.snapshot.RadioGroup9 = 0;
    rig.files.during = [&](const std::string&) { rig.stop = true; };
    const RunSummary summary = WMDropFiles({"/p/a.jpg", "/p/b.jpg"}, rig.ctx);
    EXPECT_EQ(rig.log, drop_log({"progress 変換中です 1 0", "messages", "image /p/a.jpg",
                                 "progress 変換中です 1 1", "release"}));
    EXPECT_EQ(summary.end, RunEnd::Interrupted);
}

TEST(DropRunSummary, SkippedNonPicturesAreNotFailures)
{
    RunRig rig;
    rig.files.outcomes["/p/bad.jpg"] = FileOutcome::Failed;
    const RunSummary summary = WMDropFiles({"/p/a.txt", "/p/bad.jpg", "/p/ok.png"}, rig.ctx);
    EXPECT_EQ(summary.end, RunEnd::Completed);
    EXPECT_EQ(summary.done, 1);
    EXPECT_EQ(summary.unprocessed, 1);
}

TEST(DropRunSummary, RenamesThatFailAreNamedInOneMessageAfterTheDialog)
{
    RunRig rig;
    rig.options.snapshot.RadioGroup10 = 2;
    rig.files.outcomes["/p/b.jpg"] = FileOutcome::Failed;
    rig.files.outcomes["/p/c.jpg"] = FileOutcome::Skipped;
    WMDropFiles({"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"}, rig.ctx);
    const Log tail(rig.log.end() - 2, rig.log.end());
    EXPECT_EQ(tail, (Log{"release",
                         "message 2個のファイルをリネームできませんでした.\n/p/b.jpg\n/p/c.jpg"}));
}

} // namespace
