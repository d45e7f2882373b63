// Pictures decoded by plug-ins: TSPIGraphic, TSPIBitmap, the progress
// callback, MacBinary offsets and untrusted results.
#include "graphics/picture.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace zumo {
namespace {

using spitest::plugin;
namespace fs = std::filesystem;

struct ProgressRecord
{
    TProgressStage stage;
    int percent;
    bool redraw;
    TRect rect;
    std::string msg;
};

// Reads a test-only counter that the test plug-in exports.
template <class T> T plugin_probe(const std::string& name, const char* symbol)
{
    void* library = ::dlopen(plugin(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(library, nullptr);
    auto function = reinterpret_cast<T (*)()>(::dlsym(library, symbol));
    T value = function();
    ::dlclose(library);
    return value;
}

// The same tests run with the plug-ins in helper processes
// (ZUMO_SPI_HOSTING=helper); the counters are then out of reach.
bool in_process()
{
    return CurrentSPIHosting() == SPIHosting::InProcess;
}

template <class T, class U>
void expect_probe(const std::string& name, const char* symbol, const U& expected)
{
    if (in_process()) {
        EXPECT_EQ(U(plugin_probe<T>(name, symbol)), expected) << name << " " << symbol;
    }
}

void plugin_reset(const std::string& name)
{
    if (!in_process())
        return; // each test starts a fresh helper
    void* library = ::dlopen(plugin(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    reinterpret_cast<void (*)()>(::dlsym(library, "TestReset"))();
    ::dlclose(library);
}

class PluginGraphic : public ::testing::Test
{
protected:
    void SetUp() override { m_spis = std::make_unique<TSPIs>(); }

    void load(std::initializer_list<const char*> names)
    {
        for (const char* name : names) {
            m_spis->Add(OpenSPI(plugin(name)));
            plugin_reset(name);
        }
    }
    std::string picture(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        std::string path = m_dir / name;
        spitest::write_file(path, bytes);
        return path;
    }
    TProgressEvent recorder()
    {
        return [this](TGraphic*, TProgressStage stage, std::uint8_t percent, bool redraw,
                      const TRect& r, const std::string& msg) {
            m_progress.push_back({stage, percent, redraw, r, msg});
        };
    }

    std::unique_ptr<TSPIs> m_spis;
    spitest::TempDir m_dir;
    std::vector<ProgressRecord> m_progress;
};

void expect_test_pixels(const TPixelImage& image, int width, int height, int bits)
{
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(spitest::rgb_at(image.bgra, width, x, y), spitest::expected_rgb(x, y, bits))
                << "at " << x << "," << y;
}

struct DepthCase
{
    int bits;
    int color_count;
    int header_size;
};

class PluginDepths : public PluginGraphic, public ::testing::WithParamInterface<DepthCase>
{
};

TEST_P(PluginDepths, GraphicAndBitmapShowThePluginsPixels)
{
    const DepthCase& c = GetParam();
    load({"in"});
    std::string path = picture("p.ztst", spitest::ztst(13, 7, c.bits));

    TSPIGraphic graphic;
    graphic.LoadFromFile(path);
    EXPECT_EQ(graphic.Width(), 13);
    EXPECT_EQ(graphic.Height(), 7);
    EXPECT_EQ(graphic.ColorCount(), c.color_count);
    EXPECT_EQ(graphic.HeaderSize(), c.header_size);
    EXPECT_EQ(graphic.ImageSize(), ((13 * c.bits + 31) / 32) * 4 * 7);
    EXPECT_EQ(graphic.Is4Bit(), c.bits == 4);
    expect_test_pixels(graphic.ToPixels(), 13, 7, c.bits);

    TSPIBitmap bitmap;
    bitmap.LoadFromFile(path);
    expect_test_pixels(bitmap.ToPixels(), 13, 7, c.bits);
    if (c.bits <= 8) {
        ASSERT_NE(bitmap.Palette(), nullptr);
        ASSERT_EQ(bitmap.Palette()->size(), static_cast<std::size_t>(c.color_count));
        for (int i = 0; i < c.color_count; ++i)
            EXPECT_EQ((*bitmap.Palette())[static_cast<std::size_t>(i)], spitest::palette_entry(i));
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, PluginDepths,
                         ::testing::Values(DepthCase{1, 2, 48}, DepthCase{4, 16, 104},
                                           DepthCase{8, 256, 1064}, DepthCase{24, 0, 40},
                                           DepthCase{32, 0, 40}),
                         [](const auto& info) { return std::to_string(info.param.bits) + "bit"; });

TEST_F(PluginGraphic, OtherHeaderLayoutsAreCarriedIntoTheBitmap)
{
    // V5 headers and bit-field masks are kept apart from the colour table;
    // a top-down picture keeps its negative height in the graphic.
    for (auto [name, bits] : {std::pair{"v5header", 8},
                              {"v5header", 24},
                              {"bitfields", 32},
                              {"v5bitfields", 32},
                              {"topdown", 4},
                              {"topdown", 24}}) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(bits));
        m_spis->Clear();
        load({name});
        std::string path = picture("p.ztst", spitest::ztst(6, 4, bits));
        TSPIGraphic graphic;
        graphic.LoadFromFile(path);
        EXPECT_EQ(graphic.Height(), std::string(name) == "topdown" ? -4 : 4);
        TSPIBitmap bitmap;
        bitmap.LoadFromFile(path);
        EXPECT_EQ(bitmap.Height(), 4);
        expect_test_pixels(bitmap.ToPixels(), 6, 4, bits);
    }
}

TEST_F(PluginGraphic, SavedStreamIsTheBmpFileOfTheDecodedBitmap)
{
    load({"in"});
    TSPIGraphic graphic;
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(5, 3, 8)));
    TMemoryStream stream;
    graphic.SaveToStream(stream);
    const std::uint8_t* p = stream.Memory();
    auto u32 = [&](int offset) {
        return static_cast<std::uint32_t>(p[offset] | p[offset + 1] << 8 | p[offset + 2] << 16 |
                                          p[offset + 3] << 24);
    };
    ASSERT_EQ(stream.Size(), 14 + 1064 + 8 * 3);
    EXPECT_EQ(p[0], 'B');
    EXPECT_EQ(p[1], 'M');
    EXPECT_EQ(u32(2), 14u + 1064 + 24);
    EXPECT_EQ(u32(10), 14u + 1064);
    EXPECT_EQ(u32(14), 40u);
}

TEST_F(PluginGraphic, SizeSettersChangeNothing)
{
    load({"in"});
    TSPIGraphic graphic;
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(5, 3, 24)));
    graphic.SetWidth(1);
    graphic.SetHeight(1);
    EXPECT_EQ(graphic.Width(), 5);
    EXPECT_EQ(graphic.Height(), 3);
}

