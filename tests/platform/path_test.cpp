#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::PathStyle;

// "表" is 0x95 0x5C and "ソ" 0x83 0x5C in Shift-JIS: their trail byte is the
// byte of "\".
const std::string k_hyou = "\x95\x5C";
const std::string k_so = "\x83\x5C";

struct PieceCase
{
    const char* name;
    PathStyle style;
    std::string path;
    std::string folder;
    std::string file_name;
    std::string extension;
};

class PathPieces : public testing::TestWithParam<PieceCase>
{
};

TEST_P(PathPieces, SplitsAtTheLastWholeSeparator)
{
    const PieceCase& c = GetParam();
    EXPECT_EQ(platform::folder_part(c.path, c.style), c.folder);
    EXPECT_EQ(platform::file_name_part(c.path, c.style), c.file_name);
    EXPECT_EQ(platform::extension_part(c.path, c.style), c.extension);
    EXPECT_EQ(platform::folder_part(c.path, c.style) + platform::file_name_part(c.path, c.style),
              c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, PathPieces,
    testing::Values(
        PieceCase{"WinPlain", PathStyle::Windows, "C:\\in\\x.jpg", "C:\\in\\", "x.jpg", ".jpg"},
        PieceCase{"WinDriveOnly", PathStyle::Windows, "C:x.jpg", "C:", "x.jpg", ".jpg"},
        PieceCase{"WinNoFolder", PathStyle::Windows, "x.tar.gz", "", "x.tar.gz", ".gz"},
        PieceCase{"WinDotInFolder", PathStyle::Windows, "C:\\a.b\\noext", "C:\\a.b\\", "noext", ""},
        PieceCase{"WinForwardSlashIsAName", PathStyle::Windows, "C:\\a/b.png", "C:\\", "a/b.png",
                  ".png"},
        // The trail byte 0x5C of 表 belongs to the file name.
        PieceCase{"WinSjisTrail", PathStyle::Windows, "C:\\" + k_hyou + ".bmp", "C:\\",
                  k_hyou + ".bmp", ".bmp"},
        PieceCase{"WinSjisFolder", PathStyle::Windows, "D:\\" + k_so + "\\" + k_hyou,
                  "D:\\" + k_so + "\\", k_hyou, ""},
        PieceCase{"PosixPlain", PathStyle::Posix, "/in/photo.JPEG", "/in/", "photo.JPEG", ".JPEG"},
        PieceCase{"PosixDotInFolder", PathStyle::Posix, "/a.d/noext", "/a.d/", "noext", ""},
        PieceCase{"PosixBackslashIsAName", PathStyle::Posix, "/in/a\\b.png", "/in/", "a\\b.png",
                  ".png"},
        PieceCase{"PosixColonIsAName", PathStyle::Posix, "/in/C:x.png", "/in/", "C:x.png", ".png"},
        PieceCase{"PosixTrailing", PathStyle::Posix, "/in/", "/in/", "", ""},
        PieceCase{"PosixUtf8", PathStyle::Posix, "/写真/表.bmp", "/写真/", "表.bmp", ".bmp"}),
    [](const testing::TestParamInfo<PieceCase>& info) { return info.param.name; });

struct ExtensionCase
{
    const char* name;
    PathStyle style;
    std::string path;
    std::string ext;
    std::string expected;
};

class ChangeExtension : public testing::TestWithParam<ExtensionCase>
{
};

TEST_P(ChangeExtension, ReplacesFromTheLastDotOrAppends)
{
    const ExtensionCase& c = GetParam();
    EXPECT_EQ(platform::change_extension(c.path, c.ext, c.style), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, ChangeExtension,
    testing::Values(
        ExtensionCase{"UpperCase", PathStyle::Posix, "/in/photo.JPEG", ".png", "/in/photo.png"},
        ExtensionCase{"NoDot", PathStyle::Posix, "/in/photo", ".png", "/in/photo.png"},
        ExtensionCase{"LastDotOnly", PathStyle::Posix, "/in/a.tar.bmp", ".jpg", "/in/a.tar.jpg"},
        ExtensionCase{"DotInFolderOnly", PathStyle::Posix, "/in.d/photo", ".gif",
                      "/in.d/photo.gif"},
        ExtensionCase{"TrailingDot", PathStyle::Posix, "/in/photo.", ".bmp", "/in/photo.bmp"},
        ExtensionCase{"WinOutputFolderJoin", PathStyle::Windows, "C:\\outx.jpg", ".png",
                      "C:\\outx.png"},
        ExtensionCase{"WinDotInFolderOnly", PathStyle::Windows, "C:\\in.d\\photo", ".png",
                      "C:\\in.d\\photo.png"},
        ExtensionCase{"WinSjisName", PathStyle::Windows, "C:\\" + k_hyou, ".png",
                      "C:\\" + k_hyou + ".png"}),
    [](const testing::TestParamInfo<ExtensionCase>& info) { return info.param.name; });

struct TrailingCase
{
    const char* name;
    PathStyle style;
    std::string path;
    std::string expected;
};

class TrailingSeparator : public testing::TestWithParam<TrailingCase>
{
};

TEST_P(TrailingSeparator, AppendsExactlyOne)
{
    const TrailingCase& c = GetParam();
    const std::string once = platform::include_trailing_separator(c.path, c.style);
    EXPECT_EQ(once, c.expected);
    EXPECT_TRUE(platform::ends_with_separator(once, c.style));
    EXPECT_EQ(platform::include_trailing_separator(once, c.style), once);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, TrailingSeparator,
    testing::Values(TrailingCase{"WinData", PathStyle::Windows, "C:\\data", "C:\\data\\"},
                    TrailingCase{"WinDataSlash", PathStyle::Windows, "C:\\data\\", "C:\\data\\"},
                    TrailingCase{"WinDrive", PathStyle::Windows, "C:", "C:\\"},
                    // The last byte is 0x5C but the last character is 表.
                    TrailingCase{"WinSjisTrail", PathStyle::Windows, "C:\\" + k_hyou,
                                 "C:\\" + k_hyou + "\\"},
                    TrailingCase{"WinSjisTrailTwice", PathStyle::Windows, "C:\\" + k_so + k_hyou,
                                 "C:\\" + k_so + k_hyou + "\\"},
                    TrailingCase{"PosixData", PathStyle::Posix, "/data", "/data/"},
                    TrailingCase{"PosixDataSlash", PathStyle::Posix, "/data/", "/data/"},
                    TrailingCase{"PosixRoot", PathStyle::Posix, "/", "/"},
                    // On POSIX a backslash is an ordinary name byte.
                    TrailingCase{"PosixBackslash", PathStyle::Posix, "/data\\", "/data\\/"}),
    [](const testing::TestParamInfo<TrailingCase>& info) { return info.param.name; });

TEST(PathStyleTest, NativeStyleMatchesThePlatform)
{
#ifdef _WIN32
    EXPECT_EQ(platform::native_path_style(), PathStyle::Windows);
    EXPECT_EQ(platform::path_separator(), '\\');
#else
    EXPECT_EQ(platform::native_path_style(), PathStyle::Posix);
    EXPECT_EQ(platform::path_separator(), '/');
#endif
}

} // namespace
