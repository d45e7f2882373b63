// zumo-bench-preview: times the preview of the tab "画像参照変換" in the real
// window on Qt's offscreen platform: one click on the first line of the
// listing, from the click handler to the painted picture area, with a
// 24 MP JPEG on that line and 1 or 1,000 lines listed. The other lines name
// files that are never opened; the preview's cost must not grow with them.
// The decode runs beside the window: the time is from the click to the
// painted picture, and "stall" is the longest the window's event loop
// went without running (a 5 ms timer's longest gap; target at most 50 ms).
// P4 drops 37 of the bench's photographs on the window and converts them,
// one at a time and on all cores, with the same stall measured.
//
//   zumo-bench-preview [REPEATS]    make the test pictures (once) and print
//                                   median ms per preview over REPEATS clicks
//                                   (default 9), wall and processor time
#include "synthetic.h"

#include "app/Unit1.h"
#include "imagelib/memory_reuse.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <time.h>

namespace {

namespace fs = std::filesystem;

std::string picture_folder(const char* argv0)
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        self = fs::absolute(argv0);
    return (self.parent_path().parent_path() / "bench-pictures").string();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Processor time of the process (all threads): on a busy machine the wall
// time also counts the other processes' share.
double cpu_ms()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// An 18 MP progressive JPEG (a camera's size; progressive files decode
// slowest, also at a reduced scale), made once in folder.
std::string make_progressive_jpeg(const std::string& folder)
{
    const std::string name = "progressive18mp.jpg";
    const QString path = QString::fromStdString((fs::path(folder) / name).string());
    if (fs::exists(path.toStdString()))
        return name;
    QImage image(5200, 3464, QImage::Format_RGB32);
    QRandomGenerator noise(7);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            row[x] = qRgb(x / 21, y / 14, 0) ^ (noise.generate() & 0x3f3f3f);
    }
    QImageWriter writer(path, "jpeg");
    writer.setQuality(92);
    writer.setProgressiveScanWrite(true);
    if (!writer.write(image))
        throw std::runtime_error("cannot write " + path.toStdString());
    return name;
}

struct Timing
{
    double wall_ms;
    double cpu_ms;
    double stall_ms; // the longest over the repeats
};

// Lists `lines` names in CheckListBox1, the first one the real picture,
// selects it and times the click handler and the repaint of the picture.
Timing time_preview(TForm1& form, const std::string& folder, const std::string& picture, int lines,
                    int repeats)
{
    form.FolderDlg2->FolderName = folder;
    form.CheckListBox1->Clear();
    form.CheckListBox1->Add(picture);
    for (int i = 1; i < lines; ++i)
        form.CheckListBox1->Add("missing" + std::to_string(i) + ".jpg");
    form.CheckListBox1->setCurrentRow(0);
    QApplication::processEvents();
    std::vector<double> ms;
    std::vector<double> cpu;
    qint64 stall = 0;
    QElapsedTimer since_tick;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout,
                     [&] { stall = std::max(stall, since_tick.restart()); });
    ticks.start(5);
    for (int run = 0; run < repeats; ++run) {
        form.Image1->setPicture({});
        QApplication::processEvents();
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_ms();
        since_tick.start();
        form.CheckListBox1Click();
        while (form.PreviewPending()) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        stall = std::max(stall, since_tick.elapsed());
        form.Image1->repaint();
        const auto end = std::chrono::steady_clock::now();
        cpu.push_back(cpu_ms() - cpu_start);
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        if (form.Image1->Picture().isNull())
            throw std::runtime_error("the preview shows no picture");
    }
    return {median(ms), median(cpu), static_cast<double>(stall)};
}

// The longest time the window's event loop did not run while a drop of
// `files` converted them (reduced to height 960, BMP, beside them): a timer on the window's thread
// ticks every 2 ms, and the longest gap between two ticks (or between the drop and the first tick,
// the last tick and the end) is the stall a user feels.
struct Stall
{
    double longest_ms;
    double run_ms;
};

Stall time_drop(TForm1& form, const std::vector<std::string>& files, bool all_cores)
{
    form.CheckBox7->setChecked(true);
    form.CheckBox11->setChecked(all_cores);
    const fs::path folder = fs::path(files.front()).parent_path();
    const auto outputs = [&] {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".bmp")
                found.push_back(entry.path());
        return found;
    };
    for (const fs::path& output : outputs())
        fs::remove(output);
    QApplication::processEvents();
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto last = start;
    double longest = 0;
    const auto tick = [&] {
        const auto now = Clock::now();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    };
    QTimer timer;
    timer.setInterval(2);
    QObject::connect(&timer, &QTimer::timeout, tick);
    timer.start();
    form.WMDropFiles(files);
    tick();
    const double run = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (outputs().size() != files.size())
        throw std::runtime_error("the drop did not convert every photograph");
    return {longest, run};
}

// 37 photographs: W1p's, copied round, in a folder of their own.
std::vector<std::string> drop_photos(const std::string& pictures)
{
    std::vector<fs::path> sources;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(pictures) / "W1p", error))
        sources.push_back(entry.path());
    std::sort(sources.begin(), sources.end());
    std::vector<std::string> files;
    if (sources.empty())
        return files;
    const fs::path folder = fs::path(pictures) / "drop37";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (int i = 0; i < 37; ++i) {
        const fs::path target = folder / ("p" + std::to_string(i) + ".jpg");
        fs::copy_file(sources[static_cast<std::size_t>(i) % sources.size()], target);
        files.push_back(target.string());
    }
    return files;
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    imgctl::reuse_freed_memory(); // as the program does
    const int repeats = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 9;
    try {
        const std::string pictures = picture_folder(argv[0]);
        bench::make_input_set(pictures);
        const std::string folder = (fs::path(pictures) / "W1").string();
        TForm1 form;
        form.show();
        form.PageControl1->setCurrentIndex(1);
        form.CheckBox5->setChecked(true);
        QApplication::processEvents();
        std::printf("\n%-4s %-62s %5s %10s %10s %10s\n", "", "preview (window, offscreen)", "lines",
                    "median ms", "cpu ms", "stall ms");
        for (int lines : {1, 1000}) {
            const Timing t = time_preview(form, folder, "pic01.jpg", lines, repeats);
            std::printf("%-4s %-62s %5d %10.1f %10.1f %10.1f\n", lines == 1 ? "P1" : "P2",
                        "click a 24 MP JPEG (6000x4000) with the preview on", lines, t.wall_ms,
                        t.cpu_ms, t.stall_ms);
            std::fflush(stdout);
        }
        const std::string progressive = make_progressive_jpeg(folder);
        const Timing t = time_preview(form, folder, progressive, 1, repeats);
        std::printf("%-4s %-62s %5d %10.1f %10.1f %10.1f\n", "P3",
                    "click an 18 MP progressive JPEG (5200x3464)", 1, t.wall_ms, t.cpu_ms,
                    t.stall_ms);
        const std::vector<std::string> photos = drop_photos(pictures);
        if (photos.empty()) {
            std::printf("P4   drop 37 photos: skipped, no photographs\n");
        } else {
            for (const bool all_cores : {false, true}) {
                const Stall s = time_drop(form, photos, all_cores);
                std::printf("%-4s %-62s %5s %10.1f %10s %10.1f\n", all_cores ? "P4" : "P4-1",
                            all_cores ? "drop 37 photos, all cores (ms: the whole run)"
                                      : "drop 37 photos, one at a time (ms: the whole run)",
                            "", s.run_ms, "", s.longest_ms);
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zumo-bench-preview: %s\n", error.what());
        return 1;
    }
    return 0;
}
