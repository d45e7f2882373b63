#include "app/core/Settings.h"

#include "platform/ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace zumo;
using C = StoredControl;

// The window's stored controls at their designed values, with the click
// handlers a change of a check box or of a radio group's item runs.
class FakeWindow : public SettingsWindow
{
public:
    FakeWindow()
    {
        for (C c :
             {C::CheckBox1, C::CheckBox3, C::CheckBox4, C::CheckBox5, C::CheckBox6, C::CheckBox7})
            checked[c] = false;
        checked[C::CheckBox9] = true;
        checked[C::CheckBox10] = true;
        checked[C::CheckBox11] = true;
        position = {{C::UpDown1, 92}, {C::UpDown2, 0}, {C::UpDown3, 100}};
        item = {{C::RadioGroup1, 0}, {C::RadioGroup2, 1}, {C::RadioGroup3, 0}, {C::RadioGroup4, 0},
                {C::RadioGroup5, 1}, {C::RadioGroup6, 0}, {C::RadioGroup7, 3}, {C::RadioGroup8, 0},
                {C::RadioGroup9, 1}, {C::RadioGroup10, 0}};
        text = {{C::Edit1, ""}, {C::Edit5, ""}, {C::Edit6, ""}, {C::Edit7, ""}};
        placement = Placement{450, 433, 192, 232, false};
    }

    bool Checked(C c) const override { return checked.at(c); }
    void SetChecked(C c, bool value) override
    {
        calls.push_back(std::string(control_name(c)));
        if (checked.at(c) != value)
            clicks.push_back(std::string(control_name(c)));
        checked[c] = value;
    }
    int Position(C c) const override { return position.at(c); }
    void SetPosition(C c, int value) override
    {
        calls.push_back(std::string(control_name(c)));
        position[c] = value;
    }
    int ItemIndex(C c) const override { return item.at(c); }
    void SetItemIndex(C c, int index) override
    {
        calls.push_back(std::string(control_name(c)));
        if (index >= 0 && item.at(c) != index)
            clicks.push_back(std::string(control_name(c)));
        item[c] = index;
    }
    std::string Text(C c) const override { return text.at(c); }
    void SetText(C c, const std::string& value) override
    {
        calls.push_back(std::string(control_name(c)));
        text[c] = value;
    }
    Placement WindowPlacement() const override { return placement; }
    void SetWindowPlacement(const Placement& p) override
    {
        calls.push_back("placement");
        placement = p;
    }

    bool same_state(const FakeWindow& o) const
    {
        return checked == o.checked && position == o.position && item == o.item && text == o.text;
    }

    std::map<C, bool> checked;
    std::map<C, int> position;
    std::map<C, int> item;
    std::map<C, std::string> text;
    Placement placement;
    std::vector<std::string> calls;
    std::vector<std::string> clicks;
};

bool operator==(const Placement& a, const Placement& b)
{
    return a.Width == b.Width && a.Height == b.Height && a.Top == b.Top && a.Left == b.Left &&
           a.Maximized == b.Maximized;
}

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_ini = (m_dir / "zumo.ini").string();
    }
    void TearDown() override
    {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(m_dir, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_dir);
    }
    void put(const std::string& content) const { std::ofstream(m_ini) << content; }
    std::string content() const
    {
        std::ifstream in(m_ini);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path m_dir;
    std::string m_ini;
};

