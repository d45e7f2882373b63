#include "platform/ini.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::IniFile;
using platform::IniWriteError;
using platform::parse_profile_int;
using platform::read_profile_int;
using platform::read_profile_string;
using platform::read_profile_text;
using platform::write_profile_string;
using platform::write_profile_text;

class IniTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-ini-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_file = (m_dir / "zumo.ini").string();
    }
    void TearDown() override
    {
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(m_dir);
    }

    void put(const std::string& content) const
    {
        std::ofstream(m_file, std::ios::binary) << content;
    }
    std::string content() const
    {
        std::ifstream in(m_file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Everything in the folder except the settings file itself: temporary
    // files a write must not leave behind.
    std::vector<std::string> strays() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir)) {
            if (entry.path().string() != m_file)
                names.push_back(entry.path().filename().string());
        }
        return names;
    }

    fs::path m_dir;
    std::string m_file;
};

// --- lookups -------------------------------------------------------------

struct Lookup
{
    const char* section;
    const char* key;
    const char* expected;
};

class IniLookup : public IniTest, public ::testing::WithParamInterface<Lookup>
{
};

TEST_P(IniLookup, FindsValueAsTheWin32ReaderDoes)
{
    put("top=global\n"
        "; a comment = not a key\n"
        "[Form1]\n"
        "CheckBox1.Checked=1\n"
        " UpDown1.Position=16\n"
        "  spaced key   =   spaced value  \n"
        "quoted=\"  in quotes \"\n"
        "single='x'\n"
        "dup=first\n"
        "dup=second\n"
        "empty=\n"
        "日本語キー=値\n"
        "\n"
        "[ Window ]\n"
        "Width=434\r\n"
        "[form1]\n"
        "later=hidden by the first Form1\n");
    const Lookup& p = GetParam();
    EXPECT_EQ(read_profile_string(p.section, p.key, "<default>", m_file), p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniLookup,
    ::testing::Values(
        Lookup{"Form1", "CheckBox1.Checked", "1"}, Lookup{"FORM1", "checkbox1.CHECKED", "1"},
        Lookup{"Form1", " UpDown1.Position", "16"}, Lookup{"Form1", "UpDown1.Position", "16"},
        Lookup{"Form1", "spaced key", "spaced value"}, Lookup{"Form1", "quoted", "  in quotes "},
        Lookup{"Form1", "single", "x"}, Lookup{"Form1", "dup", "first"},
        Lookup{"Form1", "empty", ""}, Lookup{"Form1", "日本語キー", "値"},
        Lookup{"Window", "width", "434"}, Lookup{"Form1", "top", "<default>"}, // before any section
        Lookup{"Form1", "Width", "<default>"},                                 // other section
        Lookup{"Form1", "later", "<default>"},                                 // second [form1]
        Lookup{"Form1", "; a comment", "<default>"},                           // comment line
        Lookup{"Nothing", "CheckBox1.Checked", "<default>"}));

TEST_F(IniTest, MissingOrUnreadableFileGivesDefaults)
{
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "new", m_file), "new");
    EXPECT_EQ(read_profile_int("Form1", "a", 7, m_file), 7);
    fs::create_directory(m_file); // a folder where the file should be
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "new", m_file), "new");
    // A pipe would block a reader forever: neither read nor replaced.
    const std::string pipe = (m_dir / "pipe.ini").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "new", pipe), "new");
    EXPECT_FALSE(write_profile_string("Form1", "Edit5.Text", "x", pipe));
}

TEST_F(IniTest, ByteOrderMarkDoesNotHideTheFirstSection)
{
    put("\xEF\xBB\xBF[Form1]\nEdit5.Text=abc\n");
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "", m_file), "abc");
    ASSERT_TRUE(write_profile_string("Form1", "Edit6.Text", "x", m_file));
    EXPECT_EQ(content(), "\xEF\xBB\xBF[Form1]\nEdit5.Text=abc\nEdit6.Text=x\n");
}

TEST_F(IniTest, StringReadsStopAt2047Bytes)
{
    const std::string long_value(3000, 'a');
    put("[s]\nexact=" + std::string(2047, 'b') + "\nlong=" + long_value + "\n");
    EXPECT_EQ(read_profile_string("s", "exact", "", m_file), std::string(2047, 'b'));
    EXPECT_EQ(read_profile_string("s", "long", "", m_file), std::string(2047, 'a'));
    EXPECT_EQ(read_profile_string("s", "long", "", m_file, 10), std::string(10, 'a'));
}

// --- integers ------------------------------------------------------------

struct IntCase
{
    const char* text;
    std::optional<int> expected;
};

class ProfileInt : public ::testing::TestWithParam<IntCase>
{
};

