// What the encoders promise about the files they write: flags, quality,
// atomic replacement.
#include "imagelib/imgctl.h"

#include "support.h"
#include "tests/support/interlace.h"

#include <algorithm>
#include <csignal>
#include <filesystem>

#include <cstdio>

#include <jpeglib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;
using testsupport::gif_interlaced;
using testsupport::png_interlaced;

class Encoders : public testing::Test
{
protected:
    void SetUp() override
    {
        imgtest::save_png(m_dir.path("in.png"), imgtest::photo(160, 120, 2));
        m_dib = ToDIB(m_dir.path("in.png").c_str());
        ASSERT_NE(m_dib, 0u);
    }
    void TearDown() override { DeleteDIB(m_dib); }

    TempDir m_dir;
    HDIB m_dib = 0;
};

TEST_F(Encoders, InterlaceFlagIsWrittenAsAsked)
{
    for (const std::int32_t interlaced : {0, -1, 1}) {
        DIBtoPNG(m_dir.path("out.png").c_str(), m_dib, interlaced);
        DIBtoGIF(m_dir.path("out.gif").c_str(), m_dib, interlaced);
        EXPECT_EQ(png_interlaced(imgtest::read_bytes(m_dir.path("out.png"))), interlaced != 0)
            << interlaced;
        EXPECT_EQ(gif_interlaced(imgtest::read_bytes(m_dir.path("out.gif"))), interlaced != 0)
            << interlaced;
    }
}

TEST_F(Encoders, JpegQualityTradesSizeForFidelity)
{
    const cv::Mat original = imgtest::pixels_of(m_dib);
    std::uintmax_t last_size = 0;
    double last_error = 1e9;
    for (const int quality : {0, 30, 70, 95, 100}) {
        const std::string path = m_dir.path("q" + std::to_string(quality) + ".jpg");
        DIBtoJPG(path.c_str(), m_dib, quality, 0);
        const std::uintmax_t size = std::filesystem::file_size(path);
        Handle back(ToDIB(path.c_str()));
        const double error = imgtest::mean_abs_diff(imgtest::pixels_of(back), original);
        EXPECT_GT(size, last_size) << quality;
        EXPECT_LT(error, last_error) << quality;
        last_size = size;
        last_error = error;
    }
}

// Sampling factors of the luma component as libjpeg reads them from the
// file: 2 x 2 for 4:2:0, 1 x 1 for 4:4:4 (chroma is always 1 x 1).
std::pair<int, int> luma_sampling(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr)
        return {0, 0};
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    const std::pair<int, int> factors{info.comp_info[0].h_samp_factor,
                                      info.comp_info[0].v_samp_factor};
    EXPECT_EQ(info.num_components, 3);
    EXPECT_EQ(info.comp_info[1].h_samp_factor * info.comp_info[1].v_samp_factor, 1);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return factors;
}

TEST_F(Encoders, ChromaKeepsFullResolutionFromQuality90)
{
    struct Case
    {
        int quality;
        std::pair<int, int> luma;
    };
    for (const Case& c : {Case{0, {2, 2}}, Case{75, {2, 2}}, Case{89, {2, 2}}, Case{90, {1, 1}},
                          Case{92, {1, 1}}, Case{100, {1, 1}}}) {
        const std::string path = m_dir.path("q" + std::to_string(c.quality) + ".jpg");
        DIBtoJPG(path.c_str(), m_dib, c.quality, 0);
        EXPECT_EQ(luma_sampling(path), c.luma) << c.quality;
    }
}

TEST_F(Encoders, ReplacesAnExistingFileAndLeavesNoTemporaryFile)
{
    imgtest::write_bytes(m_dir.path("out.png"), {'o', 'l', 'd'});
    DIBtoPNG(m_dir.path("out.png").c_str(), m_dib, 0);
    Handle back(ToDIB(m_dir.path("out.png").c_str()));
    EXPECT_NE(back.get(), 0u);
    EXPECT_EQ(m_dir.entries(), (std::vector<std::string>{"in.png", "out.png"}));
}

TEST_F(Encoders, BmpConvertedOntoItself)
{
    const std::string path = m_dir.path("self.bmp");
    DIBtoBMP(path.c_str(), m_dib);
    Handle dib(ToDIB(path.c_str()));
    TurnDIB(dib, 90);
    DIBtoBMP(path.c_str(), dib);
    Handle back(ToDIB(path.c_str()));
    EXPECT_EQ(GetDIBInfo(back).width, 120);
    EXPECT_EQ(cv::norm(imgtest::pixels_of(back), imgtest::pixels_of(dib), cv::NORM_INF), 0);
}

// Names with the most bytes a name may have (255): ASCII, and 85 Japanese
// characters of three bytes each. Each encoder writes such a file, new and
// over itself, and leaves no temporary file.
struct LongName
{
    const char* name;
    std::string stem;
};

class LongNames : public Encoders, public testing::WithParamInterface<LongName>
{
};

std::string japanese_stem(std::size_t bytes)
{
    std::string stem;
    while (stem.size() + 3 <= bytes)
        stem += "写";
    return stem + std::string(bytes - stem.size(), 'x');
}

