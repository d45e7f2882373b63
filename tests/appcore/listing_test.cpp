#include "app/core/Listing.h"
#ifdef ZUMO_HAVE_SHELL
#include "app/core/FindFileSearch.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace zumo;

class FakeListWindow : public ListingWindow
{
public:
    void ClearList() override { lines.clear(); }
    void AddLine(const std::string& name) override { lines.push_back(name); }
    void SetCountLabel(const std::string& text) override { label = text; }
    std::optional<std::string> ChooseFolder() override { return chosen; }

    std::vector<std::string> lines{"old line"};
    std::string label = "ファイル数";
    std::optional<std::string> chosen;
};

// A finder over a fixed folder content that reports names in a given order
// and checks that it was asked for the right masks.
FolderSearch fixed_search(std::vector<std::string> names, std::vector<std::string>* masks_seen)
{
    return [names, masks_seen](const std::string& folder, const std::vector<std::string>& masks,
                               const std::function<void(const std::string&)>& found) {
        *masks_seen = masks;
        if (folder.empty())
            return;
        for (const std::string& n : names)
            found(n);
    };
}

TEST(ListFolder, ListsUnsortedAndCountsTheFiles)
{
    FakeListWindow window;
    window.chosen = "/pics";
    std::vector<std::string> masks;
    int found_count = -1;
    const auto count = ListFolder(ListingKind::Pictures, window,
                                  fixed_search({"z.jpg", "a.png", "m.bmp"}, &masks), found_count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(found_count, 3);
    EXPECT_EQ(window.lines, (std::vector<std::string>{"z.jpg", "a.png", "m.bmp"}));
    EXPECT_EQ(window.label, "3 Files.");
    EXPECT_EQ(masks,
              (std::vector<std::string>{"*.jpeg", "*.jpg", "*.bmp", "*.png", "*.webp", "*.tif",
                                        "*.tiff", "*.heic", "*.heif", "*.avif", "*.jxl"}));

    ListFolder(ListingKind::Gifs, window, fixed_search({"d.gif"}, &masks), found_count);
    EXPECT_EQ(masks, std::vector<std::string>{"*.gif"});
    EXPECT_EQ(window.lines, std::vector<std::string>{"d.gif"}); // replaces the listing
}

TEST(ListFolder, CancelEmptiesTheListAndKeepsTheLabel)
{
    FakeListWindow window;
    window.label = "12 Files.";
    std::vector<std::string> masks;
    int found_count = 12;
    EXPECT_EQ(
        ListFolder(ListingKind::Pictures, window, fixed_search({"a.jpg"}, &masks), found_count),
        std::nullopt);
    EXPECT_TRUE(window.lines.empty());
    EXPECT_EQ(found_count, 0);
    EXPECT_EQ(window.label, "12 Files.");
}

TEST(ListFolder, AnEmptyFolderNameListsNothing)
{
    FakeListWindow window;
    window.chosen = "";
    std::vector<std::string> masks;
    int found_count = 0;
    EXPECT_EQ(
        ListFolder(ListingKind::Pictures, window, fixed_search({"a.jpg"}, &masks), found_count), 0);
    EXPECT_EQ(window.label, "0 Files.");
}

#ifdef ZUMO_HAVE_SHELL
TEST(ListFolder, RealFinderMatchesMasksWithoutRegardToCase)
{
    std::string pattern = (fs::temp_directory_path() / "zumo-listing-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    for (const char* name : {"a.jpg", "b.JPEG", "c.png", "d.gif", "e.txt"})
        std::ofstream(dir / name) << "x";
    fs::create_directory(dir / "sub");
    std::ofstream(dir / "sub" / "f.jpg") << "x";

    TFindFile finder;
    FakeListWindow window;
    window.chosen = dir.string();
    int found_count = 0;
    ListFolder(ListingKind::Pictures, window, find_file_search(finder), found_count);
    std::vector<std::string> listed = window.lines;
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"a.jpg", "b.JPEG", "c.png"}));
    EXPECT_EQ(window.label, "3 Files.");

    ListFolder(ListingKind::Gifs, window, find_file_search(finder), found_count);
    EXPECT_EQ(window.lines, std::vector<std::string>{"d.gif"});
    EXPECT_EQ(window.label, "1 Files.");
    fs::remove_all(dir);
}
#endif

// ---- preview --------------------------------------------------------------

struct StretchCase
{
    int width;
    int height;
    bool stretched;
};

class Stretch : public ::testing::TestWithParam<StretchCase>
{
};

TEST_P(Stretch, OnlyPicturesAtLeastAsLargeAsThePanel)
{
    EXPECT_EQ(PreviewStretch(GetParam().width, GetParam().height), GetParam().stretched)
        << GetParam().width << "x" << GetParam().height;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stretch,
    ::testing::Values(StretchCase{100, 100, false}, StretchCase{1600, 1200, true},
                      StretchCase{1600, 100, false}, StretchCase{100, 1200, false},
                      StretchCase{242, 182, true}, StretchCase{241, 182, false},
                      StretchCase{242, 181, false}, StretchCase{0, 0, false}));

// The picture object: file names say the size ("w1600h1200.jpg"); names
// with "bad" fail to load with the message the framework would give.
class FakePicture
{
public:
    void LoadFromFile(const std::string& path)
    {
        loads().push_back(path);
        if (path.find("bad") != std::string::npos)
            throw EInvalidGraphic("拡張子 .xyz の画像形式は処理できません");
        if (path.find("abort") != std::string::npos)
            throw EAbort();
        std::sscanf(path.substr(path.rfind('/') + 1).c_str(), "w%dh%d", &m_width, &m_height);
    }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    static std::vector<std::string>& loads()
    {
        static std::vector<std::string> paths;
        return paths;
    }

private:
    int m_width = 0;
    int m_height = 0;
};

