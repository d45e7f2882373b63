#include "conversion_fixture.h"

#include "platform/shown_text.h"

#include <csignal>
#include <functional>
#include <stdexcept>

#include <sys/resource.h>
#include <unistd.h>

namespace zumo::test {
namespace {

// ---- Where the output lands, and under which name --------------------------

struct PlaceCase
{
    const char* name;
    std::string input; // in the folder "in"
    Format format;
    std::function<void(OptionSnapshot&, const TempDir&)> set;
    std::string output; // relative to the temporary folder
};

class OutputPlace : public ConversionTest, public testing::WithParamInterface<PlaceCase>
{
};

TEST_P(OutputPlace, WritesExactlyOneFileThere)
{
    const PlaceCase& c = GetParam();
    const std::string input = make(c.input, c.format);
    options.current.RadioGroup1 = 1; // PNG
    c.set(options.current, dir);
    EXPECT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(outputs({input}), std::vector<std::string>{c.output});
    EXPECT_TRUE(host.events.empty());
}

void beside(OptionSnapshot& o, const TempDir&)
{
    o.CheckBox6 = false;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OutputPlace,
    testing::Values(
        PlaceCase{"Beside", "photo.bmp", Format::Bmp, beside, "in/photo.png"},
        PlaceCase{"UpperCaseExtension", "photo.JPEG", Format::Jpg, beside, "in/photo.png"},
        PlaceCase{"NoExtension", "photo", Format::Bmp, beside, "in/photo.png"},
        PlaceCase{"LastDotOnly", "a.b.bmp", Format::Bmp, beside, "in/a.b.png"},
        PlaceCase{"SubfolderCreated", "photo.bmp", Format::Bmp, [](auto&, auto&) {},
                  "in/resize/photo.png"},
        PlaceCase{"SubfolderEmptyName", "photo.bmp", Format::Bmp,
                  [](OptionSnapshot& o, const TempDir&) { o.Edit7.clear(); }, "in/photo.png"},
        PlaceCase{"OutputFolder", "photo.bmp", Format::Bmp,
                  [](OptionSnapshot& o, const TempDir& d) {
                      std::filesystem::create_directory(d / "out");
                      o.CheckBox1 = true; // wins over CheckBox6
                      o.Edit1 = join(d / "out", "");
                  },
                  "out/photo.png"},
        // The folder text is a plain prefix: no separator is inserted.
        PlaceCase{"OutputFolderWithoutSeparator", "photo.bmp", Format::Bmp,
                  [](OptionSnapshot& o, const TempDir& d) {
                      o.CheckBox1 = true;
                      o.Edit1 = d / "out";
                  },
                  "outphoto.png"}),
    [](const testing::TestParamInfo<PlaceCase>& info) { return info.param.name; });

// ---- Rotation and resize -------------------------------------------------

struct ShapeCase
{
    const char* name;
    std::function<void(OptionSnapshot&)> set;
    Size size; // of the 40 x 20 input after conversion
};

std::function<void(OptionSnapshot&)> preset(int item)
{
    return [item](OptionSnapshot& o) {
        o.CheckBox7 = true;
        o.RadioGroup5 = item;
    };
}

class OutputShape : public ConversionTest, public testing::WithParamInterface<ShapeCase>
{
};

TEST_P(OutputShape, RotatesOnceAndResizesAtMostOnce)
{
    const std::string input = make("photo.bmp");
    options.current.CheckBox6 = false;
    options.current.RadioGroup1 = 1;
    GetParam().set(options.current);
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(picture_size(in("photo.png")), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Options, OutputShape,
    testing::Values(
        ShapeCase{"Defaults", [](OptionSnapshot&) {}, {40, 20}},
        ShapeCase{"Turn90", [](OptionSnapshot& o) { o.TurnAngle = 90; }, {20, 40}},
        ShapeCase{"Turn90Then0",
                  [](OptionSnapshot& o) { o.TurnAngle = turn_angle_for(3, turn_angle_for(0, 0)); },
                  {40, 20}},
        // The arbitrary rotation replaces the fixed one; it does not add to it.
        ShapeCase{"ArbitraryZeroWinsOverTurnAngle",
                  [](OptionSnapshot& o) {
                      o.TurnAngle = 90;
                      o.CheckBox3 = true;
                  },
                  {40, 20}},
        ShapeCase{"PresetNeedsCheckBox7", [](OptionSnapshot& o) { o.RadioGroup5 = 5; }, {40, 20}},
        // Each preset, from "1600x1200" down to "120x90", sets the height.
        ShapeCase{"Preset1200", preset(0), {2400, 1200}},
        ShapeCase{"Preset960", preset(1), {1920, 960}},
        ShapeCase{"Preset480", preset(2), {960, 480}},
        ShapeCase{"Preset240", preset(3), {480, 240}},
        ShapeCase{"Preset120", preset(4), {240, 120}},
        ShapeCase{"PresetEnlarges", preset(5), {180, 90}},
        ShapeCase{"ResizeAfterTurn",
                  [](OptionSnapshot& o) {
                      o.TurnAngle = 90;
                      o.CheckBox7 = true;
                      o.RadioGroup5 = 5;
                  },
                  {45, 90}},
        ShapeCase{"FreeSizeWithoutCheckBox7",
                  [](OptionSnapshot& o) {
                      o.RadioGroup5 = 6;
                      o.UpDown3 = 10;
                  },
                  {20, 10}},
        ShapeCase{"FreeSizeWithCheckBox7",
                  [](OptionSnapshot& o) {
                      o.CheckBox7 = true;
                      o.RadioGroup5 = 6;
                      o.UpDown3 = 10;
                  },
                  {20, 10}},
        ShapeCase{"NoPresetSelected",
                  [](OptionSnapshot& o) {
                      o.CheckBox7 = true;
                      o.RadioGroup5 = -1;
                  },
                  {40, 20}}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST_F(ConversionTest, ArbitraryRotationUsesTheGridColour)
{
    const std::string input = make("photo.bmp", Format::Bmp, 30, 30);
    options.current.CheckBox6 = false;
    options.current.CheckBox3 = true;
    options.current.UpDown2 = 45;
    options.current.ColorGrid1 = k_color_grid[12]; // blue
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    const imgctl::HDIB out = imgctl::ToDIB(input.c_str());
    ASSERT_NE(out, 0u);
    const std::vector<std::uint8_t> bgra = imgctl::GetDIBPixels(out);
    imgctl::DeleteDIB(out);
    // A corner that a 45° turn leaves uncovered.
    EXPECT_EQ(std::vector<std::uint8_t>(bgra.begin(), bgra.begin() + 3),
              (std::vector<std::uint8_t>{255, 0, 0}));
}

TEST_F(ConversionTest, RadioGroup6ChangesNothing)
{
    options.current.CheckBox6 = false;
    options.current.RadioGroup5 = 6;
    options.current.UpDown3 = 10;
    std::vector<std::vector<std::uint8_t>> written;
    for (int item : {0, 1}) {
        options.current.RadioGroup6 = item;
        ASSERT_EQ(engine.ConvertImageFile(make("photo.png", Format::Png)), FileResult::Written);
        written.push_back(read_bytes(in("photo.bmp")));
    }
    EXPECT_EQ(written[0], written[1]);
}

// ---- The photo options --------------------------------------------------------

// A 40 x 20 JPEG stored with EXIF orientation 6 (shown 20 x 40).
void write_portrait_jpeg(const std::string& path)
{
    const std::vector<std::uint8_t> exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0,
                                            3,   0,   0, 0,  1, 0, 6, 0, 0, 0, 0,    0,    0};
    std::vector<std::uint8_t> jpeg = read_bytes(path);
    std::vector<std::uint8_t> segment = {
        0xFF, 0xE1, 0, static_cast<std::uint8_t>(exif.size() + 8), 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), exif.begin(), exif.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    write_bytes(path, jpeg);
}

bool has_exif(const std::vector<std::uint8_t>& file)
{
    const std::string text(file.begin(), file.end());
    return text.find(std::string("Exif\0\0MM", 8)) != std::string::npos;
}

struct PhotoCase
{
    bool CheckBox9;
    bool CheckBox10;
    Size output;
    bool exif;
};

class PhotoOptions : public ConversionTest, public testing::WithParamInterface<PhotoCase>
{
};

TEST_P(PhotoOptions, TurnUprightAndKeepMetadataAsChosen)
{
    const std::string input = make("photo.jpg", Format::Jpg);
    write_portrait_jpeg(input);
    options.current.CheckBox6 = false;
    options.current.RadioGroup1 = 3;
    options.current.CheckBox9 = GetParam().CheckBox9;
    options.current.CheckBox10 = GetParam().CheckBox10;
    options.current.TurnAngle = 90;
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(picture_size(input), GetParam().output);
    EXPECT_EQ(has_exif(read_bytes(input)), GetParam().exif);
}

INSTANTIATE_TEST_SUITE_P(Cases, PhotoOptions,
                         testing::Values(PhotoCase{true, true, {40, 20}, true},
                                         PhotoCase{true, false, {40, 20}, false},
                                         PhotoCase{false, true, {20, 40}, true},
                                         PhotoCase{false, false, {20, 40}, false}));

// ---- Output formats --------------------------------------------------------

TEST_F(ConversionTest, RadioGroup1ChoosesTheEncoder)
{
    const std::string input = make("photo.bmp");
    options.current.CheckBox6 = false;
    const struct
    {
        int item;
        const char* extension;
        std::string magic;
    } formats[] = {{1, ".png", "\x89PNG"}, {2, ".gif", "GIF8"}, {3, ".jpg", "\xFF\xD8\xFF"}};
    for (const auto& f : formats) {
        options.current.RadioGroup1 = f.item;
        ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written) << f.extension;
        const std::vector<std::uint8_t> bytes = read_bytes(in(std::string("photo") + f.extension));
        ASSERT_GE(bytes.size(), f.magic.size());
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(f.magic.size())),
                  f.magic);
    }
}

TEST_F(ConversionTest, NoFormatSelectedWritesNothing)
{
    const std::string input = make("photo.bmp");
    options.current.RadioGroup1 = -1;
    EXPECT_EQ(engine.ConvertImageFile(input), FileResult::Skipped);
    EXPECT_EQ(outputs({input}), std::vector<std::string>{});
    EXPECT_TRUE(host.events.empty());
}

TEST_F(ConversionTest, BmpOntoItselfIsReplacedInPlace)
{
    const std::string input = make("photo.bmp");
    options.current.CheckBox6 = false;
    options.current.TurnAngle = 90;
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(picture_size(input), (Size{20, 40}));
    EXPECT_EQ(files_under(in_folder()), std::vector<std::string>{"photo.bmp"}); // no temporaries
}

// ---- The folder question ---------------------------------------------------

TEST_F(ConversionTest, FolderQuestionYesSkipsAndNoWritesBesideTheInput)
{
    const std::string input = make("photo.bmp");
    const TempDir working;
    const WorkingFolder cd(working.path());
    options.current.CheckBox1 = true; // Edit1 empty; CheckBox6 stays checked
    options.current.RadioGroup1 = 1;
    host.answers = {Answer::Yes, Answer::No};

    EXPECT_EQ(engine.ConvertImageFile(input), FileResult::Skipped);
    EXPECT_EQ(outputs({input}), std::vector<std::string>{});

    EXPECT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(outputs({input}), std::vector<std::string>{"in/photo.png"});
    EXPECT_EQ(host.events, (std::vector<std::string>{k_folder_question, k_folder_question}));
    EXPECT_EQ(files_under(working.path()), std::vector<std::string>{}); // never the working folder
}

// ---- Failures --------------------------------------------------------------

// One row per way a conversion fails; each names the reason its message
// gives after the documented text and the file's name.
struct FailureCase
{
    const char* name;
    std::function<std::string(const TempDir&, OptionSnapshot&)> prepare; // returns the input
    std::function<std::string(const TempDir&)> reason;
    // The largest file the process may write during the conversion (0: no
    // limit), as a full disk would stop it.
    rlim_t file_size_limit = 0;
    // Permissions are no obstacle to root.
    bool needs_permissions = false;
};

class Failure : public ConversionTest, public testing::WithParamInterface<FailureCase>
{
};

// Limits the size of the files this process writes, for the scope.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        if (bytes == 0)
            return;
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_signal = std::signal(SIGXFSZ, SIG_IGN); // a write then fails with EFBIG
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_set) {
            ::setrlimit(RLIMIT_FSIZE, &m_old);
            std::signal(SIGXFSZ, m_signal);
        }
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_signal)(int) = SIG_DFL;
    bool m_set = false;
};