TEST_F(SettingsTest, FirstStartShowsTheDefaultsAndTheCloseWritesEveryKey)
{
    FakeWindow window;
    const FakeWindow designed;
    LoadSettings(m_ini, window);

    EXPECT_TRUE(window.checked[C::CheckBox6]); // reading default true, designed unchecked
    for (C c : {C::CheckBox1, C::CheckBox3, C::CheckBox4, C::CheckBox5, C::CheckBox7})
        EXPECT_FALSE(window.checked[c]) << control_name(c);
    EXPECT_EQ(window.position, designed.position);
    EXPECT_EQ(window.item, designed.item);
    EXPECT_EQ(window.text[C::Edit5], "new");
    EXPECT_EQ(window.text[C::Edit7], "resize");
    EXPECT_EQ(window.text[C::Edit1], "");
    EXPECT_TRUE(window.placement == designed.placement);
    EXPECT_EQ(window.clicks, std::vector<std::string>{"CheckBox6"});
    EXPECT_FALSE(fs::exists(m_ini)); // reading creates nothing

    ASSERT_TRUE(SaveSettings(m_ini, window).complete);
    EXPECT_EQ(content(), "[Form1]\n"
                         "CheckBox1.Checked=0\n"
                         "CheckBox3.Checked=0\n"
                         "CheckBox4.Checked=0\n"
                         "CheckBox5.Checked=0\n"
                         "CheckBox6.Checked=1\n"
                         "CheckBox7.Checked=0\n"
                         "CheckBox8.Checked=0\n"
                         " UpDown1.Position=92\n"
                         " UpDown2.Position=0\n"
                         " UpDown3.Position=100\n"
                         "RadioGroup1.ItemIndex=0\n"
                         "RadioGroup2.ItemIndex=1\n"
                         "RadioGroup3.ItemIndex=0\n"
                         "RadioGroup4.ItemIndex=0\n"
                         "RadioGroup5.ItemIndex=1\n"
                         "RadioGroup6.ItemIndex=0\n"
                         "RadioGroup7.ItemIndex=3\n"
                         "RadioGroup8.ItemIndex=0\n"
                         "RadioGroup9.ItemIndex=1\n"
                         "RadioGroup10.ItemIndex=0\n"
                         "Edit1.Text=\n"
                         "Edit5.Text=new\n"
                         "Edit6.Text=\n"
                         "Edit7.Text=resize\n"
                         "CheckBox9.Checked=1\n"
                         "CheckBox10.Checked=1\n"
                         "CheckBox11.Checked=1\n"
                         "\n"
                         "[Window]\n"
                         "Maximized=0\n"
                         "Width=450\n"
                         "Height=433\n"
                         "Top=192\n"
                         "Left=232\n");
}

TEST_F(SettingsTest, ReadsInTableOrderThenThePlacement)
{
    FakeWindow window;
    LoadSettings(m_ini, window);
    std::vector<std::string> expected;
    for (const SettingKey& k : form1_keys())
        expected.emplace_back(control_name(k.control));
    expected.push_back("placement");
    EXPECT_EQ(window.calls, expected);
    ASSERT_EQ(form1_keys().size(), 27u);
    EXPECT_EQ(form1_keys().back().key, "CheckBox11.Checked");
    EXPECT_EQ(form1_keys()[6].key, "CheckBox8.Checked");
    EXPECT_EQ(form1_keys()[6].control, C::CheckBox7);
}

// One stored value and what the control shows after reading it.
struct StoredValue
{
    const char* key;
    const char* stored; // nullptr: key missing
    C control;
    int expected; // check boxes: 0/1
};

class SettingsValue : public SettingsTest, public ::testing::WithParamInterface<StoredValue>
{
};