TEST_P(LongNames, EveryEncoderWritesAndReplacesThem)
{
    using Writer = void (*)(const std::string&, HDIB);
    const std::pair<const char*, Writer> writers[] = {
        {".bmp", [](const std::string& p, HDIB d) { DIBtoBMP(p.c_str(), d); }},
        {".png", [](const std::string& p, HDIB d) { DIBtoPNG(p.c_str(), d, 0); }},
        {".gif", [](const std::string& p, HDIB d) { DIBtoGIF(p.c_str(), d, 0); }},
        {".jpg", [](const std::string& p, HDIB d) { DIBtoJPG(p.c_str(), d, 80, 0); }},
    };
    std::vector<std::string> expected{"in.png"};
    for (const auto& [extension, write] : writers) {
        const std::string name = GetParam().stem + extension;
        ASSERT_EQ(name.size(), 255u);
        const std::string path = m_dir.path(name);
        for (int pass = 0; pass < 2; ++pass) { // new, then over itself
            EXPECT_NO_THROW(write(path, m_dib)) << extension << " pass " << pass;
            Handle back(ToDIB(path.c_str()));
            ASSERT_NE(back.get(), 0u) << extension;
            EXPECT_EQ(GetDIBInfo(back).width, 160);
        }
        expected.push_back(name);
    }
    // A BMP read back and written over itself, as a conversion does.
    const std::string bmp = m_dir.path(GetParam().stem + ".bmp");
    Handle self(ToDIB(bmp.c_str()));
    TurnDIB(self, 90);
    EXPECT_NO_THROW(DIBtoBMP(bmp.c_str(), self));
    EXPECT_EQ(GetDIBInfo(Handle(ToDIB(bmp.c_str()))).width, 120);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(m_dir.entries(), expected);
}

INSTANTIATE_TEST_SUITE_P(Names, LongNames,
                         testing::Values(LongName{"Ascii", std::string(251, 'n')},
                                         LongName{"Japanese", japanese_stem(251)}),
                         [](const auto& info) { return std::string(info.param.name); });

// A conversion killed while it writes (here by the system, once the file
// passes a size limit) leaves the file that was there and nothing else: no
// temporary file stays behind for ever.
TEST_F(Encoders, KilledWhileWritingLeavesNoTemporaryFile)
{
    imgtest::write_bytes(m_dir.path("out.bmp"), {'o', 'l', 'd'});
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 16 * 1024; // the BMP has 57 600 bytes of pixels
        setrlimit(RLIMIT_FSIZE, &limit);
        DIBtoBMP(m_dir.path("out.bmp").c_str(), m_dib);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_EQ(m_dir.entries(), (std::vector<std::string>{"in.png", "out.bmp"}));
    EXPECT_EQ(imgtest::read_bytes(m_dir.path("out.bmp")),
              (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

TEST_F(Encoders, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode)
{
    const mode_t old_mask = umask(022);
    DIBtoPNG(m_dir.path("new.png").c_str(), m_dib, 0);
    imgtest::write_bytes(m_dir.path("kept.png"), {'x'});
    chmod(m_dir.path("kept.png").c_str(), 0640);
    DIBtoPNG(m_dir.path("kept.png").c_str(), m_dib, 0);
    umask(old_mask);
    struct stat st
    {
    };
    stat(m_dir.path("new.png").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    stat(m_dir.path("kept.png").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Encoders, WritingThroughALinkReplacesItsTarget)
{
    imgtest::write_bytes(m_dir.path("real.png"), {'o', 'l', 'd'});
    std::filesystem::create_symlink(m_dir.path("real.png"), m_dir.path("link.png"));
    DIBtoPNG(m_dir.path("link.png").c_str(), m_dib, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(m_dir.path("link.png")));
    EXPECT_GT(std::filesystem::file_size(m_dir.path("real.png")), 100u);
}

// Any write that cannot complete names the path and leaves what was there.
class FailedWrite : public Encoders
{
};

TEST_F(FailedWrite, MissingFolderOrFolderInTheWay)
{
    std::filesystem::create_directory(m_dir.path("folder.png"));
    for (const std::string& path :
         {m_dir.path("no/such/folder/out.png"), m_dir.path("folder.png")}) {
        try {
            DIBtoPNG(path.c_str(), m_dib, 0);
            ADD_FAILURE() << "no exception for " << path;
        } catch (const ImageError& error) {
            EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(m_dir.entries(), (std::vector<std::string>{"folder.png", "in.png"}));
}

TEST_F(FailedWrite, FileSizeLimitHitMidwayKeepsTheOldFile)
{
    const std::string path = m_dir.path("out.bmp");
    imgtest::write_bytes(path, {'o', 'l', 'd'});
    struct sigaction ignore
    {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 20000; // the BMP needs 57 kB
    setrlimit(RLIMIT_FSIZE, &small);
    std::string message;
    try {
        DIBtoBMP(path.c_str(), m_dib);
    } catch (const ImageError& error) {
        message = error.what();
    }
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_EQ(imgtest::read_bytes(path), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(m_dir.entries(), (std::vector<std::string>{"in.png", "out.bmp"}));
}

} // namespace
