// Untrusted files and misuse: every fault ends in a 0 from the loader or an
// ImageError from a later call, never in a crash, a hang or a leak.
#include "imagelib/bmp_reader.h"
#include "imagelib/imgctl.h"

#include "support.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include <jpeglib.h>
#include <sys/stat.h>
#include <zlib.h>

namespace {

using namespace imgctl;
using imgtest::Bytes;
using imgtest::Handle;
using imgtest::make_bmp;
using imgtest::TempDir;

// Loads a file and uses its pixels. Returns true when the picture loaded
// and decoded; false for a clean failure. Anything else fails the test.
bool load_and_use(const std::string& path)
{
    const HDIB dib = ToDIB(path.c_str());
    if (dib == 0)
        return false;
    bool ok = true;
    try {
        ResizeDIB(dib, -1, 17);
        GetDIBPixels(dib);
    } catch (const ImageError&) {
        ok = false;
    }
    DeleteDIB(dib);
    return ok;
}

// --- BMP faults, one row each --------------------------------------------------

struct BmpFault
{
    const char* name;
    std::vector<std::uint8_t> file;
};

std::vector<std::uint8_t> with_u32(std::vector<std::uint8_t> file, std::size_t at,
                                   std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    return file;
}

std::vector<BmpFault> bmp_faults()
{
    const std::vector<std::uint8_t> grey = Bytes().u32(0x808080).u32(0).data;
    const std::vector<std::uint8_t> good24 =
        make_bmp(2, 2, 24, 0, {}, std::vector<std::uint8_t>(16, 7));
    return {
        {"Empty", {}},
        {"OnlyMagic", {'B', 'M'}},
        {"HeaderCut", std::vector<std::uint8_t>(good24.begin(), good24.begin() + 30)},
        {"PixelsCut", std::vector<std::uint8_t>(good24.begin(), good24.end() - 6)},
        // The last row's padding (2 bytes) may be left out, one pixel byte may not.
        {"PixelsOneByteShort", std::vector<std::uint8_t>(good24.begin(), good24.end() - 3)},
        {"HeaderSizeZero", with_u32(good24, 14, 0)},
        {"HeaderSizeHuge", with_u32(good24, 14, 4000)},
        {"WidthZero", make_bmp(0, 2, 24, 0, {}, std::vector<std::uint8_t>(16))},
        {"WidthNegative", make_bmp(-2, 2, 24, 0, {}, std::vector<std::uint8_t>(16))},
        {"SideTooLong", make_bmp(70000, 1, 8, 0, grey, {})},
        {"TooManyPixels", make_bmp(20000, 10000, 24, 0, {}, {})},
        {"HeightIntMin", make_bmp(2, INT32_MIN, 24, 0, {}, {})},
        {"BitCountSeven", make_bmp(2, 2, 7, 0, {}, std::vector<std::uint8_t>(16))},
        {"EmbeddedJpeg", make_bmp(2, 2, 24, 4, {}, std::vector<std::uint8_t>(16))},
        {"UnknownCompression", make_bmp(2, 2, 24, 9, {}, std::vector<std::uint8_t>(16))},
        {"Rle8WithFourBits", make_bmp(2, 2, 4, 1, grey, {0, 1})},
        {"BitFieldsWith24Bits",
         make_bmp(2, 2, 24, 3, std::vector<std::uint8_t>(12), std::vector<std::uint8_t>(16))},
        {"PixelOffsetPastEnd", with_u32(good24, 10, 5000)},
        {"PixelOffsetInsideHeader", with_u32(good24, 10, 20)},
        {"Rle8DeltaOutside", make_bmp(4, 2, 8, 1, grey, {0, 2, 9, 0, 1, 1, 0, 1})},
        {"Rle8AbsoluteCut", make_bmp(8, 1, 8, 1, grey, {0, 6, 1, 1})},
        {"Rle8EndsMidPicture", make_bmp(4, 4, 8, 1, grey, {4, 1, 0, 0})},
    };
}

class BadBmp : public testing::TestWithParam<BmpFault>
{
};

TEST_P(BadBmp, ReaderThrowsAndLoaderReturnsZero)
{
    EXPECT_THROW(read_bmp(GetParam().file), ImageError);
    TempDir dir;
    imgtest::write_bytes(dir.path("bad.bmp"), GetParam().file);
    EXPECT_EQ(ToDIB(dir.path("bad.bmp").c_str()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, BadBmp, testing::ValuesIn(bmp_faults()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BadBmp, LastRowWithoutItsPaddingIsAccepted)
{
    const std::vector<std::uint8_t> good24 =
        make_bmp(2, 2, 24, 0, {}, std::vector<std::uint8_t>(16, 7));
    EXPECT_NO_THROW(read_bmp(std::vector<std::uint8_t>(good24.begin(), good24.end() - 2)));
}

TEST(BadBmp, RleWithoutEndMarkerAfterTheLastRowIsAccepted)
{
    const std::vector<std::uint8_t> grey = Bytes().u32(0x808080).u32(0x102030).data;
    const DecodedBmp bmp = read_bmp(make_bmp(2, 2, 8, 1, grey, {2, 1, 0, 0, 2, 1, 0, 0}));
    EXPECT_EQ(bmp.bgra[0], 0x30);
}

// Writers that encode the padded row width (ImageMagick does for odd widths)
// let a run reach past the row's end; the pixels outside are dropped and the
// picture loads, as it does in the Windows decoder.
TEST(BadBmp, RleRunsPastThePictureAreClipped)
{
    const std::vector<std::uint8_t> pal = Bytes().u32(0x808080).u32(0x102030).data;
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> file;
        int width;
    };
    const Case cases[] = {
        {"Rle8RunPastRowEnd", make_bmp(4, 1, 8, 1, pal, {5, 1, 0, 1}), 4},
        {"Rle8RunPastLastRow", make_bmp(2, 1, 8, 1, pal, {2, 1, 0, 0, 2, 0, 0, 1}), 2},
        {"Rle4AbsolutePastRowEnd", make_bmp(2, 1, 4, 2, pal, {0, 4, 0x11, 0x11, 0, 1}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedBmp bmp = read_bmp(c.file);
        ASSERT_EQ(bmp.width, c.width);
        ASSERT_EQ(bmp.bgra.size(), static_cast<std::size_t>(c.width) * 4);
        for (int x = 0; x < c.width; ++x)
            EXPECT_EQ(bmp.bgra[x * 4], 0x30) << "pixel " << x << " takes palette entry 1";
    }
}

// --- Truncated and damaged files of every format ---------------------------------

struct FormatCase
{
    const char* name;
    void (*write)(const std::string&, const cv::Mat&);
};

void write_bmp(const std::string& path, const cv::Mat& bgr)
{
    imgtest::save_bmp(path, bgr);
}
void write_png(const std::string& path, const cv::Mat& bgr)
{
    imgtest::save_png(path, bgr);
}
void write_jpeg(const std::string& path, const cv::Mat& bgr)
{
    imgtest::save_jpeg(path, bgr);
}
void write_gif(const std::string& path, const cv::Mat& bgr)
{
    imgtest::save_png(path + ".png", bgr);
    Handle dib(ToDIB((path + ".png").c_str()));
    DIBtoGIF(path.c_str(), dib, 0);
}

class Damaged : public testing::TestWithParam<FormatCase>
{
protected:
    std::vector<std::uint8_t> good_file()
    {
        const std::string path = m_dir.path("good");
        GetParam().write(path, imgtest::photo(64, 48, 8));
        return imgtest::read_bytes(path);
    }
    TempDir m_dir;
};

TEST_P(Damaged, TruncatedFilesFailCleanly)
{
    const std::vector<std::uint8_t> good = good_file();
    ASSERT_GT(good.size(), 200u);
    const std::string path = m_dir.path("cut");
    for (const double keep : {0.0, 0.01, 0.1, 0.5, 0.9}) {
        const auto size = static_cast<std::size_t>(static_cast<double>(good.size()) * keep);
        imgtest::write_bytes(
            path, std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<long>(size)));
        EXPECT_FALSE(load_and_use(path)) << GetParam().name << " cut to " << size << " bytes";
    }
    EXPECT_EQ(LiveDIBCount(), 0u);
}

// Random damage may or may not be detectable; it must never crash (the
// sanitizers watch), hang, or leave a handle behind.
TEST_P(Damaged, RandomlyDamagedFilesNeverCrash)
{
    const std::vector<std::uint8_t> good = good_file();
    const std::string path = m_dir.path("damaged");
    cv::RNG rng(GetParam().name[0]);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::uint8_t> bad = good;
        const int flips = rng.uniform(1, 8);
        for (int i = 0; i < flips; ++i)
            bad[static_cast<std::size_t>(rng.uniform(0, static_cast<int>(bad.size())))] =
                static_cast<std::uint8_t>(rng.uniform(0, 256));
        imgtest::write_bytes(path, bad);
        load_and_use(path);
    }
    EXPECT_EQ(LiveDIBCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Damaged,
                         testing::Values(FormatCase{"Bmp", write_bmp}, FormatCase{"Png", write_png},
                                         FormatCase{"Jpeg", write_jpeg},
                                         FormatCase{"Gif", write_gif}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Absurd dimensions in the headers of the other formats -------------------------

std::vector<std::uint8_t> png_with_size(std::uint32_t width, std::uint32_t height)
{
    // Signature and an IHDR whose CRC is right, so only the size is wrong.
    TempDir dir;
    imgtest::save_png(dir.path("p.png"), imgtest::photo(4, 4));
    std::vector<std::uint8_t> file = imgtest::read_bytes(dir.path("p.png"));
    for (int i = 0; i < 4; ++i) {
        file[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
        file[20 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
    }
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t at = 12; at < 29; ++at) {
        crc ^= file[at];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    crc ^= 0xFFFFFFFF;
    for (int i = 0; i < 4; ++i)
        file[29 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    return file;
}

std::vector<std::uint8_t> jpeg_with_size(unsigned width, unsigned height)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("p.jpg"), imgtest::photo(16, 16));
    std::vector<std::uint8_t> file = imgtest::read_bytes(dir.path("p.jpg"));
    for (std::size_t at = 2; at + 9 < file.size(); ++at) {
        if (file[at] == 0xFF && file[at + 1] == 0xC0) {
            file[at + 5] = static_cast<std::uint8_t>(height >> 8);
            file[at + 6] = static_cast<std::uint8_t>(height);
            file[at + 7] = static_cast<std::uint8_t>(width >> 8);
            file[at + 8] = static_cast<std::uint8_t>(width);
            break;
        }
    }
    return file;
}

std::vector<std::uint8_t> gif_with_size(unsigned width, unsigned height)
{
    Bytes b;
    b.text("GIF89a").u16(width).u16(height).u8(0x80).u8(0).u8(0);
    b.u8(0).u8(0).u8(0).u8(255).u8(255).u8(255);
    b.u8(0x2C).u16(0).u16(0).u16(width).u16(height).u8(0);
    b.u8(2).u8(2).u8(0x4C).u8(0x01).u8(0).u8(0x3B);
    return b.data;
}

// An 8x6 frame on a screen of 16392x10822, 59 bytes in all (found by
// fuzzing: the canvas alone took 710 MB).
std::vector<std::uint8_t> gif_small_frame_on_huge_screen()
{
    return {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x08, 0x40, 0x46, 0x2A, 0x91, 0x00,
            0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xC8, 0x00, 0x1E, 0x3C,
            0xFA, 0x21, 0xF9, 0x04, 0x01, 0x0A, 0x00, 0x02, 0x00, 0x2C, 0x40, 0x00,
            0x00, 0x00, 0x08, 0x00, 0x06, 0x00, 0x00, 0x02, 0x0C, 0x44, 0x34, 0x86,
            0x97, 0x0C, 0xA8, 0x5A, 0x83, 0x27, 0x46, 0xE7, 0x0A, 0x00, 0x3B};
}

struct SizeCase
{
    const char* name;
    std::vector<std::uint8_t> file;
};

class AbsurdSize : public testing::TestWithParam<SizeCase>
{
};

TEST_P(AbsurdSize, RefusedAtLoad)
{
    TempDir dir;
    imgtest::write_bytes(dir.path("big"), GetParam().file);
    EXPECT_EQ(ToDIB(dir.path("big").c_str()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Headers, AbsurdSize,
                         testing::Values(SizeCase{"PngWide", png_with_size(70000, 1)},
                                         SizeCase{"PngManyPixels", png_with_size(20000, 10000)},
                                         SizeCase{"PngZero", png_with_size(0, 10)},
                                         SizeCase{"JpegManyPixels", jpeg_with_size(60000, 60000)},
                                         SizeCase{"JpegZeroHeight", jpeg_with_size(100, 0)},
                                         SizeCase{"GifManyPixels", gif_with_size(65535, 65535)},
                                         SizeCase{"GifZero", gif_with_size(0, 0)},
                                         SizeCase{"GifFrameOnHugeScreen",
                                                  gif_small_frame_on_huge_screen()}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- PNG chunks that claim more than any file holds -----------------------------

// The largest single allocation since the last reset, where the sanitizer
// lets the test see allocations.
#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer's allocator interface (gcc ships no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*,
                                                                  std::size_t),
                                                         void (*)(const volatile void*));

std::atomic<std::size_t> g_largest_allocation{0};
std::atomic<int> g_allocations_over_8_mb{0};

void note_allocation(const volatile void*, std::size_t size)
{
    if (size > (std::size_t{8} << 20))
        ++g_allocations_over_8_mb;
    std::size_t seen = g_largest_allocation.load();
    while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
    }
}

void forget_free(const volatile void*) {}

bool watch_allocations()
{
    static const bool installed =
        __sanitizer_install_malloc_and_free_hooks(note_allocation, forget_free) != 0;
    g_largest_allocation = 0;
    g_allocations_over_8_mb = 0;
    return installed;
}

std::size_t largest_allocation()
{
    return g_largest_allocation.load();
}

int allocations_over_8_mb()
{
    return g_allocations_over_8_mb.load();
}
#else
bool watch_allocations()
{
    return false;
}

std::size_t largest_allocation()
{
    return 0;
}

int allocations_over_8_mb()
{
    return 0;
}
#endif

// An 8 x 8 PNG with `chunk` put right after IHDR, or before IEND when
// `after_pixels`, written as `name` in `dir`; its path.
std::string png_with_chunk(const TempDir& dir, const char* name,
                           const std::vector<std::uint8_t>& chunk, bool after_pixels)
{
    imgtest::save_png(dir.path("p.png"), imgtest::photo(8, 8));
    std::vector<std::uint8_t> file = imgtest::read_bytes(dir.path("p.png"));
    const std::size_t at = after_pixels ? file.size() - 12 : 33;
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
    imgtest::write_bytes(dir.path(name), file);
    return dir.path(name);
}

struct ChunkCase
{
    const char* name;
    const char* type;
    bool after_pixels; // placed between the last IDAT and IEND
};

class LyingPngChunk : public testing::TestWithParam<ChunkCase>
{
};

// A file of a few hundred bytes with one ancillary chunk that claims
// 1.8 GB (a fuzzer's find): libpng used to allocate the claimed length.
// Before the pixels the file is truncated for libpng and fails; after them
// only the tail is lost and the picture loads.
TEST_P(LyingPngChunk, AllocatesNoMoreThanTheFileCouldHold)
{
    const ChunkCase& c = GetParam();
    TempDir dir;
    std::vector<std::uint8_t> chunk = {0x6B, 0x00, 0x05, 0x25};
    chunk.insert(chunk.end(), c.type, c.type + 4);
    chunk.insert(chunk.end(), {'k', 'e', 'y', 0, 'v', 'a', 'l', 'u', 'e', 0, 0, 0, 0});
    const std::string lying = png_with_chunk(dir, "lying.png", chunk, c.after_pixels);

    const bool watched = watch_allocations();
    EXPECT_EQ(load_and_use(lying), c.after_pixels);
    if (watched) {
        EXPECT_LT(largest_allocation(), std::size_t{64} << 20);
    }
    EXPECT_EQ(LiveDIBCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chunks, LyingPngChunk,
                         testing::Values(ChunkCase{"TextFirst", "tEXt", false},
                                         ChunkCase{"CompressedTextFirst", "zTXt", false},
                                         ChunkCase{"InternationalTextFirst", "iTXt", false},
                                         ChunkCase{"ExifFirst", "eXIf", false},
                                         ChunkCase{"ProfileFirst", "iCCP", false},
                                         ChunkCase{"PrivateFirst", "prVt", false},
                                         ChunkCase{"TextLast", "tEXt", true},
                                         ChunkCase{"ExifLast", "eXIf", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- PNG chunks larger than the chunk limit ---------------------------------------

struct BigChunkCase
{
    const char* name;
    const char* type;
    std::size_t size;
    bool after_pixels;
    MetadataUse use;
    bool loads;
};

class BigPngChunk : public testing::TestWithParam<BigChunkCase>
{
};

// A complete, honest chunk over the limit: an ancillary one is passed over
// unread and the picture converts carrying nothing of it; a critical one
// fails the load with a message that names it. No copy of the chunk is
// made besides the file itself.
TEST_P(BigPngChunk, AncillaryIsSkippedCriticalFails)
{
    const BigChunkCase& c = GetParam();
    TempDir dir;
    std::vector<std::uint8_t> chunk(12 + c.size, 'x');
    for (int i = 0; i < 4; ++i) {
        chunk[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c.size >> (24 - 8 * i));
        chunk[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c.type[i]);
    }
    const uLong crc = crc32(0, &chunk[4], static_cast<uInt>(4 + c.size));
    for (int i = 0; i < 4; ++i)
        chunk[8 + c.size + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    const std::string big = png_with_chunk(dir, "big.png", chunk, c.after_pixels);

    const bool watched = watch_allocations();
    {
        Handle dib(ToDIBex(big.c_str(), {Orientation::Apply, c.use}));
        ASSERT_EQ(dib.get() != 0, c.loads);
        if (c.loads) {
            DIBtoPNG(dir.path("out.png").c_str(), dib, 0);
            EXPECT_LT(std::filesystem::file_size(dir.path("out.png")), std::size_t{64} << 10);
        } else {
            const std::string message = LastLoadFailure().value().what();
            EXPECT_NE(message.find(std::string(c.type) + " chunk"), std::string::npos) << message;
            EXPECT_NE(message.find("too large"), std::string::npos) << message;
        }
    }
    if (watched) {
        EXPECT_LT(largest_allocation(), chunk.size() + 4096);
        EXPECT_LE(allocations_over_8_mb(), 1);
    }
}

constexpr std::size_t k_over_limit = (16u << 20) + 1;
constexpr std::size_t k_17_mb = 17u << 20;

INSTANTIATE_TEST_SUITE_P(
    Chunks, BigPngChunk,
    testing::Values(
        BigChunkCase{"Text", "tEXt", k_17_mb, false, MetadataUse::Keep, true},
        BigChunkCase{"TextJustOver", "tEXt", k_over_limit, false, MetadataUse::Keep, true},
        BigChunkCase{"TextStripped", "tEXt", k_17_mb, false, MetadataUse::Strip, true},
        BigChunkCase{"XmpLast", "iTXt", k_17_mb, true, MetadataUse::Keep, true},
        BigChunkCase{"ExifLast", "eXIf", k_17_mb, true, MetadataUse::Keep, true},
        BigChunkCase{"Private", "prVt", k_17_mb, false, MetadataUse::Keep, true},
        BigChunkCase{"Palette", "PLTE", k_17_mb, false, MetadataUse::Keep, false},
        BigChunkCase{"UnknownCritical", "CRIT", k_over_limit, false, MetadataUse::Strip, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BadFiles, NotAPictureOrNotAFile)
{
    TempDir dir;
    imgtest::write_bytes(dir.path("empty"), {});
    imgtest::write_bytes(dir.path("text.jpg"), {'h', 'e', 'l', 'l', 'o'});
    std::filesystem::create_directory(dir.path("folder.png"));
    for (const std::string& path :
         {dir.path("empty"), dir.path("text.jpg"), dir.path("folder.png"), dir.path("none")}) {
        EXPECT_EQ(ToDIB(path.c_str()), 0u) << path;
        EXPECT_EQ(GIFtoDIB(path.c_str()), 0u) << path;
    }
    EXPECT_EQ(ToDIB(nullptr), 0u);
    EXPECT_EQ(LiveDIBCount(), 0u);
}

TEST(BadFiles, NamedPipeFailsWithoutWaitingForAWriter)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.path("pipe.jpg").c_str(), 0600), 0);
    EXPECT_EQ(ToDIB(dir.path("pipe.jpg").c_str()), 0u);
}

// A JPEG whose header is fine but whose data is cut loads, then fails on
// first use; later calls report the same failure without decoding again.
TEST(BadFiles, FailedLazyDecodeIsRemembered)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("photo.jpg"), imgtest::photo(200, 150));
    std::vector<std::uint8_t> file = imgtest::read_bytes(dir.path("photo.jpg"));
    file.resize(file.size() / 2);
    imgtest::write_bytes(dir.path("cut.jpg"), file);
    Handle dib(ToDIB(dir.path("cut.jpg").c_str()));
    ASSERT_NE(dib.get(), 0u);
    TurnDIB(dib, 90); // still pending: nothing decoded yet
    std::string first;
    try {
        ResizeDIB(dib, -1, 50);
    } catch (const ImageError& error) {
        first = error.what();
    }
    EXPECT_NE(first.find("JPEG"), std::string::npos) << first;
    try {
        DIBtoJPG(dir.path("out.jpg").c_str(), dib, 90, 0);
        ADD_FAILURE() << "wrote a picture that failed to decode";
    } catch (const ImageError& error) {
        EXPECT_EQ(first, error.what());
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path("out.jpg")));
}

TEST(BadFiles, JpegWithoutEndMarkerIsComplete)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("photo.jpg"), imgtest::photo(64, 48), 95);
    std::vector<std::uint8_t> file = imgtest::read_bytes(dir.path("photo.jpg"));
    ASSERT_EQ(file[file.size() - 1], 0xD9);
    file.resize(file.size() - 2);
    imgtest::write_bytes(dir.path("no-eoi.jpg"), file);
    Handle complete(ToDIB(dir.path("photo.jpg").c_str()));
    Handle without(ToDIB(dir.path("no-eoi.jpg").c_str()));
    EXPECT_EQ(cv::norm(imgtest::pixels_of(without), imgtest::pixels_of(complete), cv::NORM_INF), 0);
}

std::vector<std::uint8_t> progressive_jpeg(const cv::Mat& bgr)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(bgr.cols);
    info.image_height = static_cast<JDIMENSION>(bgr.rows);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < bgr.rows; ++y) {
        JSAMPROW row = const_cast<std::uint8_t*>(bgr.ptr<std::uint8_t>(y));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<std::uint8_t> file(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return file;
}

// The bytes from the Huffman tables before the first scan to the end of
// that scan: a DC scan that decodes the same way wherever it is repeated.
std::vector<std::uint8_t> first_scan_with_tables(const std::vector<std::uint8_t>& file)
{
    std::size_t at = 2, tables = 0;
    while (at + 4 < file.size() && file[at + 1] != 0xDA) {
        if (file[at + 1] == 0xC4 && tables == 0)
            tables = at;
        else if (file[at + 1] != 0xC4)
            tables = 0;
        at += 2 + (file[at + 2] << 8 | file[at + 3]);
    }
    std::size_t end = at + 2;
    while (end + 1 < file.size() &&
           !(file[end] == 0xFF && file[end + 1] != 0 && (file[end + 1] & 0xF8) != 0xD0))
        ++end;
    return {file.begin() + static_cast<long>(tables ? tables : at),
            file.begin() + static_cast<long>(end)};
}

// Each scan of a progressive file is a pass over the whole picture; a file
// that repeats one scan endlessly must not keep the decoder busy for ever.
TEST(BadFiles, ProgressiveJpegWithEndlessScansIsRefused)
{
    TempDir dir;
    const std::vector<std::uint8_t> good = progressive_jpeg(imgtest::photo(64, 48));
    const std::vector<std::uint8_t> scan = first_scan_with_tables(good);
    std::vector<std::uint8_t> bad(good.begin(), good.end() - 2);
    for (int i = 0; i < 300; ++i)
        bad.insert(bad.end(), scan.begin(), scan.end());
    bad.insert(bad.end(), {0xFF, 0xD9});
    imgtest::write_bytes(dir.path("endless.jpg"), bad);
    Handle dib(ToDIB(dir.path("endless.jpg").c_str()));
    ASSERT_NE(dib.get(), 0u);
    try {
        GetDIBPixels(dib);
        ADD_FAILURE() << "decoded 300 extra scans";
    } catch (const ImageError& error) {
        EXPECT_NE(std::string(error.what()).find("scans"), std::string::npos) << error.what();
    }
}

// --- Handles -------------------------------------------------------------------

struct Call
{
    const char* name;
    std::function<void(HDIB, const std::string&)> run;
};

std::vector<Call> calls()
{
    return {
        {"TurnDIB", [](HDIB d, const std::string&) { TurnDIB(d, 90); }},
        {"TurnDIBex", [](HDIB d, const std::string&) { TurnDIBex(d, 1000, 0); }},
        {"ResizeDIB", [](HDIB d, const std::string&) { ResizeDIB(d, -1, 10); }},
        {"DIBto8Bit", [](HDIB d, const std::string&) { DIBto8Bit(d, 0, 0); }},
        {"DIBtoBMP", [](HDIB d, const std::string& p) { DIBtoBMP(p.c_str(), d); }},
        {"DIBtoPNG", [](HDIB d, const std::string& p) { DIBtoPNG(p.c_str(), d, 0); }},
        {"DIBtoGIF", [](HDIB d, const std::string& p) { DIBtoGIF(p.c_str(), d, 0); }},
        {"DIBtoJPG", [](HDIB d, const std::string& p) { DIBtoJPG(p.c_str(), d, 80, 0); }},
        {"DeleteDIB", [](HDIB d, const std::string&) { DeleteDIB(d); }},
        {"GetDIBInfo", [](HDIB d, const std::string&) { GetDIBInfo(d); }},
        {"GetDIBPixels", [](HDIB d, const std::string&) { GetDIBPixels(d); }},
    };
}

TEST(Handles, ZeroUnknownAndDeletedHandlesAreErrors)
{
    TempDir dir;
    imgtest::save_png(dir.path("in.png"), imgtest::photo(8, 8));
    const HDIB deleted = ToDIB(dir.path("in.png").c_str());
    DeleteDIB(deleted);
    const std::string out = dir.path("out.png");
    for (const Call& call : calls()) {
        for (const HDIB dib : {HDIB{0}, HDIB{0xFFFFFFF0}, deleted})
            EXPECT_THROW(call.run(dib, out), ImageError) << call.name << " " << dib;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Handles, EachLoadGetsItsOwnHandle)
{
    TempDir dir;
    imgtest::save_png(dir.path("in.png"), imgtest::photo(8, 8));
    const std::size_t before = LiveDIBCount();
    Handle a(ToDIB(dir.path("in.png").c_str()));
    Handle b(ToDIB(dir.path("in.png").c_str()));
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(LiveDIBCount(), before + 2);
    TurnDIB(a, 90); // changes only its own picture
    EXPECT_EQ(GetDIBInfo(b).width, 8);
}

} // namespace