TEST_F(PluginGraphic, MacBinaryHeaderIsSkippedOnlyWhenAllowed)
{
    load({"in"});
    std::string path = picture("mac.ztst", spitest::macbinary(spitest::ztst(4, 4, 24)));
    TSPIGraphic graphic;
    graphic.LoadFromFile(path);
    EXPECT_EQ(graphic.Width(), 4);
    expect_probe<long long>("in", "TestLastLength", 128LL);

    m_spis->MacBinary = false;
    try {
        graphic.LoadFromFile(path);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Susie Plugins could not decode");
    }
    EXPECT_TRUE(graphic.Empty());
}

TEST_F(PluginGraphic, MemorySourceAtOffset128GetsTheRestOfTheData)
{
    load({"in"});
    TMemoryStream stream;
    std::vector<std::uint8_t> data = spitest::macbinary(spitest::ztst(4, 2, 24));
    stream.WriteBuffer(data.data(), data.size());
    TSPIGraphic graphic;
    graphic.LoadFromStreamWithName(stream, "m.ztst");
    EXPECT_EQ(graphic.Width(), 4);
    expect_probe<int>("in", "TestLastFlag", int{SUSIE_SOURCE_MEMORY});
    expect_probe<long long>("in", "TestLastLength", static_cast<long long>(data.size()) - 128);
}