TEST_P(SettingsValue, IsBroughtIntoTheControlsRange)
{
    const StoredValue& p = GetParam();
    if (p.stored)
        put(std::string("[Form1]\n") + p.key + "=" + p.stored + "\n");
    FakeWindow window;
    LoadSettings(m_ini, window);
    int shown = 0;
    if (window.checked.count(p.control))
        shown = window.checked[p.control] ? 1 : 0;
    else if (window.position.count(p.control))
        shown = window.position[p.control];
    else
        shown = window.item[p.control];
    EXPECT_EQ(shown, p.expected) << p.key << "=" << (p.stored ? p.stored : "(missing)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsValue,
    ::testing::Values(StoredValue{"RadioGroup5.ItemIndex", "99", C::RadioGroup5, 6},
                      StoredValue{"RadioGroup5.ItemIndex", "-5", C::RadioGroup5, -1},
                      StoredValue{"RadioGroup5.ItemIndex", "7", C::RadioGroup5, 6},
                      StoredValue{"RadioGroup5.ItemIndex", "0x3", C::RadioGroup5, 3},
                      StoredValue{"RadioGroup5.ItemIndex", "abc", C::RadioGroup5, 1},
                      StoredValue{"RadioGroup10.ItemIndex", "-1", C::RadioGroup10, -1},
                      StoredValue{"RadioGroup7.ItemIndex", nullptr, C::RadioGroup7, 3},
                      StoredValue{" UpDown1.Position", "0x10", C::UpDown1, 16},
                      StoredValue{"UpDown1.Position", "50", C::UpDown1,
                                  50}, // written without the blank
                      StoredValue{" UpDown1.Position", "65586", C::UpDown1, 50},  // low 16 bits
                      StoredValue{" UpDown1.Position", "70000", C::UpDown1, 100}, // 4464, above Max
                      StoredValue{" UpDown1.Position", "32768", C::UpDown1, 0}, // -32768, below Min
                      StoredValue{" UpDown1.Position", "-1", C::UpDown1, 0},
                      StoredValue{" UpDown1.Position", "x", C::UpDown1, 92},
                      StoredValue{" UpDown2.Position", "361", C::UpDown2, 360},
                      StoredValue{" UpDown3.Position", "5", C::UpDown3, 10},
                      StoredValue{" UpDown3.Position", "20000", C::UpDown3, 10000},
                      StoredValue{"CheckBox5.Checked", "yes", C::CheckBox5, 0},
                      StoredValue{"CheckBox5.Checked", "2", C::CheckBox5, 1},
                      StoredValue{"CheckBox5.Checked", "-1", C::CheckBox5, 1},
                      StoredValue{"CheckBox6.Checked", "yes", C::CheckBox6, 1},
                      StoredValue{"CheckBox6.Checked", "0", C::CheckBox6, 0},
                      // The photo options read as checked from older files.
                      StoredValue{"CheckBox9.Checked", nullptr, C::CheckBox9, 1},
                      StoredValue{"CheckBox10.Checked", nullptr, C::CheckBox10, 1},
                      StoredValue{"CheckBox9.Checked", "0", C::CheckBox9, 0},
                      StoredValue{"CheckBox10.Checked", "0", C::CheckBox10, 0},
                      // So does the use of every core.
                      StoredValue{"CheckBox11.Checked", nullptr, C::CheckBox11, 1},
                      StoredValue{"CheckBox11.Checked", "0", C::CheckBox11, 0}));

TEST_F(SettingsTest, CheckBox7TakesTheStateOfCheckBox8Key)
{
    struct Case
    {
        const char* box7;
        const char* box8;
        bool expected;
    };
    for (const Case c : {Case{"1", "0", false}, Case{"0", "1", true}, Case{"1", "1", true}}) {
        put(std::string("[Form1]\nCheckBox7.Checked=") + c.box7 + "\nCheckBox8.Checked=" + c.box8 +
            "\n");
        FakeWindow window;
        LoadSettings(m_ini, window);
        EXPECT_EQ(window.checked[C::CheckBox7], c.expected) << c.box7 << c.box8;
    }
    // Both keys are written from CheckBox7.
    FakeWindow window;
    window.checked[C::CheckBox7] = true;
    ASSERT_TRUE(SaveSettings(m_ini, window).complete);
    EXPECT_EQ(platform::read_profile_string("Form1", "CheckBox7.Checked", "", m_ini), "1");
    EXPECT_EQ(platform::read_profile_string("Form1", "CheckBox8.Checked", "", m_ini), "1");
}

TEST_F(SettingsTest, RestoringRunsTheClickHandlersOfChangedControlsOnly)
{
    put("[Form1]\nCheckBox1.Checked=1\nCheckBox3.Checked=0\nRadioGroup7.ItemIndex=0\n"
        "RadioGroup8.ItemIndex=0\nRadioGroup1.ItemIndex=-1\n");
    FakeWindow window;
    LoadSettings(m_ini, window);
    // CheckBox6 changes by its reading default; RadioGroup1 is cleared,
    // which runs nothing; unchanged controls run nothing.
    EXPECT_EQ(window.clicks, (std::vector<std::string>{"CheckBox1", "CheckBox6", "RadioGroup7"}));
}

TEST_F(SettingsTest, MaximisedEndKeepsTheNormalPlacementOfAnEarlierRun)
{
    FakeWindow first;
    first.placement = Placement{500, 400, 10, 20, false};
    ASSERT_TRUE(SaveSettings(m_ini, first).complete);

    FakeWindow second;
    LoadSettings(m_ini, second);
    EXPECT_TRUE(second.placement == (Placement{500, 400, 10, 20, false}));
    second.placement = Placement{600, 500, 30, 40, true}; // moved, then maximised
    ASSERT_TRUE(SaveSettings(m_ini, second).complete);
    EXPECT_EQ(platform::read_profile_string("Window", "Maximized", "", m_ini), "1");
    EXPECT_EQ(platform::read_profile_string("Window", "Width", "", m_ini), "500");

    FakeWindow third;
    LoadSettings(m_ini, third);
    EXPECT_TRUE(third.placement == (Placement{500, 400, 10, 20, true}));
    third.placement.Maximized = false; // restored and closed normally
    ASSERT_TRUE(SaveSettings(m_ini, third).complete);
    EXPECT_EQ(platform::read_profile_string("Window", "Maximized", "", m_ini), "0");
}

TEST_F(SettingsTest, ReadOnlyFileLosesTheChangesSilentlyAndStaysWhole)
{
    put("[Form1]\nCheckBox1.Checked=0\n; note\n");
    ::chmod(m_ini.c_str(), 0444);
    FakeWindow window;
    window.checked[C::CheckBox1] = true;
    const SaveResult result = SaveSettings(m_ini, window);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.failed_key, "CheckBox1.Checked");
    EXPECT_EQ(content(), "[Form1]\nCheckBox1.Checked=0\n; note\n");
}