TEST_P(ProfileInt, ParsesDecimalAndHexOnly)
{
    EXPECT_EQ(parse_profile_int(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileInt,
    ::testing::Values(IntCase{"92", 92}, IntCase{"-5", -5}, IntCase{"+7", 7}, IntCase{"007", 7},
                      IntCase{"0x10", 16}, IntCase{"0X1f", 31}, IntCase{"0xFFFFFFFF", -1},
                      IntCase{"0x7fffffff", 2147483647}, IntCase{"2147483647", 2147483647},
                      IntCase{"-2147483648", -2147483647 - 1}, IntCase{"2147483648", std::nullopt},
                      IntCase{"-2147483649", std::nullopt}, IntCase{"0x100000000", std::nullopt},
                      IntCase{"99999999999999999999", std::nullopt}, IntCase{"0x", std::nullopt},
                      IntCase{"0x-1", std::nullopt}, IntCase{"0xg", std::nullopt},
                      IntCase{"yes", std::nullopt}, IntCase{"12abc", std::nullopt},
                      IntCase{"1 2", std::nullopt}, IntCase{"", std::nullopt},
                      IntCase{"-", std::nullopt}, IntCase{"$10", std::nullopt}));

TEST_F(IniTest, IntegerReadsFallBackToTheDefault)
{
    put("[s]\nhex=0x10\nword=yes\nempty=\nspaced=  42  \n");
    EXPECT_EQ(read_profile_int("s", "hex", 1, m_file), 16);
    EXPECT_EQ(read_profile_int("s", "word", 1, m_file), 1);
    EXPECT_EQ(read_profile_int("s", "empty", 3, m_file), 3);
    EXPECT_EQ(read_profile_int("s", "spaced", 3, m_file), 42);
    EXPECT_EQ(read_profile_int("s", "missing", -9, m_file), -9);

    IniFile ini(m_file);
    put("[s]\nyes=yes\ntwo=2\nzero=0\n");
    EXPECT_FALSE(ini.ReadBool("s", "yes", false));
    EXPECT_TRUE(ini.ReadBool("s", "yes", true));
    EXPECT_TRUE(ini.ReadBool("s", "two", false));
    EXPECT_FALSE(ini.ReadBool("s", "zero", true));
    EXPECT_TRUE(ini.ReadBool("s", "missing", true));
}

// --- writes --------------------------------------------------------------

class IniRoundTrip : public IniTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(IniRoundTrip, ValueReadsBackByteForByte)
{
    ASSERT_TRUE(write_profile_string("Form1", "Edit5.Text", GetParam(), m_file));
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "<default>", m_file), GetParam());
    // A second write of a different value over it, then back.
    ASSERT_TRUE(write_profile_string("Form1", "Edit5.Text", "other", m_file));
    ASSERT_TRUE(write_profile_string("Form1", "Edit5.Text", GetParam(), m_file));
    EXPECT_EQ(read_profile_string("Form1", "Edit5.Text", "<default>", m_file), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Values, IniRoundTrip,
                         ::testing::Values("", "new", " lead", "trail ", "\"q\"", "'q'", "\"",
                                           "a=b", "[x]", ";x", "C:\\out\\", "日本語 フォルダ",
                                           "\t"));

// Text with line breaks or zero bytes (a folder's name may hold them) is
// stored escaped and reads back byte for byte; text without them is stored
// exactly as write_profile_string stores it.
struct TextCase
{
    std::string value;
    const char* stored; // the line in the file
};

class IniText : public IniTest, public ::testing::WithParamInterface<TextCase>
{
};

TEST_P(IniText, ReadsBackByteForByte)
{
    const TextCase& c = GetParam();
    ASSERT_TRUE(write_profile_text("Form1", "Edit1.Text", c.value, m_file));
    EXPECT_EQ(content(), "[Form1]\nEdit1.Text=" + std::string(c.stored) + "\n");
    EXPECT_EQ(read_profile_text("Form1", "Edit1.Text", "<default>", m_file), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniText,
    ::testing::Values(TextCase{"/a/two\nlines/", "\"/a/two%0Alines/\""},
                      TextCase{std::string("\r\n\0", 3), "\"%0D%0A%00\""},
                      TextCase{" 50% \"off\"\n", "\"%2050%25%20%22off%22%0A\""},
                      TextCase{"'q'\n\t", "\"%27q%27%0A%09\""}, TextCase{"C:\\new\\", "C:\\new\\"},
                      TextCase{" lead", "\" lead\""}, TextCase{"\"q\"", "\"\"q\"\""},
                      TextCase{"%0A", "%0A"}, TextCase{"\t", "\"\t\""}, TextCase{"", ""}));

// What any writer stored before reads as it always did: only a quoted form
// without blanks or quotes inside that holds an escaped line break or zero
// byte is taken as escaped.
TEST_F(IniTest, StoredValuesAreNotMistakenForEscapedText)
{
    for (const char* stored : {"%0A", "'%0A'", "\"%0a\"", "\" %0A\"", "\"a%25b\"", "\"%0Z\"",
                               "\"%0\"", "\"x\"%0A\"\"", "\"C:\\new\\\"", "\"\"%0A\"\""}) {
        put(std::string("[Form1]\nEdit1.Text=") + stored + "\n");
        EXPECT_EQ(read_profile_text("Form1", "Edit1.Text", "", m_file),
                  read_profile_string("Form1", "Edit1.Text", "", m_file))
            << stored;
    }
}

TEST_F(IniTest, WriteCreatesTheFileAndKeepsLeadingBlankKeys)
{
    ASSERT_TRUE(write_profile_string("Form1", "CheckBox1.Checked", "1", m_file));
    ASSERT_TRUE(write_profile_string("Form1", " UpDown1.Position", "92", m_file));
    ASSERT_TRUE(write_profile_string("Window", "Width", "434", m_file));
    EXPECT_EQ(content(), "[Form1]\nCheckBox1.Checked=1\n UpDown1.Position=92\n\n"
                         "[Window]\nWidth=434\n");
    // Found again with and without the blank, and updated in place.
    ASSERT_TRUE(write_profile_string("form1", " UpDown1.Position", "16", m_file));
    EXPECT_EQ(read_profile_int("Form1", "UpDown1.Position", 0, m_file), 16);
    EXPECT_EQ(content(), "[Form1]\nCheckBox1.Checked=1\n UpDown1.Position=16\n\n"
                         "[Window]\nWidth=434\n");
}

TEST_F(IniTest, UpdateKeepsEveryOtherLine)
{
    put("; zumo settings\r\n"
        "[Other]\r\n"
        "foreign=kept\r\n"
        "\r\n"
        "[Form1]\r\n"
        "; user note\r\n"
        "Edit5.Text = old \r\n"
        "Unknown=1\r\n"
        "\r\n"
        "[Window]\r\n"
        "Width=500");
    ASSERT_TRUE(write_profile_string("Form1", "edit5.text", "new", m_file));
    ASSERT_TRUE(write_profile_string("Form1", "Edit6.Text", "png", m_file));
    ASSERT_TRUE(write_profile_string("Window", "Height", "300", m_file));
    ASSERT_TRUE(write_profile_string("Extra", "k", "v", m_file));
    EXPECT_EQ(content(), "; zumo settings\r\n"
                         "[Other]\r\n"
                         "foreign=kept\r\n"
                         "\r\n"
                         "[Form1]\r\n"
                         "; user note\r\n"
                         "Edit5.Text =new\r\n"
                         "Unknown=1\r\n"
                         "Edit6.Text=png\r\n"
                         "\r\n"
                         "[Window]\r\n"
                         "Width=500\r\n"
                         "Height=300\r\n"
                         "\r\n"
                         "[Extra]\r\n"
                         "k=v\r\n");
}

// Files whose last line ends without a line feed: a new key or section
// must still start a line of its own, and the endings added are ones the
// reader splits at (a lone CR is none).
struct OpenEndCase
{
    const char* name;
    const char* before;
    const char* section;
    const char* after;
};

class IniOpenEnd : public IniTest, public ::testing::WithParamInterface<OpenEndCase>
{
};

TEST_P(IniOpenEnd, NewLinesStartOnALineOfTheirOwn)
{
    const OpenEndCase& c = GetParam();
    put(c.before);
    ASSERT_TRUE(write_profile_string(c.section, "k", "v", m_file));
    EXPECT_EQ(content(), c.after);
    EXPECT_EQ(read_profile_string(c.section, "k", "<missing>", m_file), "v");
}

INSTANTIATE_TEST_SUITE_P(
    Endings, IniOpenEnd,
    ::testing::Values(OpenEndCase{"NoEnding", "[a]\nx=1", "a", "[a]\nx=1\nk=v\n"},
                      OpenEndCase{"LoneCrNewKey", "[a]\r\nx=1\r", "a", "[a]\r\nx=1\r\nk=v\r\n"},
                      OpenEndCase{"LoneCrNewSection", "[a]\nx=1\r", "b", "[a]\nx=1\n\n[b]\nk=v\n"},
                      OpenEndCase{"OnlyLoneCr", "[a]\r", "b", "[a]\n\n[b]\nk=v\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IniTest, UnstorableTextIsRefusedAndChangesNothing)
{
    put("[Form1]\nEdit5.Text=keep\n");
    const std::string before = content();
    EXPECT_FALSE(write_profile_string("Form1", "Edit5.Text", "two\nlines", m_file));
    EXPECT_FALSE(write_profile_string("Form1", "Edit5.Text", std::string("nul\0x", 5), m_file));
    EXPECT_FALSE(write_profile_string("Form1", "a=b", "v", m_file));
    EXPECT_FALSE(write_profile_string("Form1", "  ", "v", m_file));
    EXPECT_FALSE(write_profile_string("Form1", "[x", "v", m_file));
    EXPECT_FALSE(write_profile_string("Fo]rm1", "k", "v", m_file));
    EXPECT_EQ(content(), before);
}

TEST_F(IniTest, WritesLeaveNoTemporaryFilesAndKeepPermissions)
{
    put("[Form1]\n");
    ::chmod(m_file.c_str(), 0640);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(write_profile_string("Form1", "k" + std::to_string(i), "v", m_file));
    EXPECT_TRUE(strays().empty());
    struct stat st
    {
    };
    ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(IniTest, FileWithTheLongestNameIsStillWritten)
{
    const std::string file = (m_dir / (std::string(251, 'z') + ".ini")).string();
    for (const char* value : {"1", "2"}) { // created, then replaced
        ASSERT_TRUE(write_profile_string("Form1", "k", value, file));
        EXPECT_EQ(read_profile_string("Form1", "k", "", file), value);
    }
}

TEST_F(IniTest, WriteThroughALinkUpdatesItsTarget)
{
    const std::string real = (m_dir / "real.ini").string();
    std::ofstream(real) << "[Form1]\nk=old\n";
    fs::create_symlink(real, m_file);
    ASSERT_TRUE(write_profile_string("Form1", "k", "new", m_file));
    EXPECT_TRUE(fs::is_symlink(m_file));
    EXPECT_EQ(read_profile_string("Form1", "k", "", real), "new");
}

// --- failures ------------------------------------------------------------

TEST_F(IniTest, ReadOnlyFileIsNeitherChangedNorReplaced)
{
    put("[Form1]\nEdit5.Text=keep\n");
    ::chmod(m_file.c_str(), 0444);
    EXPECT_FALSE(write_profile_string("Form1", "Edit5.Text", "changed", m_file));
    EXPECT_FALSE(write_profile_string("Form1", "New.Key", "1", m_file));
    EXPECT_EQ(content(), "[Form1]\nEdit5.Text=keep\n");
    EXPECT_TRUE(strays().empty());
}

TEST_F(IniTest, ReadOnlyFolderLosesTheWriteButNotTheFile)
{
    put("[Form1]\nEdit5.Text=keep\n");
    fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(platform::folder_is_writable(m_dir.string()));
    EXPECT_FALSE(write_profile_string("Form1", "Edit5.Text", "changed", m_file));
    fs::permissions(m_dir, fs::perms::owner_all);
    EXPECT_EQ(content(), "[Form1]\nEdit5.Text=keep\n");
    EXPECT_TRUE(strays().empty());
    EXPECT_TRUE(platform::folder_is_writable(m_dir.string()));
}

TEST_F(IniTest, MissingFolderOrFolderInTheWayFails)
{
    EXPECT_FALSE(write_profile_string("s", "k", "v", (m_dir / "no" / "zumo.ini").string()));
    fs::create_directory(m_file);
    EXPECT_FALSE(write_profile_string("s", "k", "v", m_file));
    EXPECT_TRUE(fs::is_directory(m_file));
}

// A full disk, simulated by a file size limit: the write of the large
// value fails half-way, and the old file is still whole.
TEST_F(IniTest, FullDiskLeavesTheOldFileWhole)
{
    const std::string before = "[Form1]\nEdit5.Text=keep\nEdit6.Text=png\n";
    put(before);
    struct rlimit old_limit
    {
    };
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written =
        write_profile_string("Form1", "Edit5.Text", std::string(10000, 'x'), m_file);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(written);
    EXPECT_EQ(content(), before);
    EXPECT_TRUE(strays().empty());
}

TEST_F(IniTest, IniFileRaisesOnTheFailingKey)
{
    IniFile ini(m_file);
    ini.WriteBool("Form1", "CheckBox1.Checked", true);
    ini.WriteInteger("Form1", " UpDown1.Position", -3);
    EXPECT_EQ(ini.ReadInteger("Form1", "UpDown1.Position", 0), -3);
    EXPECT_EQ(ini.ReadString("Form1", "CheckBox1.Checked", ""), "1");

    ::chmod(m_file.c_str(), 0444);
    try {
        ini.WriteString("Form1", "Edit5.Text", "x");
        FAIL() << "no IniWriteError";
    } catch (const IniWriteError& e) {
        EXPECT_EQ(e.key(), "Edit5.Text");
    }
}

} // namespace