TEST_F(PluginGraphic, OtherStreamsAreCopiedWholeWhateverTheirPosition)
{
    load({"in"});
    std::string path = picture("f.ztst", spitest::ztst(6, 2, 24));
    TFileStream file(path, TFileMode::fmOpenRead);
    file.SetPosition(5);
    TSPIGraphic graphic;
    graphic.LoadFromStream(file);
    EXPECT_EQ(graphic.Width(), 6);
    EXPECT_EQ(file.Position(), file.Size());
    // Without a name every plug-in is asked, with the empty name.
    expect_probe<const char*>("in", "TestLastName", std::string());
}

TEST_F(PluginGraphic, FailingPluginIsPassedForTheNextCandidate)
{
    load({"in", "fail"});
    TSPIGraphic graphic;
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(3, 3, 24)));
    if (in_process()) {
        EXPECT_GT(plugin_probe<int>("fail", "TestCalls"), 0);
    }
    EXPECT_EQ(graphic.Width(), 3);
}

TEST_F(PluginGraphic, NoDecodingPluginRaisesInvalidGraphic)
{
    std::string path = picture("p.ztst", spitest::ztst(3, 3, 24));
    for (const char* only : {"fail", "liar"}) {
        SCOPED_TRACE(only);
        m_spis->Clear();
        load({only});
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(path), EInvalidGraphic);
        EXPECT_TRUE(graphic.Empty());
        EXPECT_EQ(graphic.Width(), 0);
    }
}

TEST_F(PluginGraphic, NoCollectionMeansNoDecoding)
{
    m_spis.reset();
    TSPIGraphic graphic;
    EXPECT_THROW(graphic.LoadFromFile(picture("p.ztst", spitest::ztst(3, 3, 24))), EInvalidGraphic);
}

TEST_F(PluginGraphic, ProgressRunsFromStartThroughTheMappedPercentagesToTheEnd)
{
    load({"in"});
    TSPIGraphic graphic;
    graphic.OnProgress = recorder();
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(3, 10, 24)));
    std::vector<std::pair<int, std::string>> seen;
    for (const ProgressRecord& r : m_progress) {
        seen.emplace_back(r.percent, r.msg);
        EXPECT_EQ(r.redraw, r.stage == TProgressStage::psEnding);
        EXPECT_EQ(r.rect, TRect{});
    }
    // done 0 -> 2, 5 of 10 -> MulDiv 48.5 rounds to 49 -> 51, 10 of 10 -> 99
    EXPECT_EQ(seen,
              (std::vector<std::pair<int, std::string>>{{0, "Loading Graphic by Susie Plugin"},
                                                        {1, "Seeking enabled Susie Plugins"},
                                                        {1, "Loading by [in.spi]"},
                                                        {2, ""},
                                                        {51, ""},
                                                        {99, ""},
                                                        {100, "Loaded Graphic by Susie Plugin"}}));
    EXPECT_EQ(m_progress.front().stage, TProgressStage::psStarting);
    EXPECT_EQ(m_progress.back().stage, TProgressStage::psEnding);
}

TEST(MulDivRounding, MatchesWin32)
{
    EXPECT_EQ(MulDiv(0, 97, 10), 0);
    EXPECT_EQ(MulDiv(5, 97, 10), 49);
    EXPECT_EQ(MulDiv(-5, 97, 10), -49);
    EXPECT_EQ(MulDiv(1, 1, 3), 0);
    EXPECT_EQ(MulDiv(2, 1, 3), 1);
    EXPECT_EQ(MulDiv(7, 3, 0), -1);
    EXPECT_EQ(MulDiv(0x7FFFFFFF, 4, 1), -1);
}

