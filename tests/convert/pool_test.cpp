// Batches run side by side must show and leave what one at a time does: the
// same host calls in the same order, the same files with the same bytes.
#include "conversion_fixture.h"

#include <filesystem>
#include <map>
#include <thread>
#include <unistd.h>

namespace zumo::test {
namespace {

namespace fs = std::filesystem;

// What one run leaves: every file under the folder with its bytes.
std::map<std::string, std::vector<std::uint8_t>> tree(const std::string& folder)
{
    std::map<std::string, std::vector<std::uint8_t>> found;
    for (const std::string& name : files_under(folder))
        found[name] = read_bytes(join(folder, name));
    return found;
}

struct Hostile
{
    const char* name;
    // Makes the inputs in folder "in" of root; returns the batch's list.
    std::function<std::vector<std::string>(const std::string& in)> make;
    std::function<void(OptionSnapshot&)> set;
    std::vector<Answer> answers; // after the batch's own "OK"
    bool needs_permissions = false;
};

std::string pic(const std::string& in, const std::string& name, Format format, int w = 240,
                int h = 160)
{
    write_picture(join(in, name), w, h, format);
    return join(in, name);
}

std::vector<std::string> several(const std::string& in, int count)
{
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i)
        files.push_back(pic(in, "p" + std::to_string(i) + ".jpg", Format::Jpg, 200 + 40 * i));
    return files;
}

const Hostile k_rows[] = {
    {"PendingInputs",
     [](const std::string& in) {
         // a.png would become a.bmp, a later input; b.bmp is written over
         // by nothing; c.png's output is not there yet.
         return std::vector<std::string>{
             pic(in, "a.png", Format::Png), pic(in, "p.jpg", Format::Jpg, 600, 400),
             pic(in, "a.bmp", Format::Bmp), pic(in, "c.png", Format::Png)};
     },
     [](OptionSnapshot& o) { o.RadioGroup1 = 0; },
     {}},
    {"OutputIsALaterInputNotThereAtTheStart",
     [](const std::string& in) {
         // a.png makes a.bmp, which is then the next file's input.
         return std::vector<std::string>{pic(in, "a.png", Format::Png, 640, 480), join(in, "a.bmp"),
                                         pic(in, "b.jpg", Format::Jpg)};
     },
     [](OptionSnapshot& o) { o.RadioGroup1 = 0; },
     {}},
    {"TwoFilesOneTarget",
     [](const std::string& in) {
         return std::vector<std::string>{pic(in, "x.jpg", Format::Jpg, 640, 480),
                                         pic(in, "x.png", Format::Png, 80, 60),
                                         pic(in, "X.gif", Format::Gif, 50, 50)};
     },
     [](OptionSnapshot& o) { o.RadioGroup1 = 0; },
     {}},
    {"ReadOnlyTargetAndDamagedFile",
     [](const std::string& in) {
         std::vector<std::string> files = several(in, 3);
         const std::string locked = pic(in, "p1.png", Format::Png, 10, 10);
         fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read);
         write_bytes(join(in, "bad.jpg"), {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F'});
         files.insert(files.begin() + 1, join(in, "bad.jpg"));
         return files;
     },
     [](OptionSnapshot& o) { o.RadioGroup1 = 1; },
     {},
     false},
    {"FolderQuestionAnsweredEachWay",
     [](const std::string& in) { return several(in, 4); },
     [](OptionSnapshot& o) {
         o.CheckBox1 = true; // Edit1 empty
         o.RadioGroup1 = 3;
     },
     {Answer::No, Answer::Yes, Answer::No, Answer::Yes}},
    {"SubfolderMadeByTheFirstFile",
     [](const std::string& in) { return several(in, 5); },
     [](OptionSnapshot& o) {
         o.CheckBox6 = true;
         o.RadioGroup1 = 2; // GIF: the reduction takes the longest
         o.RadioGroup9 = 0;
     },
     {}},
};

class PoolMatchesOneAtATime : public ::testing::TestWithParam<Hostile>
{
protected:
    struct Run
    {
        std::vector<std::string> events;
        std::map<std::string, std::vector<std::uint8_t>> files;
    };

    static Run run(int jobs, const Hostile& row)
    {
        TempDir dir;
        const std::string in = join(dir.path(), "in");
        fs::create_directory(in);
        const std::vector<std::string> files = row.make(in);
        FakeHost host;
        FakeOptions options;
        options.current.CheckBox6 = false;
        row.set(options.current);
        host.answers = {Answer::Ok};
        host.answers.insert(host.answers.end(), row.answers.begin(), row.answers.end());
        ConversionEngine engine(options, host);
        engine.SetJobsOverride(jobs);
        engine.ConvertFileList(files);
        Run result{host.events, tree(dir.path())};
        for (std::string& event : result.events) { // the folders differ
            for (std::size_t at; (at = event.find(dir.path())) != std::string::npos;)
                event.replace(at, dir.path().size(), "<dir>");
        }
        return result;
    }
};

TEST_P(PoolMatchesOneAtATime, SameCallsSameFiles)
{
    if (GetParam().needs_permissions && ::geteuid() == 0)
        GTEST_SKIP() << "root writes over read-only files";
    const Run one = run(1, GetParam());
    for (const int jobs : {2, 4}) {
        const Run many = run(jobs, GetParam());
        EXPECT_EQ(many.events, one.events) << jobs << " jobs";
        EXPECT_EQ(many.files, one.files) << jobs << " jobs";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PoolMatchesOneAtATime, ::testing::ValuesIn(k_rows),
                         [](const auto& info) { return std::string(info.param.name); });

// A cancel starts no new file: the run side by side shows the calls of the
// run one at a time up to the cancel, then at most the files in flight,
// and never the end signal.
TEST(PoolCancel, EndsAfterTheFilesInFlight)
{
    TempDir dir;
    const std::string in = join(dir.path(), "in");
    fs::create_directory(in);
    const std::vector<std::string> files = several(in, 8);
    FakeHost host;
    FakeOptions options;
    options.current.CheckBox6 = false;
    options.current.RadioGroup1 = 1;
    options.current.RadioGroup9 = 0;
    host.on_set_progress = [&](int call) {
        if (call == 1)
            host.ClickCancel();
    };
    ConversionEngine engine(options, host);
    engine.SetJobsOverride(3);
    engine.ConvertFileList(files);
    EXPECT_EQ(host.Count("Beep"), 0);
    EXPECT_EQ(host.events.back(), "Release");
    EXPECT_EQ(host.CountPrefix("Progress("), 2);
    int outputs = 0;
    for (const std::string& name : files_under(dir.path()))
        outputs += name.ends_with(".png");
    EXPECT_GE(outputs, 2);
    EXPECT_LE(outputs, 2 + 3); // the two reported and at most the jobs in flight
    EXPECT_EQ(imgctl::LiveDIBCount(), 0u);
}

// One job runs its files on the caller's thread, unless the host (a window)
// runs batches aside: then on a worker, so that its thread goes on.
TEST(PoolOneJob, RunsAsideOnlyForAHostThatAsks)
{
    struct AsideHost : FakeHost
    {
        bool aside = false;
        bool RunsBatchesAside() const override { return aside; }
    };
    for (const bool aside : {false, true}) {
        AsideHost host;
        host.aside = aside;
        BatchPool pool(host, 1);
        std::vector<std::thread::id> ran;
        for (int i = 0; i < 3 && pool.WaitForRoom(); ++i) {
            BatchFile file;
            file.work = [&ran](UserHost&, FileTurn*) { ran.push_back(std::this_thread::get_id()); };
            pool.Start(std::move(file));
        }
        pool.Finish();
        ASSERT_EQ(ran.size(), 3u) << aside;
        for (const std::thread::id id : ran)
            EXPECT_EQ(id == std::this_thread::get_id(), !aside) << aside;
    }
}

} // namespace
} // namespace zumo::test
