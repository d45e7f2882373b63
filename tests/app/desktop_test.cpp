// The program on a desktop, as a user meets it: an X server (the test runs
// under xvfb-run -a), the openbox window manager, the real zumo, and real
// drags of files from another program (drag_source, text/uri-list over the
// X drag-and-drop protocol) moved by xdotool's synthetic mouse.
#include "convert/StrPprog.h"
#include "program_run.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QWindow>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

using namespace program_run;

// ---- the desktop ------------------------------------------------------------

// The output of a short command (xdotool), or "" when it fails.
std::string output_of(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        ::pclose(pipe);
    }
    return text;
}

struct Window
{
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
};

// The first visible window whose name matches pattern, waiting up to a
// minute for it to appear.
std::optional<Window> wait_for_window(const std::string& pattern)
{
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream ids(output_of("xdotool search --onlyvisible --name '" + pattern + "'"));
        std::string id;
        if (ids >> id) {
            Window w{id};
            std::istringstream shell(output_of("xdotool getwindowgeometry --shell " + id));
            for (std::string line; std::getline(shell, line);) {
                const auto eq = line.find('=');
                if (eq == std::string::npos)
                    continue;
                const std::string key = line.substr(0, eq);
                const int value = std::atoi(line.c_str() + eq + 1);
                if (key == "X")
                    w.x = value;
                else if (key == "Y")
                    w.y = value;
                else if (key == "WIDTH")
                    w.width = value;
                else if (key == "HEIGHT")
                    w.height = value;
            }
            return w;
        }
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

void xdotool(const std::string& arguments)
{
    EXPECT_EQ(std::system(("xdotool " + arguments + " >/dev/null 2>&1").c_str()), 0) << arguments;
}

// Presses the mouse on from, moves it in steps to (x, y) and releases it
// there: a drag as a hand makes it.
void drag(const Window& from, int x, int y)
{
    const int x0 = from.x + from.width / 2;
    const int y0 = from.y + from.height / 2;
    xdotool("mousemove " + std::to_string(x0) + " " + std::to_string(y0));
    std::this_thread::sleep_for(200ms);
    xdotool("mousedown 1");
    for (int step = 1; step <= 10; ++step) {
        std::this_thread::sleep_for(80ms);
        xdotool("mousemove " + std::to_string(x0 + (x - x0) * step / 10) + " " +
                std::to_string(y0 + (y - y0) * step / 10));
    }
    std::this_thread::sleep_for(300ms);
    xdotool("mouseup 1");
}

// A child process that is killed when the test is done with it.
class Child
{
public:
    Child(const std::string& program, const std::vector<std::string>& args, const fs::path& out)
        : m_out(out)
    {
        m_pid = spawn(program, args, environment_without({}), out, out.string() + ".err");
        EXPECT_GT(m_pid, 0) << program;
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    std::string output() const { return read_text(m_out); }

private:
    pid_t m_pid = -1;
    fs::path m_out;
};

// A drag source offering files, its window up.
struct DragSource
{
    DragSource(const fs::path& root, const std::string& name, const std::vector<std::string>& files)
        : process(ZUMO_DRAG_SOURCE, files, root / name)
    {
        window = wait_for_window("^zumo-drag-source$");
    }
    Child process;
    std::optional<Window> window;
};

class Desktop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run -a";
        wm = std::make_unique<Child>("openbox", std::vector<std::string>{"--sm-disable"},
                                     zumo.root / "openbox");
        // zumo with a display; its leaks are the other tests' business.
        zumo.extra_environment = {"DISPLAY=" + std::string(std::getenv("DISPLAY")),
                                  "ASAN_OPTIONS=detect_leaks=0"};
        write_text(zumo.ini(), settings({}));
    }

    // Starts zumo without files and waits for its window.
    Window start_zumo()
    {
        pid = zumo.start({});
        const auto window = wait_for_window("^Zumo変換　0.6$");
        EXPECT_TRUE(window.has_value());
        return window.value_or(Window{});
    }

    // ファイル変換(F) → 終了(X), as a user ends the program.
    void choose_exit(const Window& window)
    {
        xdotool("windowactivate --sync " + window.id);
        xdotool("key alt+f");
        std::this_thread::sleep_for(300ms);
        xdotool("key x");
    }

    std::vector<std::string> big_pictures(int count, int width, int height)
    {
        std::vector<std::string> files;
        write_picture(zumo.pictures / "p0.jpg", width, height, "JPEG");
        for (int i = 0; i < count; ++i) {
            const std::string name = "p" + std::to_string(i) + ".jpg";
            if (i > 0)
                fs::copy_file(zumo.pictures / "p0.jpg", zumo.pictures / name);
            files.push_back(zumo.picture(name));
        }
        return files;
    }

    Installation zumo;
    std::unique_ptr<Child> wm;
    pid_t pid = -1;
};