TEST(ProgressCallback, MapsDoneOfTotalWithoutAHandler)
{
    TSPIGraphic owner;
    TInSPIAbleFromFile data(&owner, "x");
    EXPECT_EQ(SPIProgressCallback(1, 2, 0), 0);
    EXPECT_EQ(SPIProgressCallback(1, 2, reinterpret_cast<susie_intptr>(&data)), 0);
    std::vector<int> percents;
    data.OnProgress = [&](TGraphic* sender, TProgressStage, std::uint8_t percent, bool,
                          const TRect&, const std::string&) {
        EXPECT_EQ(sender, &owner);
        percents.push_back(percent);
    };
    for (auto [done, total] : std::vector<std::pair<int, int>>{{0, 7}, {7, 7}, {3, 0}, {20, 10}})
        EXPECT_EQ(SPIProgressCallback(done, total, reinterpret_cast<susie_intptr>(&data)), 0);
    // A zero total gives 1; done beyond total is held at 100.
    EXPECT_EQ(percents, (std::vector<int>{2, 99, 1, 100}));
}

TEST_F(PluginGraphic, AbortFromTheHandlerStopsThatPluginAndTheLoadGoesOn)
{
    load({"in", "any"});
    TSPIGraphic graphic;
    int aborts = 0;
    graphic.OnProgress = [&](TGraphic*, TProgressStage stage, std::uint8_t percent, bool,
                             const TRect&, const std::string&) {
        // Refuse the first plug-in's decoding (the "any" module is tried
        // first, being loaded last); let the other go through.
        if (stage == TProgressStage::psRunning && percent == 2 && aborts++ == 0)
            throw EAbort();
    };
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(3, 3, 24)));
    expect_probe<int>("any", "TestStopRequests", 1);
    EXPECT_EQ(graphic.Width(), 3);
}

TEST_F(PluginGraphic, OtherExceptionFromTheHandlerReachesTheCallerAfterThePluginReturns)
{
    load({"in"});
    TSPIGraphic graphic;
    bool ended = false;
    graphic.OnProgress = [&](TGraphic*, TProgressStage stage, std::uint8_t percent, bool,
                             const TRect&, const std::string&) {
        if (stage == TProgressStage::psEnding)
            ended = true;
        if (stage == TProgressStage::psRunning && percent == 51)
            throw std::runtime_error("handler failed");
    };
    try {
        graphic.LoadFromFile(picture("p.ztst", spitest::ztst(3, 10, 24)));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "handler failed");
    }
    expect_probe<int>("in", "TestStopRequests", 1);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(graphic.Empty());
}

TEST_F(PluginGraphic, GraphicPreviewTriesGetPreviewFirst)
{
    load({"preview"});
    std::string path = picture("p.ztst", spitest::ztst(9, 9, 24));
    TSPIGraphic graphic;
    graphic.LoadFromFile(path);
    EXPECT_EQ(graphic.Width(), 9);
    m_spis->GraphicPreview = true;
    graphic.LoadFromFile(path);
    EXPECT_EQ(graphic.Width(), 1);
    // A module without GetPreview decodes the full picture.
    m_spis->Clear();
    load({"in"});
    graphic.LoadFromFile(path);
    EXPECT_EQ(graphic.Width(), 9);
}

TEST_F(PluginGraphic, TextInformationHandleIsReleased)
{
    // Leak detection of the sanitizer build checks the release.
    load({"textinfo"});
    TSPIGraphic graphic;
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(2, 2, 24)));
    ASSERT_NE(graphic.Data(), nullptr);
    EXPECT_TRUE(graphic.Data()->InfoValid());
    susie_handle text = graphic.Data()->PictureInfo().hInfo;
    EXPECT_NE(text, nullptr);
}

// A real BMP file of 2 x 1 pixels, 24 bits.
std::vector<std::uint8_t> tiny_bmp()
{
    std::vector<std::uint8_t> b{'B', 'M', 62, 0, 0, 0, 0,  0,  0,  0,  54, 0,  0,  0, 40, 0,
                                0,   0,   2,  0, 0, 0, 1,  0,  0,  0,  1,  0,  24, 0, 0,  0,
                                0,   0,   8,  0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0, 0,  0,
                                0,   0,   0,  0, 0, 0, 10, 20, 30, 40, 50, 60, 0,  0};
    return b;
}