TEST_P(Failure, BeepsOnceShowsTheMessageWithItsReasonAndWritesNothing)
{
    if (GetParam().needs_permissions && ::geteuid() == 0)
        GTEST_SKIP() << "root reads and writes whatever the permissions say";
    const std::string input = GetParam().prepare(dir, options.current);
    const std::vector<std::string> before = files_under(dir.path(), Folders::Include);
    {
        const FileSizeLimit limit(GetParam().file_size_limit);
        EXPECT_EQ(engine.ConvertImageFile(input), FileResult::Failed);
    }
    const std::string reason = GetParam().reason(dir);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"Beep", k_cannot_process + platform::shown_name(input) +
                                                    ": " + reason + ")"}));
    EXPECT_EQ(engine.LastFailure(), reason);
    EXPECT_EQ(files_under(dir.path(), Folders::Include), before);
}

std::string text_file(const TempDir& d, OptionSnapshot&)
{
    write_bytes(d / "in/notes.bmp", {'h', 'e', 'l', 'l', 'o'});
    return d / "in/notes.bmp";
}

// A JPEG whose header reads well and whose picture data ends half way:
// the damage shows only when the pixels are decoded.
std::string damaged_jpeg(const TempDir& d, OptionSnapshot&)
{
    write_picture(d / "in/photo.jpg", 64, 48, Format::Jpg);
    std::vector<std::uint8_t> bytes = read_bytes(d / "in/photo.jpg");
    bytes.resize(bytes.size() * 6 / 10);
    write_bytes(d / "in/photo.jpg", bytes);
    return d / "in/photo.jpg";
}

