// The file names of a drop: text/uri-list lines to local paths as bytes.
#include "app/core/UriList.h"

#include <gtest/gtest.h>

namespace zumo {
namespace {

struct UriCase
{
    const char* list;
    std::vector<std::string> paths;
};

class UriListPaths : public ::testing::TestWithParam<UriCase>
{
};

TEST_P(UriListPaths, LocalFilesKeepTheirBytes)
{
    EXPECT_EQ(LocalPathsFromUriList(GetParam().list, "box"), GetParam().paths) << GetParam().list;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, UriListPaths,
    ::testing::Values(
        // Shift-JIS 日本 and Latin-1 é stay bytes; escaped blanks and % decode.
        UriCase{"file:///d/%93%FA%96%7B.jpg\r\nfile:///d/caf%E9.png\r\n",
                {"/d/\x93\xfa\x96\x7b.jpg", "/d/caf\xe9.png"}},
        UriCase{"file:///a%20b/100%25.jpg", {"/a b/100%.jpg"}},
        UriCase{"FILE://localhost/x.jpg\nfile://box/y.jpg\nfile:/z.jpg\n",
                {"/x.jpg", "/y.jpg", "/z.jpg"}},
        // Comments, blank lines, other hosts and schemes are no local files.
        UriCase{"# from a file manager\r\n\r\nfile://elsewhere/x.jpg\r\nhttp://h/a.jpg\r\n"
                "smb://h/s/b.jpg\r\nfile:///ok.jpg",
                {"/ok.jpg"}},
        // A bad escape stays as written; a zero byte cannot be in a name.
        UriCase{"file:///50%zz.jpg\nfile:///a%00b.jpg\nfile:///t%4", {"/50%zz.jpg", "/t%4"}},
        UriCase{"", {}}));

} // namespace
} // namespace zumo