// Files dragged from another program, then the window closed from its menu
// while the progress dialog runs: the program ends after the file in
// progress, with status 0 and every setting written.
TEST_F(Desktop, CloseDuringADropRunEndsAfterTheFileInProgress)
{
    const std::vector<std::string> files = big_pictures(30, 4000, 3000);
    const Window window = start_zumo();
    DragSource source(zumo.root, "source1", files);
    ASSERT_TRUE(source.window.has_value());
    drag(*source.window, window.x + window.width / 2, window.y + window.height / 2);
    ASSERT_TRUE(wait_for_window("^Zumo変換$").has_value()) << "no progress dialog";
    choose_exit(window);
    const Result r = zumo.finish(pid);

    EXPECT_EQ(r.status, 0) << r.err;
    const std::string ini = read_text(zumo.ini());
    EXPECT_EQ(ini_keys(ini).size(), k_form1_keys.size() + 5) << ini;
    const std::vector<std::string> written = names_in(zumo.pictures / "resize");
    EXPECT_LT(written.size(), files.size()) << "the run went on after the close";
    for (const std::string& name : written)
        EXPECT_EQ(picture_size(zumo.pictures / "resize" / name), QSize(4000, 3000)) << name;
    EXPECT_NE(source.process.output().find("drop result 1"), std::string::npos)
        << "the copy was accepted";
}

fs::file_time_type written_at(const fs::path& path)
{
    std::error_code error;
    const fs::file_time_type t = fs::last_write_time(path, error);
    EXPECT_FALSE(error) << path;
    return t;
}

// A second drag while a drop run goes on: its files run at once with their
// own dialog, and the first run goes on only after them. (The first run is
// long, even with its files converted side by side on every core; the
// window is closed once it has gone on after the second one.)
TEST_F(Desktop, ADropDuringARunIsANestedRun)
{
    const std::vector<std::string> outer = big_pictures(120, 3200, 2400);
    write_picture(zumo.pictures / "inner1.png", 30, 20, "PNG");
    write_picture(zumo.pictures / "inner2.png", 30, 20, "PNG");
    const Window window = start_zumo();
    {
        DragSource first(zumo.root, "source1", outer);
        ASSERT_TRUE(first.window.has_value());
        drag(*first.window, window.x + window.width / 2, window.y + window.height / 2);
        ASSERT_TRUE(wait_for_window("^Zumo変換$").has_value()) << "no progress dialog";
    }
    // Onto the window's upper part, beside the dialog in the screen's middle.
    DragSource second(zumo.root, "source2",
                      {zumo.picture("inner1.png"), zumo.picture("inner2.png")});
    ASSERT_TRUE(second.window.has_value());
    drag(*second.window, window.x + 60, window.y + 80);

    const fs::path out = zumo.pictures / "resize";
    const auto deadline = std::chrono::steady_clock::now() + 180s;
    const auto waiting = [&] { return std::chrono::steady_clock::now() < deadline; };
    while (!fs::exists(out / "inner2.bmp") && waiting())
        std::this_thread::sleep_for(50ms);
    const std::size_t with_inner = names_in(out).size();
    while (names_in(out).size() == with_inner && waiting())
        std::this_thread::sleep_for(50ms);
    choose_exit(window);
    const Result r = zumo.finish(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(second.process.output().find("drop result 1"), std::string::npos)
        << "the second drop was refused";

    const auto inner1 = written_at(out / "inner1.bmp");
    const auto inner2 = written_at(out / "inner2.bmp");
    int before = 0;
    int after = 0;
    for (std::size_t i = 0; i < outer.size(); ++i) {
        const fs::path output = out / ("p" + std::to_string(i) + ".bmp");
        if (!fs::exists(output))
            continue;
        const auto t = written_at(output);
        EXPECT_FALSE(t > inner1 && t < inner2) << "p" << i << " ran inside the nested run";
        before += t < inner1 ? 1 : 0;
        after += t > inner2 ? 1 : 0;
    }
    EXPECT_GT(before, 0) << "the second drop ran before the first run started";
    EXPECT_GT(after, 0) << "the first run did not go on after the second";
    EXPECT_LT(before + after, static_cast<int>(outer.size())) << "the close did not stop the run";
}

// The progress dialog is on the screen and painted when the run's first
// file starts, not an empty frame until the first file is done.
TEST(ProgressDialog, IsPaintedBeforeTheFirstFile)
{
    QWidget owner;
    const std::unique_ptr<TFormStrProgress> form(
        TFormStrProgress::ShowProgress(&owner, QStringLiteral("変換中です")));
    ASSERT_TRUE(form->isExposed()) << "shown but not yet mapped";
    // What the screen shows of the dialog now, without letting any event in.
    const QImage shot = form->screen()->grabWindow(form->winId()).toImage();
    ASSERT_FALSE(shot.isNull());
    int background = 0;
    const QRgb face = form->palette().color(QPalette::Window).rgb();
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            background += shot.pixel(x, y) == face ? 1 : 0;
    EXPECT_GT(background, shot.width() * shot.height() / 2) << "the dialog's face is not painted";
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