TEST_F(PluginGraphic, BitmapTriesPlainBmpFirstOnlyForBmpExtension)
{
    load({"any"});
    TSPIBitmap bitmap;
    bitmap.LoadFromFile(picture("real.BMP", tiny_bmp()));
    EXPECT_EQ(bitmap.Width(), 2);
    expect_probe<int>("any", "TestCalls", 0);

    // A ".bmp" that only the plug-in reads.
    bitmap.LoadFromFile(picture("fake.bmp", spitest::ztst(5, 4, 24)));
    EXPECT_EQ(bitmap.Width(), 5);

    // Any other extension asks the plug-ins first; a real BMP still loads
    // when they cannot.
    m_spis->Clear();
    load({"in"});
    bitmap.LoadFromFile(picture("real.ztst", tiny_bmp()));
    EXPECT_EQ(bitmap.Width(), 2);
    EXPECT_EQ(spitest::rgb_at(bitmap.ToPixels().bgra, 2, 1, 0), 0x3C3228u);
}

TEST_F(PluginGraphic, FailedBitmapLoadKeepsTheContentAndStillReportsTheEnd)
{
    load({"in"});
    TSPIBitmap bitmap;
    bitmap.LoadFromFile(picture("p.ztst", spitest::ztst(6, 5, 24)));
    bitmap.OnProgress = recorder();
    try {
        bitmap.LoadFromFile(picture("bad.ztst", {'n', 'o', 'p', 'e'}));
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Susie Plugins could not decode");
    }
    EXPECT_EQ(bitmap.Width(), 6);
    ASSERT_FALSE(m_progress.empty());
    // The plug-in graphic's own end report is dropped; the bitmap sends one.
    int endings = 0;
    for (const ProgressRecord& r : m_progress)
        endings += r.stage == TProgressStage::psEnding;
    EXPECT_EQ(endings, 1);
    EXPECT_EQ(m_progress.back().msg, "Loaded Graphic");
    EXPECT_EQ(m_progress.back().rect, (TRect{0, 0, 6, 5}));
}

TEST_F(PluginGraphic, StreamLoadRestoresThePositionForTheNextAttempt)
{
    load({"in"});
    TMemoryStream stream;
    std::vector<std::uint8_t> junk{1, 2, 3};
    std::vector<std::uint8_t> bmp = tiny_bmp();
    stream.WriteBuffer(junk.data(), junk.size());
    stream.WriteBuffer(bmp.data(), bmp.size());
    stream.SetPosition(3);
    TSPIBitmap bitmap;
    bitmap.LoadFromStreamWithName(stream, "x.ztst");
    EXPECT_EQ(bitmap.Width(), 2);
}

TEST_F(PluginGraphic, AssignFromAPluginGraphicKeepsTheSource)
{
    load({"in"});
    TSPIGraphic graphic;
    graphic.LoadFromFile(picture("p.ztst", spitest::ztst(7, 3, 4)));
    TSPIBitmap bitmap;
    bitmap.Assign(graphic);
    EXPECT_FALSE(graphic.Empty());
    expect_test_pixels(bitmap.ToPixels(), 7, 3, 4);
    ASSERT_NE(bitmap.Palette(), nullptr);
    EXPECT_EQ(bitmap.Palette()->size(), 16u);
}

TEST_F(PluginGraphic, PictureLoadsPluginExtensionsThroughTheBitmap)
{
    load({"in"});
    TPicture picture_object;
    picture_object.LoadFromFile(picture("x.ZTST", spitest::ztst(8, 6, 24)));
    ASSERT_NE(dynamic_cast<const TSPIBitmap*>(picture_object.Graphic()), nullptr);
    expect_test_pixels(picture_object.Graphic()->ToPixels(), 8, 6, 24);
}

TEST_F(PluginGraphic, StreamEventIsAlwaysTheBitmapsOwnLoader)
{
    load({"in"});
    TSPIBitmap bitmap;
    bitmap.SetOnLoadFromStreamWithName([](TStream&, const std::string&) { FAIL(); });
    TMemoryStream stream;
    std::vector<std::uint8_t> data = spitest::ztst(3, 2, 24);
    stream.WriteBuffer(data.data(), data.size());
    stream.SetPosition(0);
    bitmap.OnLoadFromStreamWithName()(stream, "s.ztst");
    EXPECT_EQ(bitmap.Width(), 3);
}

} // namespace
} // namespace zumo
