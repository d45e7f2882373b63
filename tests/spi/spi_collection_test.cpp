// The plug-in collection: single instance, searches, registration of the
// import plug-ins' extensions and the order of FindSPIs.
#include "graphics/bitmap.h"
#include "graphics/picture.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zumo {
namespace {

using spitest::plugin;
namespace fs = std::filesystem;

struct Registration
{
    std::string extension;
    std::string description;
    bool operator==(const Registration&) const = default;
};

class Collection : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved_class = TSPIs::GraphicClass();
        m_spis = std::make_unique<TSPIs>();
    }
    void TearDown() override
    {
        m_spis.reset();
        TSPIs::SetGraphicClass(m_saved_class);
    }

    // Copies test plug-ins into the temporary folder under new names.
    void stage(std::initializer_list<std::pair<const char*, const char*>> copies)
    {
        for (auto [from, to] : copies)
            fs::copy_file(plugin(from), m_dir / to);
    }
    std::vector<std::string> loaded_names() const
    {
        std::vector<std::string> names;
        for (int i = 0; i < m_spis->Count(); ++i)
            names.push_back(fs::path(m_spis->Items(i)->FileName()).filename().string());
        return names;
    }
    void record_registrations()
    {
        auto recorded = std::make_shared<std::vector<Registration>>();
        m_spis->OnPictureRegister = [recorded](TSPIs&, TInSPI&, const std::string& extension,
                                               const std::string& description, TGraphicClass&) {
            recorded->push_back({extension, description});
        };
        m_recorded = recorded;
    }

    std::unique_ptr<TSPIs> m_spis;
    spitest::TempDir m_dir;
    TGraphicClass m_saved_class = nullptr;
    std::shared_ptr<std::vector<Registration>> m_recorded;
};

TEST_F(Collection, SecondCollectionRaisesAndTheFirstStays)
{
    try {
        TSPIs second;
        FAIL() << "no exception";
    } catch (const ESPIDupCreateSPIs& e) {
        EXPECT_STREQ(e.what(), "TSPIs は複数生成できません");
    }
    EXPECT_EQ(SPIsInstance(), m_spis.get());
    m_spis.reset();
    EXPECT_EQ(SPIsInstance(), nullptr);
    m_spis = std::make_unique<TSPIs>();
    EXPECT_EQ(SPIsInstance(), m_spis.get());
}

TEST_F(Collection, StartsWithTheStoredDefaults)
{
    EXPECT_TRUE(m_spis->MacBinary);
    EXPECT_FALSE(m_spis->GraphicPreview);
    EXPECT_TRUE(m_spis->AutoSearch);
    EXPECT_EQ(m_spis->SearchOptions.Bits(), spsSusieDir | spsAppDir);
    EXPECT_EQ(m_spis->Count(), 0);
    EXPECT_EQ(TSPIs::GraphicClass(), GraphicClassOf<TSPIBitmap>());
}

TEST_F(Collection, FolderSearchSkipsNonLibrariesHiddenFilesAndFolders)
{
    stage({{"in", "b_in.spi"}, {"am", "a_am.spi"}, {"in", ".hidden.spi"}});
    spitest::write_file(m_dir / "c_text.spi", {'t', 'e', 'x', 't'});
    spitest::write_file(m_dir / "readme.txt", {'t'});
    fs::create_directory(m_dir / "d_folder.spi");
    m_spis->SearchSPI(m_dir.path() + "/*");
    EXPECT_EQ(loaded_names(), (std::vector<std::string>{"a_am.spi", "b_in.spi"}));
}

TEST_F(Collection, MaskOfTheFolderSearchApplies)
{
    stage({{"in", "one.spi"}, {"in", "two.dll"}});
    m_spis->SearchSPI(m_dir.path() + "/*.spi");
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"one.spi"});
}

TEST_F(Collection, SameFolderReachedTwiceOpensEachLibraryOnce)
{
    stage({{"in", "one.spi"}, {"xn", "two.spi"}});
    spitest::EnvGuard susie("SUSIE_PLUGIN_PATH", m_dir.path());
    char old[4096];
    ASSERT_TRUE(::getcwd(old, sizeof old));
    ASSERT_EQ(::chdir(m_dir.path().c_str()), 0);
    m_spis->SearchOptions = {spsSusieDir, spsCurrentDir};
    m_spis->SearchSPI("*.spi");
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(m_spis->Count(), 2);
    m_spis->SearchSPI(m_dir.path() + "/*");
    EXPECT_EQ(m_spis->Count(), 2);
}