// A line break or a zero byte in an edit's value (a folder's name may hold
// them) is stored too, escaped, beside every other key and the placement,
// in both window states.
TEST_F(SettingsTest, ValuesWithLineBreaksAreStoredWithEveryOtherKey)
{
    for (const bool maximized : {false, true}) {
        SCOPED_TRACE(maximized ? "maximised" : "normal");
        std::filesystem::remove(m_ini);
        FakeWindow window;
        window.text[C::Edit1] = "two\nlines";
        window.text[C::Edit6] = std::string("x\0y", 3);
        window.text[C::Edit5] = "changed";
        window.placement = {640, 480, 30, 40, maximized};
        const SaveResult result = SaveSettings(m_ini, window);
        EXPECT_TRUE(result.complete) << result.failed_key;
        EXPECT_EQ(platform::read_profile_text("Form1", "Edit1.Text", "-", m_ini), "two\nlines");
        EXPECT_EQ(platform::read_profile_text("Form1", "Edit6.Text", "-", m_ini),
                  std::string("x\0y", 3));
        EXPECT_EQ(platform::read_profile_string("Form1", "RadioGroup10.ItemIndex", "-", m_ini),
                  "0");
        EXPECT_EQ(platform::read_profile_string("Form1", "Edit5.Text", "-", m_ini), "changed");
        EXPECT_EQ(platform::read_profile_string("Window", "Maximized", "-", m_ini),
                  maximized ? "1" : "0");
        EXPECT_EQ(platform::read_profile_string("Window", "Left", "-", m_ini),
                  maximized ? "-" : "40");
        FakeWindow loaded;
        LoadSettings(m_ini, loaded);
        EXPECT_EQ(loaded.text[C::Edit1], "two\nlines");
    }
}

TEST_F(SettingsTest, EveryStoredValueSurvivesARestart)
{
    std::mt19937 random(7);
    const std::vector<std::string> texts{"",      "new",    " lead",     "tail ",
                                         "\"q\"", "日本語", "C:\\out\\", "a=b;c"};
    for (int round = 0; round < 8; ++round) {
        FakeWindow before;
        for (auto& [c, v] : before.checked)
            v = random() % 2;
        for (const SettingKey& k : form1_keys()) {
            if (k.kind == ControlKind::UpDown)
                before.position[k.control] =
                    k.range.min + int(random() % unsigned(k.range.max - k.range.min + 1));
            if (k.kind == ControlKind::RadioGroup)
                before.item[k.control] = int(random() % unsigned(k.item_count + 1)) - 1;
        }
        for (auto& [c, v] : before.text)
            v = texts[random() % texts.size()];
        before.placement =
            Placement{int(random() % 2000), int(random() % 2000), int(random() % 2000) - 1000,
                      int(random() % 2000) - 1000, false};
        fs::remove(m_ini);
        ASSERT_TRUE(SaveSettings(m_ini, before).complete);
        FakeWindow after;
        LoadSettings(m_ini, after);
        EXPECT_TRUE(after.same_state(before)) << "round " << round;
        EXPECT_TRUE(after.placement == before.placement) << "round " << round;
    }
}

