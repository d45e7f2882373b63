// The preview decodes beside the window: the window's own events go on
// meanwhile, only the newest click's picture (or message) is shown, and a
// window closed during a decode ends cleanly.
#include "preview_wait.h"
#include "scripted_host.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"
#include "spi/spi_library.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

using zumo::testing::ScriptedHost;
using zumo::testing::SettlePreview;

// A camera-sized progressive JPEG (18 MP of noise over a gradient, so that
// its decode has real work), made once for the whole run.
const QString& big_jpeg()
{
    static const QTemporaryDir folder;
    static const QString file = [] {
        QImage image(5200, 3464, QImage::Format_RGB32);
        QRandomGenerator noise(7);
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                row[x] = qRgb(x / 21, y / 14, 0) ^ (noise.generate() & 0x3f3f3f);
        }
        const QString path = folder.filePath(QStringLiteral("big.jpg"));
        QImageWriter writer(path, "jpeg");
        writer.setQuality(92);
        writer.setProgressiveScanWrite(true);
        EXPECT_TRUE(writer.write(image)) << writer.errorString().toStdString();
        return path;
    }();
    return file;
}

class Preview : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QFile::copy(big_jpeg(), dir.filePath(QStringLiteral("big.jpg"))));
        QImage small(100, 80, QImage::Format_RGB32);
        small.fill(Qt::darkCyan);
        ASSERT_TRUE(small.save(dir.filePath(QStringLiteral("small.bmp")), "BMP"));
        // Decoded in tens of milliseconds: an older picture shown before it
        // would stay visible that long.
        ASSERT_TRUE(QImage(big_jpeg())
                        .scaled(2400, 1800)
                        .save(dir.filePath(QStringLiteral("medium.jpg")), "JPEG", 95));
        QFile hanging(dir.filePath(QStringLiteral("p.ztst")));
        ASSERT_TRUE(hanging.open(QIODevice::WriteOnly));
        hanging.write(QByteArray("ZTST\x03\0\x02\0\x18", 9));
        hanging.close();
        form = std::make_unique<TForm1>();
        host = std::make_unique<ScriptedHost>(form.get());
        form->SetUserHost(host.get());
        form->FolderDlg2->setBrowser([this](QWidget*, const QString&, const QString&) {
            return std::optional<QString>(QDir::toNativeSeparators(dir.path()));
        });
        form->Button6Click(); // big.jpg, medium.jpg, small.bmp
        form->CheckBox5->setChecked(true);
        form->show();
    }
    void TearDown() override
    {
        form.reset();
        host.reset();
        plugins.reset();
        if (hosting)
            zumo::SetSPIHosting(*hosting);
        zumo::SetHelperTimeout(std::chrono::seconds(10));
    }
    // The test plug-in whose decode never ends, in a helper stopped after
    // 1.5 s; false when it is not built.
    bool load_hanging_plugin()
    {
        if (std::string(ZUMO_HANG_PLUGIN).empty())
            return false;
        hosting = zumo::CurrentSPIHosting();
        zumo::SetSPIHosting(zumo::SPIHosting::Helper);
        zumo::SetHelperTimeout(std::chrono::milliseconds(1500));
        plugins = std::make_unique<zumo::TSPIs>();
        plugins->MacBinary = false;
        plugins->Add(zumo::OpenSPI(ZUMO_HANG_PLUGIN));
        return true;
    }
    void click(const char* name)
    {
        const auto found =
            form->CheckListBox1->findItems(QString::fromLatin1(name), Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name;
        form->CheckListBox1->setCurrentItem(found.first());
        form->CheckListBox1Click();
    }

    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<ScriptedHost> host;
    std::unique_ptr<zumo::TSPIs> plugins;
    std::optional<zumo::SPIHosting> hosting;
};

// The window's timer keeps ticking while an 18 MP progressive JPEG is
// decoded for the preview: its longest gap stays far below the decode.
TEST_F(Preview, TheWindowGoesOnWhileALargePictureDecodes)
{
    QElapsedTimer since_tick;
    qint64 longest_gap = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout,
                     [&] { longest_gap = std::max(longest_gap, since_tick.restart()); });
    ticks.start(5);
    QElapsedTimer decode;
    decode.start();
    since_tick.start();
    click("big.jpg");
    ASSERT_TRUE(SettlePreview(*form));
    const qint64 decode_ms = decode.elapsed();
    longest_gap = std::max(longest_gap, since_tick.elapsed());
    EXPECT_FALSE(form->Image1->Picture().isNull());
    EXPECT_TRUE(form->Image1->Stretch());
    EXPECT_TRUE(host->messages.empty());
    EXPECT_LT(longest_gap, 200) << "decode " << decode_ms << " ms";
    EXPECT_LT(longest_gap * 3, decode_ms) << "the decode was too quick to tell";
}

// Whatever comes while a preview decodes (another line, a new listing),
// the obsolete preview shows neither its picture nor its message, now or
// later.
TEST_F(Preview, OnlyTheNewestClickIsShown)
{
    const struct
    {
        const char* name;
        const char* first;
        const char* then; // a line to click, or null for a new listing
        QSize shown;
    } rows[] = {
        {"JpegThenAnotherJpeg", "big.jpg", "medium.jpg", {300, 225}},
        {"HungPluginThenSmallLine", "p.ztst", "small.bmp", {100, 80}},
        {"JpegThenNewListing", "big.jpg", nullptr, {0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.first == std::string("p.ztst")) {
            if (!load_hanging_plugin())
                continue;
            form->CheckListBox1->Add("p.ztst");
        }
        form->Image1->setPicture({});
        host->messages.clear();
        std::vector<QSize> seen;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout,
                         [&] { seen.push_back(form->Image1->Picture().size()); });
        watch.start(1);
        click(row.first);
        QTest::qWait(50);
        ASSERT_TRUE(form->PreviewPending());
        if (row.then)
            click(row.then);
        else
            form->Button6Click();
        ASSERT_TRUE(SettlePreview(*form));
        EXPECT_EQ(form->Image1->Picture().size(), row.shown);
        EXPECT_TRUE(std::all_of(seen.begin(), seen.end(),
                                [&](QSize size) { return size.isEmpty() || size == row.shown; }));
        EXPECT_TRUE(host->messages.empty());
    }
}

// Closing the window while a preview decodes waits for the worker before
// the plug-ins go (as the program's FormDestroy lets them go), drops the
// result and shows nothing.
TEST_F(Preview, ClosingTheWindowDuringADecodeEndsCleanly)
{
    TForm1Hooks hooks;
    hooks.FormDestroy = [this](TForm1&) { plugins.reset(); };
    for (const char* name : {"big.jpg", "p.ztst"}) {
        SCOPED_TRACE(name);
        if (name == std::string("p.ztst") && !load_hanging_plugin())
            continue;
        form = std::make_unique<TForm1>(hooks, host.get());
        form->FolderDlg2->FolderName = QDir::toNativeSeparators(dir.path()).toStdString();
        form->CheckListBox1->Add(name);
        form->CheckBox5->setChecked(true);
        click(name);
        QTest::qWait(50);
        ASSERT_TRUE(form->PreviewPending());
        form.reset();
        QCoreApplication::processEvents();
        EXPECT_TRUE(host->messages.empty());
    }
}

} // namespace