TEST_F(Collection, EmptySearchOptionsSearchNothing)
{
    stage({{"in", "one.spi"}});
    spitest::EnvGuard susie("SUSIE_PLUGIN_PATH", m_dir.path());
    m_spis->SearchOptions = {};
    m_spis->SearchSPI("*.spi");
    EXPECT_EQ(m_spis->Count(), 0);
}

TEST_F(Collection, LoadedSearchesTheSusieFolderOnlyWithAutoSearch)
{
    stage({{"in", "two.sph"}, {"in", "one.spi"}, {"in", "three.dll"}});
    spitest::EnvGuard susie("SUSIE_PLUGIN_PATH", m_dir.path());
    m_spis->AutoSearch = false;
    m_spis->Loaded();
    EXPECT_EQ(m_spis->Count(), 0);
    m_spis->AutoSearch = true;
    m_spis->Loaded();
    EXPECT_EQ(loaded_names(), (std::vector<std::string>{"one.spi", "two.sph"}));
}

TEST_F(Collection, InvalidPluginEndsTheSearchKeepingWhatWasAdded)
{
    stage({{"in", "a.spi"}, {"noinfo", "b.spi"}, {"in", "c.spi"}});
    EXPECT_THROW(m_spis->SearchSPI(m_dir.path() + "/*"), ESPIInvalidAPI);
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"a.spi"});
}

TEST_F(Collection, SearchHandlersSkipAndReject)
{
    stage({{"in", "a.spi"}, {"in", "b.spi"}, {"in", "c.spi"}});
    std::vector<std::string> offered;
    m_spis->OnSearching = [&](TSPIs&, const std::string& path, bool& accept) {
        offered.push_back(fs::path(path).filename().string());
        accept = path.ends_with("a.spi") || path.ends_with("b.spi");
    };
    m_spis->OnSearch = [](TSPIs&, TSPI& spi, bool& accept) {
        accept = !spi.FileName().ends_with("b.spi");
    };
    m_spis->SearchSPI(m_dir.path() + "/*");
    EXPECT_EQ(offered, (std::vector<std::string>{"a.spi", "b.spi", "c.spi"}));
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"a.spi"});
}

TEST_F(Collection, ExceptionFromTheSearchingHandlerLeavesTheSearch)
{
    stage({{"in", "a.spi"}});
    m_spis->OnSearching = [](TSPIs&, const std::string&, bool&) { throw Exception("stop"); };
    EXPECT_THROW(m_spis->SearchSPI(m_dir.path() + "/*"), Exception);
    EXPECT_EQ(m_spis->Count(), 0);
}

TEST_F(Collection, ModuleWhoseRegistrationFailsDoesNotStay)
{
    stage({{"in", "a.spi"}, {"xn", "b.spi"}});
    m_spis->OnPictureRegister = [](TSPIs&, TInSPI&, const std::string&, const std::string&,
                                   TGraphicClass&) { throw Exception("no"); };
    // In a search the failure is swallowed and the module dropped ...
    m_spis->SearchSPI(m_dir.path() + "/*");
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"b.spi"});
    // ... and a direct Add passes it on without keeping the module.
    EXPECT_THROW(m_spis->Add(OpenSPI(m_dir / "a.spi")), Exception);
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"b.spi"});
}

TEST_F(Collection, IndexOfIgnoresAsciiCase)
{
    m_spis->Add(OpenSPI(plugin("in")));
    std::string upper = plugin("in");
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(m_spis->IndexOf(plugin("in")), 0);
    EXPECT_EQ(m_spis->IndexOf(upper), 0);
    EXPECT_EQ(m_spis->IndexOf(plugin("am")), -1);
}

TEST_F(Collection, ListOperationsCheckTheirIndex)
{
    m_spis->Add(OpenSPI(plugin("in")));
    m_spis->Insert(0, OpenSPI(plugin("xn")));
    EXPECT_EQ(m_spis->Items(0)->APIVersion(), "00XN");
    EXPECT_THROW(m_spis->Items(2), std::out_of_range);
    EXPECT_THROW(m_spis->Delete(-1), std::out_of_range);
    EXPECT_THROW(m_spis->Insert(3, OpenSPI(plugin("in"))), std::out_of_range);
    m_spis->Delete(0);
    EXPECT_EQ(m_spis->Items(0)->APIVersion(), "00IN");
    m_spis->Clear();
    EXPECT_EQ(m_spis->Count(), 0);
}