class FakeLines : public PreviewList
{
public:
    FakeLines(std::vector<std::string> lines, int selected)
        : m_lines(std::move(lines)), m_selected(selected)
    {
    }
    int Count() const override { return static_cast<int>(m_lines.size()); }
    bool Selected(int index) const override { return index == m_selected; }
    std::string Text(int index) const override { return m_lines[static_cast<std::size_t>(index)]; }

private:
    std::vector<std::string> m_lines;
    int m_selected;
};

class MessageHost : public UserHost
{
public:
    Answer Ask(const std::string&, const std::string&, Buttons) override { return Answer::No; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void Beep() override {}
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string&) override { return nullptr; }
    void ProcessMessages() override {}
    std::vector<std::string> messages;
};

struct Preview
{
    // Every render and every show: "WxH stretched|plain".
    std::vector<std::string> renders;
    std::vector<std::string> shows;
    MessageHost host;

    static std::string describe(const FakePicture& p, bool stretch)
    {
        return std::to_string(p.Width()) + "x" + std::to_string(p.Height()) +
               (stretch ? " stretched" : " plain");
    }

    void click(const FakeLines& lines, bool on, const std::string& folder = "/f/")
    {
        FakePicture::loads().clear();
        renders.clear();
        shows.clear();
        CheckListBox1Click<FakePicture, std::string>(
            lines, on, folder,
            [this](const FakePicture& p, bool stretch) {
                if (p.Width() == 13)
                    throw EInvalidGraphic("JPEG: cannot decode"); // a lazy decode fails
                renders.push_back(describe(p, stretch));
                return describe(p, stretch);
            },
            [this](const std::string& rendered, bool stretch) {
                EXPECT_EQ(rendered.ends_with(" stretched"), stretch);
                shows.push_back(rendered);
            },
            host);
    }
};

// The selected line's picture ends in Image1, however many lines follow
// or precede it: it is decoded once and shown once.
TEST(PreviewClick, SelectedLineEndsInTheImageRenderedAndShownOnce)
{
    const struct
    {
        int lines;
        int selected;
    } rows[] = {{3, 1}, {1, 0}, {1000, 0}, {1000, 999}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.lines) + " lines, selected " +
                     std::to_string(row.selected));
        std::vector<std::string> names(static_cast<std::size_t>(row.lines), "w100h100.png");
        names[static_cast<std::size_t>(row.selected)] = "w1600h1200.jpg";
        Preview preview;
        preview.click(FakeLines(names, row.selected), true);
        EXPECT_EQ(FakePicture::loads(), std::vector<std::string>{"/f/w1600h1200.jpg"});
        EXPECT_EQ(preview.renders, (std::vector<std::string>{"0x0 plain", "1600x1200 stretched"}));
        EXPECT_EQ(preview.shows, std::vector<std::string>{"1600x1200 stretched"});
        EXPECT_TRUE(preview.host.messages.empty());
    }
}

TEST(PreviewClick, NothingSelectedEmptiesTheImageAndAnEmptyListChangesNothing)
{
    Preview preview;
    preview.click(FakeLines({"w100h100.png", "w100h100.png"}, -1), true);
    EXPECT_EQ(preview.shows, std::vector<std::string>{"0x0 plain"});
    preview.click(FakeLines({}, -1), true);
    EXPECT_TRUE(preview.shows.empty());
}

TEST(PreviewClick, PreviewOffLoadsAndShowsNothing)
{
    Preview preview;
    preview.click(FakeLines({"w100h100.png"}, 0), false);
    EXPECT_TRUE(FakePicture::loads().empty());
    EXPECT_TRUE(preview.shows.empty());
}

// A failing line shows its message; Image1 keeps what the lines before it
// made it: unchanged when it is the first, empty otherwise. A picture
// that loads but cannot be decoded fails at its line in the same way.
TEST(PreviewClick, FailureShowsItsMessageAndEndsThere)
{
    const struct
    {
        std::vector<std::string> lines;
        int selected;
        std::vector<std::string> shows;
        std::string message;
    } rows[] = {
        {{"bad.xyz", "w100h100.png"}, 0, {}, "拡張子 .xyz の画像形式は処理できません"},
        {{"w100h100.png", "bad.xyz"}, 1, {"0x0 plain"}, "拡張子 .xyz の画像形式は処理できません"},
        {{"w13h13.jpg", "w100h100.png"}, 0, {}, "JPEG: cannot decode"},
        {{"w100h100.png", "w13h13.jpg", "x"}, 1, {"0x0 plain"}, "JPEG: cannot decode"},
    };
    for (const auto& row : rows) {
        Preview preview;
        preview.click(FakeLines(row.lines, row.selected), true);
        EXPECT_EQ(preview.shows, row.shows) << row.lines[static_cast<std::size_t>(row.selected)];
        EXPECT_EQ(preview.host.messages, std::vector<std::string>{row.message});
    }
}

TEST(PreviewClick, AbortIsSilentAndAMissingFolderLoadsNothing)
{
    Preview preview;
    preview.click(FakeLines({"abort.png"}, 0), true);
    EXPECT_TRUE(preview.host.messages.empty());
    EXPECT_TRUE(preview.shows.empty());

    preview.click(FakeLines({"w100h100.png"}, 0), true, "");
    EXPECT_TRUE(FakePicture::loads().empty());
    EXPECT_EQ(preview.shows, std::vector<std::string>{"0x0 plain"});
}

} // namespace