TEST_F(SettingsTest, FilePlaceFollowsTheExecutablesFolder)
{
    const std::string dir = m_dir.string();
    const SettingsEnvironment env{"/xdg/config", "/home/u"};
    EXPECT_EQ(SettingsFilePath(dir + "/zumo", env), dir + "/zumo.ini");
    EXPECT_EQ(SettingsFilePath(dir + "/zumo.exe", env), dir + "/zumo.ini");
    fs::create_directory(m_dir / "my.app");
    EXPECT_EQ(SettingsFilePath(dir + "/my.app/zumo", env), dir + "/my.app/zumo.ini");

    fs::create_directory(m_dir / "installed");
    fs::permissions(m_dir / "installed", fs::perms::owner_read | fs::perms::owner_exec);
    const std::string exe = dir + "/installed/zumo";
    EXPECT_EQ(SettingsFilePath(exe, env), "/xdg/config/zumo/zumo.ini");
    EXPECT_EQ(SettingsFilePath(exe, {"", "/home/u"}), "/home/u/.config/zumo/zumo.ini");
    EXPECT_EQ(SettingsFilePath(exe, {"relative/cfg", "/home/u/"}), "/home/u/.config/zumo/zumo.ini");
    EXPECT_EQ(SettingsFilePath(dir + "/missing/zumo", env), "/xdg/config/zumo/zumo.ini");
}

TEST_F(SettingsTest, SavingCreatesTheConfigurationFolder)
{
    const std::string ini = (m_dir / "config" / "zumo" / "zumo.ini").string();
    FakeWindow window;
    ASSERT_TRUE(SaveSettings(ini, window).complete);
    FakeWindow again;
    again.text[C::Edit7] = "x";
    LoadSettings(ini, again);
    EXPECT_EQ(again.text[C::Edit7], "");
}

TEST_F(SettingsTest, PluginFolderIsCreatedBesideTheExecutable)
{
    const std::string dir = m_dir.string();
    EXPECT_EQ(PreparePluginFolder(dir + "/zumo"), dir + "/spi/*");
    EXPECT_TRUE(fs::is_directory(m_dir / "spi"));
    std::ofstream(m_dir / "spi" / "keep.spi") << "x";
    EXPECT_EQ(PreparePluginFolder(dir + "/zumo"), dir + "/spi/*");
    EXPECT_TRUE(fs::exists(m_dir / "spi" / "keep.spi"));
    // A folder that cannot be made is not reported.
    EXPECT_EQ(PreparePluginFolder(dir + "/none/zumo"), dir + "/none/spi/*");
}

// An installation is told by its plug-in folder ../lib/zumo/spi: it keeps
// its settings in the per-user file and creates nothing beside the program,
// even where the program's folder can be written (root and /usr/bin,
// a user and ~/.local/bin).
TEST_F(SettingsTest, AnInstalledProgramKeepsItsFolderClean)
{
    struct Case
    {
        const char* layout;
        bool plugin_folder; // <root>/lib/zumo/spi is a folder
        bool plugin_file;   // <root>/lib/zumo/spi is a file
        bool bin_read_only;
        bool installed;
    };
    const SettingsEnvironment env{"/xdg/config", "/home/u"};
    const std::string per_user = "/xdg/config/zumo/zumo.ini";
    int n = 0;
    for (const Case& c : {Case{"build tree", false, false, false, false},
                          Case{"installed, bin writable", true, false, false, true},
                          Case{"installed, bin read-only", true, false, true, true},
                          Case{"a file where the folder would be", false, true, false, false}}) {
        SCOPED_TRACE(c.layout);
        const fs::path root = m_dir / std::to_string(++n);
        fs::create_directories(root / "bin");
        fs::create_directories(root / "lib" / "zumo");
        if (c.plugin_folder)
            fs::create_directory(root / "lib" / "zumo" / "spi");
        if (c.plugin_file)
            std::ofstream(root / "lib" / "zumo" / "spi") << "x";
        if (c.bin_read_only)
            fs::permissions(root / "bin", fs::perms::owner_read | fs::perms::owner_exec);
        const std::string exe = (root / "bin" / "zumo").string();

        EXPECT_EQ(InstalledPluginFolder(exe), (root / "lib" / "zumo" / "spi").string());
        EXPECT_EQ(RunsInstalled(exe), c.installed);
        const bool beside = !c.installed && !c.bin_read_only;
        EXPECT_EQ(SettingsFilePath(exe, env),
                  beside ? (root / "bin" / "zumo.ini").string() : per_user);
        EXPECT_EQ(PreparePluginFolder(exe), (root / "bin" / "spi" / "*").string());
        EXPECT_EQ(fs::exists(root / "bin" / "spi"), beside);
    }
    // A relative program path is taken from the current folder.
    EXPECT_EQ(InstalledPluginFolder("zumo"), "../lib/zumo/spi");
    EXPECT_EQ(InstalledPluginFolder("bin/zumo"), "lib/zumo/spi");
}

} // namespace
