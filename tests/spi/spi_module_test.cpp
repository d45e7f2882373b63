// Plug-in modules: class by API version, required entry points, the
// information loop and the guarded calls.
#include "spi/SPIs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <typeinfo>
#include <unistd.h>

namespace zumo {
namespace {

using spitest::plugin;

struct ClassCase
{
    const char* plugin;
    const std::type_info* type;
    bool usable;
    const char* version;
};

class OpenSPIClass : public ::testing::TestWithParam<ClassCase>
{
};

TEST_P(OpenSPIClass, ChoosesTheClassByTheExactVersionText)
{
    const ClassCase& c = GetParam();
    std::unique_ptr<TSPI> spi = OpenSPI(plugin(c.plugin));
    ASSERT_TRUE(spi);
    EXPECT_EQ(typeid(*spi), *c.type);
    EXPECT_EQ(spi->Usable(), c.usable);
    EXPECT_EQ(spi->APIVersion(), c.version);
    EXPECT_EQ(spi->PluginTitle(), "zumo test plug-in");
    EXPECT_EQ(spi->FileName(), plugin(c.plugin));
}

INSTANTIATE_TEST_SUITE_P(Versions, OpenSPIClass,
                         ::testing::Values(ClassCase{"in", &typeid(TInSPI), true, "00IN"},
                                           ClassCase{"lowercase", &typeid(TSPI), false, "00in"},
                                           ClassCase{"other", &typeid(TSPI), false, "01IN"},
                                           ClassCase{"noversion", &typeid(TSPI), false, ""},
                                           ClassCase{"am", &typeid(TAmSPI), true, "00AM"},
                                           ClassCase{"xn", &typeid(TXnSPI), false, "00XN"}),
                         [](const auto& info) { return std::string(info.param.plugin); });

TEST(OpenSPI, GivesNoneForFilesThatAreNoLibrary)
{
    spitest::TempDir dir;
    spitest::write_file(dir / "text.spi", {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 'b'});
    EXPECT_EQ(OpenSPI(dir / "text.spi"), nullptr);
    EXPECT_EQ(OpenSPI(dir / "missing.spi"), nullptr);
    EXPECT_EQ(OpenSPI(""), nullptr);
}

struct MissingCase
{
    const char* plugin;
    const char* entry;
};

class OpenSPIMissingEntry : public ::testing::TestWithParam<MissingCase>
{
};

TEST_P(OpenSPIMissingEntry, RaisesInvalidApiNamingTheFirstMissingEntry)
{
    const MissingCase& c = GetParam();
    try {
        OpenSPI(plugin(c.plugin));
        FAIL() << "no exception";
    } catch (const ESPIInvalidAPI& e) {
        EXPECT_EQ(std::string(e.what()), std::string(c.entry) + "は[" + plugin(c.plugin) +
                                             "]では使えないSusie Plugin APIです");
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, OpenSPIMissingEntry,
                         ::testing::Values(MissingCase{"noinfo", "GetPluginInfo"},
                                           MissingCase{"in_nopicture", "GetPicture"},
                                           MissingCase{"am_noarchive", "GetArchiveInfo"}),
                         [](const auto& info) { return std::string(info.param.plugin); });

TEST(TSPIConstruction, UnloadableLibraryRaisesOpenErrorWithThePathGiven)
{
    try {
        TSPI::Create<TSPI>("/nonexistent/x.spi");
        FAIL() << "no exception";
    } catch (const ESPIFOpenErrorSPI& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/x.spi:Susie Pluginがロードできませんでした");
    }
}

TEST(TSPIConstruction, BuildingAClassDirectlyChecksItsEntries)
{
    // A plain TSPI needs only GetPluginInfo, an import module more.
    EXPECT_NO_THROW(TSPI::Create<TSPI>(plugin("in_nopicture")));
    EXPECT_THROW(TSPI::Create<TInSPI>(plugin("in_nopicture")), ESPIInvalidAPI);
    EXPECT_THROW(TSPI::Create<TAmSPI>(plugin("in")), ESPIInvalidAPI);
}

TEST(TSPIInformation, ReadsPatternPairs)
{
    auto spi = OpenSPI(plugin("three"));
    ASSERT_TRUE(spi);
    EXPECT_EQ(spi->Filters(), std::vector<std::string>{"*.aaa;*.bbb;*.ccc"});
    EXPECT_EQ(spi->FilterDescriptions(), std::vector<std::string>{"Three letters"});
}

TEST(TSPIInformation, PatternWithoutDescriptionIsDropped)
{
    auto spi = OpenSPI(plugin("half"));
    ASSERT_TRUE(spi);
    EXPECT_TRUE(spi->Filters().empty());
    EXPECT_TRUE(spi->FilterDescriptions().empty());
}

TEST(TSPIInformation, PluginAnsweringEveryNumberIsCapped)
{
    auto spi = OpenSPI(plugin("endless"));
    ASSERT_TRUE(spi);
    EXPECT_EQ(spi->Filters().size(), static_cast<std::size_t>(TSPI::k_max_pattern_pairs));
    EXPECT_EQ(spi->Filters().size(), spi->FilterDescriptions().size());
}

TEST(TSPIFileName, IsTheFullPathWhenOpenedByARelativeName)
{
    char old[4096];
    ASSERT_TRUE(::getcwd(old, sizeof old));
    ASSERT_EQ(::chdir(ZUMO_TEST_SPI_DIR), 0);
    std::unique_ptr<TSPI> spi = OpenSPI("in.spi");
    ASSERT_EQ(::chdir(old), 0);
    ASSERT_TRUE(spi);
    EXPECT_EQ(spi->FileName(), plugin("in"));
}

TEST(TSPIGuardedCalls, MissingGetPreviewRaisesInvalidApi)
{
    auto spi = TSPI::Create<TInSPI>(plugin("in"));
    susie_handle info = nullptr, bits = nullptr;
    try {
        spi->GetPreview("x", 0, 0, &info, &bits, nullptr, 0);
        FAIL() << "no exception";
    } catch (const ESPIInvalidAPI& e) {
        EXPECT_EQ(std::string(e.what()),
                  "GetPreviewは[" + plugin("in") + "]では使えないSusie Plugin APIです");
    }
}

TEST(TSPIGuardedCalls, PassArgumentsThrough)
{
    auto spi = TSPI::Create<TInSPI>(plugin("in"));
    std::vector<std::uint8_t> head = spitest::ztst(3, 2, 24);
    head.resize(2048);
    EXPECT_NE(spi->IsSupported("name.ztst", head.data()), 0);
    head[0] = 'X';
    EXPECT_EQ(spi->IsSupported("name.ztst", head.data()), 0);

    std::vector<std::uint8_t> data = spitest::ztst(3, 2, 24);
    SusiePictureInfo info{};
    ASSERT_EQ(spi->GetPictureInfo(reinterpret_cast<const char*>(data.data()),
                                  static_cast<susie_intptr>(data.size()), SUSIE_SOURCE_MEMORY,
                                  &info),
              0);
    EXPECT_EQ(info.width, 3);
    EXPECT_EQ(info.height, 2);
    EXPECT_EQ(info.colorDepth, 24);
}

TEST(TSPILifetime, SameLibraryTwiceGivesIndependentModules)
{
    auto first = OpenSPI(plugin("in"));
    auto second = OpenSPI(plugin("in"));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    first.reset();
    // The library stays loaded through the second reference.
    char buffer[256] = {};
    EXPECT_GT(second->GetPluginInfo(0, buffer, 255), 0);
    EXPECT_STREQ(buffer, "00IN");
}

} // namespace
} // namespace zumo