TEST_F(Collection, ThreePatternsOfOneLineRegisterInOrder)
{
    record_registrations();
    std::size_t before = TPicture::FileFormats().size();
    m_spis->Add(OpenSPI(plugin("three")));
    EXPECT_EQ(*m_recorded,
              (std::vector<Registration>{
                  {"aaa", "Three letters"}, {"bbb", "Three letters"}, {"ccc", "Three letters"}}));
    std::vector<TFileFormat> formats = TPicture::FileFormats();
    ASSERT_EQ(formats.size(), before + 3);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(formats[before + i].extension, (*m_recorded)[i].extension);
        EXPECT_EQ(formats[before + i].graphic_class, GraphicClassOf<TSPIBitmap>());
    }
    EXPECT_EQ(TPicture::FindGraphicClass("BBB"), GraphicClassOf<TSPIBitmap>());
}

TEST_F(Collection, RegisterHandlerVetoesOrChangesTheClassForTheRestOfTheLine)
{
    std::size_t before = TPicture::FileFormats().size();
    m_spis->OnPictureRegister = [](TSPIs&, TInSPI&, const std::string& extension,
                                   const std::string&, TGraphicClass& graphic_class) {
        if (extension == "aaa")
            graphic_class = GraphicClassOf<TBitmap>();
        if (extension == "ccc")
            graphic_class = nullptr;
    };
    m_spis->Add(OpenSPI(plugin("three")));
    std::vector<TFileFormat> formats = TPicture::FileFormats();
    ASSERT_EQ(formats.size(), before + 2);
    EXPECT_EQ(formats[before].extension, "aaa");
    EXPECT_EQ(formats[before + 1].extension, "bbb");
    EXPECT_EQ(formats[before + 1].graphic_class, GraphicClassOf<TBitmap>());
}

TEST_F(Collection, NothingIsRegisteredWithoutAGraphicClassOrForOtherModules)
{
    std::size_t before = TPicture::FileFormats().size();
    m_spis->Add(OpenSPI(plugin("am")));
    m_spis->Add(OpenSPI(plugin("lowercase")));
    TSPIs::SetGraphicClass(nullptr);
    m_spis->Add(OpenSPI(plugin("three")));
    EXPECT_EQ(TPicture::FileFormats().size(), before);
    EXPECT_EQ(m_spis->Count(), 3);
}

TEST_F(Collection, FindSPIsPutsClaimingModulesFirstLastLoadedLeading)
{
    stage({{"in", "a.spi"},
           {"jpgline", "b.spi"},
           {"three", "c.spi"},
           {"in", "d.spi"},
           {"am", "e.spi"}});
    m_spis->SearchSPI(m_dir.path() + "/*");
    ASSERT_EQ(m_spis->Count(), 5);
    auto find = [&](std::initializer_list<TSPIClass> classes, const std::string& name) {
        std::vector<TSPI*> list;
        m_spis->FindSPIs(classes, name, list);
        std::string order;
        for (TSPI* spi : list)
            order += fs::path(spi->FileName()).stem().string();
        return order;
    };
    TSPIClass in = SPIClassOf<TInSPI>();
    EXPECT_EQ(find({in}, "/p/x.ZTST"), "dabc");
    // Only the last pattern of a line claims.
    EXPECT_EQ(find({in}, "x.jpeg"), "bacd");
    EXPECT_EQ(find({in}, "x.jpg"), "abcd");
    EXPECT_EQ(find({in}, "/some.dir/noext"), "abcd");
    EXPECT_EQ(find({SPIClassOf<TAmSPI>()}, "x.ztst"), "e");
    // The archive module claims ".ztst" as well and was loaded last.
    EXPECT_EQ(find({SPIClassOf<TLoaderSPI>()}, "x.ztst"), "edabc");
    EXPECT_EQ(find({in, SPIClassOf<TAmSPI>()}, "x.ccc"), "cabde");
}

TEST_F(Collection, FindSPIsAppendsToTheList)
{
    m_spis->Add(OpenSPI(plugin("in")));
    std::vector<TSPI*> list{nullptr};
    m_spis->FindSPIs({SPIClassOf<TInSPI>()}, "x.ztst", list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], m_spis->Items(0));
    EXPECT_EQ(list[1], nullptr);
}

} // namespace
} // namespace zumo