std::function<std::string(const TempDir&)> says(std::string reason)
{
    return [reason](const TempDir&) { return reason; };
}

const std::string k_not_a_picture = "画像ファイルではないか, 対応していない形式です";
const std::string k_damaged = "画像のデータが壊れています";

INSTANTIATE_TEST_SUITE_P(
    Causes, Failure,
    testing::Values(
        FailureCase{"NotAPicture", text_file, says(k_not_a_picture)},
        // A name that is not UTF-8 is shown by its bytes; the text around
        // it stays as it is.
        FailureCase{"NotAPictureWithALatin1Name",
                    [](const TempDir& d, OptionSnapshot&) {
                        write_bytes(d / "in/caf\xE9.bmp", {'h', 'i'});
                        return d / "in/caf\xE9.bmp";
                    },
                    says(k_not_a_picture)},
        // Found before the folder question is asked or the
        // subfolder is made, whatever the options.
        FailureCase{"DamagedJpegLeavesNoSubfolder", damaged_jpeg, says(k_damaged)},
        FailureCase{"DamagedJpegBeforeTheFolderQuestion",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox1 = true;
                        o.Edit1.clear();
                        return damaged_jpeg(d, o);
                    },
                    says(k_damaged)},
        FailureCase{"DamagedJpegWithoutAnOutputFormat",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.RadioGroup1 = -1;
                        return damaged_jpeg(d, o);
                    },
                    says(k_damaged)},
        FailureCase{"DamagedJpegReduced",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox7 = true;
                        o.RadioGroup5 = 5; // 90 high: decoded at a smaller scale
                        return damaged_jpeg(d, o);
                    },
                    says(k_damaged)},
        // A header that claims more pixels than any picture may have.
        FailureCase{"TooLarge",
                    [](const TempDir& d, OptionSnapshot&) {
                        std::vector<std::uint8_t> bytes = bmp_bytes(4, 4);
                        const std::uint32_t width = 70000; // biWidth, little-endian
                        for (int i = 0; i < 4; ++i)
                            bytes[18 + i] = static_cast<std::uint8_t>(width >> (8 * i));
                        write_bytes(d / "in/wide.bmp", bytes);
                        return d / "in/wide.bmp";
                    },
                    says("画像が大きすぎます")},
        // The output's name (".j" becomes ".png") is longer than
        // a name may be: the subfolder made for it goes again.
        FailureCase{"OutputNameTooLongLeavesNoSubfolder",
                    [](const TempDir& d, OptionSnapshot&) {
                        const std::string name = std::string(253, 'n') + ".j";
                        write_picture(d / ("in/" + name), 4, 4, Format::Bmp);
                        return d / ("in/" + name);
                    },
                    says("名前が長すぎます (255 バイトを超えています)")},
        FailureCase{"NotAPictureBeforeTheFolderQuestion",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox1 = true;
                        o.Edit1.clear();
                        return text_file(d, o);
                    },
                    says(k_not_a_picture)},
        FailureCase{"Missing", [](const TempDir& d, OptionSnapshot&) { return d / "in/gone.bmp"; },
                    says("ファイルがありません")},
        FailureCase{"FolderAsInput",
                    [](const TempDir& d, OptionSnapshot&) {
                        std::filesystem::create_directory(d / "in/album.bmp");
                        return d / "in/album.bmp";
                    },
                    says("フォルダです (ファイルではありません)")},
        FailureCase{"TruncatedPixels",
                    [](const TempDir& d, OptionSnapshot&) {
                        std::vector<std::uint8_t> bytes = bmp_bytes(40, 20);
                        bytes.resize(bytes.size() / 2);
                        write_bytes(d / "in/half.bmp", bytes);
                        return d / "in/half.bmp";
                    },
                    says(k_damaged)},
        // A file is in the way of the subfolder: it cannot be created.
        FailureCase{"SubfolderBlocked",
                    [](const TempDir& d, OptionSnapshot&) {
                        write_bytes(d / "in/resize", {'x'});
                        write_picture(d / "in/photo.bmp", 4, 4, Format::Bmp);
                        return d / "in/photo.bmp";
                    },
                    [](const TempDir& d) {
                        return "フォルダ " + d / "in/resize" +
                               " を作れません: 同じ名前のファイルがあります";
                    }},
        FailureCase{"OutputFolderMissing",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox1 = true;
                        o.Edit1 = join(d / "missing", "");
                        write_picture(d / "in/photo.bmp", 4, 4, Format::Bmp);
                        return d / "in/photo.bmp";
                    },
                    [](const TempDir& d) { return "フォルダ " + d / "missing" + " がありません"; }},
        FailureCase{"ReadOnlyOutput",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox6 = false;
                        o.RadioGroup1 = 1; // PNG
                        write_picture(d / "in/photo.bmp", 4, 4, Format::Bmp);
                        write_bytes(d / "in/photo.png", {'k'});
                        std::filesystem::permissions(d / "in/photo.png",
                                                     std::filesystem::perms::owner_read);
                        return d / "in/photo.bmp";
                    },
                    [](const TempDir& d) { return d / "in/photo.png" + " は読み取り専用です"; }},
        // The write stops half way, as on a full disk: the old file and the
        // folder stay as they were and the system's reason is told.
        FailureCase{"WriteStopsHalfWay",
                    [](const TempDir& d, OptionSnapshot& o) {
                        o.CheckBox6 = false;
                        write_picture(d / "in/photo.bmp", 300, 200, Format::Bmp);
                        return d / "in/photo.bmp";
                    },
                    says("ファイルが大きすぎます"), 4096},
        FailureCase{"Unreadable",
                    [](const TempDir& d, OptionSnapshot&) {
                        write_picture(d / "in/secret.bmp", 4, 4, Format::Bmp);
                        std::filesystem::permissions(d / "in/secret.bmp",
                                                     std::filesystem::perms::none);
                        return d / "in/secret.bmp";
                    },
                    says("読み取りが許可されていません"), 0, true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// The picture writer itself never replaces a write-protected file, so no
// caller can forget to ask; the file keeps its bytes, also for root.
TEST_F(ConversionTest, NoEncoderReplacesAReadOnlyFile)
{
    const imgctl::HDIB dib = imgctl::ToDIB(make("photo.bmp").c_str());
    ASSERT_NE(dib, 0u);
    const std::vector<std::function<void(const std::string&)>> encoders{
        [&](const std::string& p) { imgctl::DIBtoBMP(p.c_str(), dib); },
        [&](const std::string& p) { imgctl::DIBtoPNG(p.c_str(), dib, 0); },
        [&](const std::string& p) { imgctl::DIBtoGIF(p.c_str(), dib, 0); },
        [&](const std::string& p) { imgctl::DIBtoJPG(p.c_str(), dib, 80, 0); },
    };
    const std::string target = in("kept.out");
    write_bytes(target, {'k', 'e', 'p', 't'});
    std::filesystem::permissions(target, std::filesystem::perms::owner_read);
    for (std::size_t i = 0; i < encoders.size(); ++i) {
        EXPECT_THROW(encoders[i](target), imgctl::ImageError) << "encoder " << i;
        EXPECT_EQ(read_bytes(target), (std::vector<std::uint8_t>{'k', 'e', 'p', 't'})) << i;
    }
    imgctl::DeleteDIB(dib);
    EXPECT_EQ(files_under(in_folder()), (std::vector<std::string>{"kept.out", "photo.bmp"}));
}

class ThrowingOptions : public OptionSource
{
public:
    OptionSnapshot Options() override { throw std::bad_alloc(); }
};

TEST_F(ConversionTest, NoExceptionLeavesTheCall)
{
    ThrowingOptions broken;
    ConversionEngine failing(broken, host);
    EXPECT_EQ(failing.ConvertImageFile(make("photo.bmp")), FileResult::Failed);
    EXPECT_EQ(failing.ConvertGifFile(make("anim.gif", Format::Gif)), FileResult::Failed);
    EXPECT_EQ(host.Count("Beep"), 2);
}

// ---- ExistingFolderPath ----------------------------------------------------

TEST(ExistingFolderPathTest, WindowsExamples)
{
    const auto exists = [](const std::string& p) {
        return p == "C:\\data" || p == "C:\\data\\" || p == "C:\\\x95\x5C";
    };
    using platform::PathStyle;
    EXPECT_EQ(ExistingFolderPath("C:\\data", PathStyle::Windows, exists), "C:\\data\\");
    EXPECT_EQ(ExistingFolderPath("C:\\data\\", PathStyle::Windows, exists), "C:\\data\\");
    EXPECT_EQ(ExistingFolderPath("C:\\\x95\x5C", PathStyle::Windows, exists), "C:\\\x95\x5C\\");
    EXPECT_EQ(ExistingFolderPath("C:\\nothing", PathStyle::Windows, exists), "");
}

TEST(ExistingFolderPathTest, NativeFolders)
{
    const TempDir dir;
    write_bytes(dir / "file", {'x'});
    const std::string with_separator = join(dir.path(), "");
    EXPECT_EQ(ExistingFolderPath(dir.path()), with_separator);
    EXPECT_EQ(ExistingFolderPath(with_separator), with_separator);
    EXPECT_EQ(ExistingFolderPath(dir / "file"), "");
    EXPECT_EQ(ExistingFolderPath(dir / "missing"), "");
    EXPECT_EQ(ExistingFolderPath(""), "");
}

} // namespace
} // namespace zumo::test
