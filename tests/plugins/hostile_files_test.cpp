// Tiny files whose headers claim pictures far larger than their data could
// hold cost each shipped plug-in little time and memory: every plug-in is
// loaded in a child process, handed the file in memory, and measured there.
#include "spi/susie_plugin.h"
#include "tests/support/heif_jxl_pictures.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_le(Bytes& b, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_be32(Bytes& b, std::uint32_t value)
{
    for (int i = 3; i >= 0; --i)
        b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void append(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}

Bytes text(const char* s)
{
    return Bytes(s, s + std::strlen(s));
}

Bytes deflated(std::size_t zeros)
{
    Bytes in(zeros, 0);
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    Bytes out(size);
    compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 9);
    out.resize(size);
    return out;
}

void png_chunk(Bytes& b, const char* type, const Bytes& body)
{
    put_be32(b, static_cast<std::uint32_t>(body.size()));
    Bytes typed = text(type);
    append(typed, body);
    append(b, typed);
    put_be32(b,
             static_cast<std::uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

Bytes png(std::uint32_t side, std::uint8_t colour_type, bool with_end,
          const Bytes& idat = deflated(64))
{
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put_be32(ihdr, side);
    put_be32(ihdr, side);
    append(ihdr, {8, colour_type, 0, 0, 0});
    png_chunk(b, "IHDR", ihdr);
    png_chunk(b, "IDAT", idat);
    if (with_end)
        png_chunk(b, "IEND", {});
    return b;
}

// A grey 8-bit TIFF in one strip; uncompressed, its count claims the
// whole picture.
Bytes tiff(std::uint32_t side, std::uint16_t compression, const Bytes& strip)
{
    const std::uint32_t entries = 9;
    const std::uint32_t strip_at = 8 + 2 + entries * 12 + 4;
    const std::uint32_t claimed = compression == 1 ? side * side : std::uint32_t(strip.size());
    Bytes b = text("II*");
    append(b, {0});
    put_le(b, 8, 4);
    put_le(b, entries, 2);
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        put_le(b, tag, 2);
        put_le(b, type, 2);
        put_le(b, 1, 4);
        put_le(b, value, 4);
    };
    entry(256, 4, side);        // width
    entry(257, 4, side);        // height
    entry(258, 3, 8);           // bits per sample
    entry(259, 3, compression); // 1 none, 8 deflate
    entry(262, 3, 1);           // black is zero
    entry(273, 4, strip_at);
    entry(277, 3, 1); // samples per pixel
    entry(278, 4, side);
    entry(279, 4, claimed);
    put_le(b, 0, 4);
    append(b, strip);
    return b;
}

void riff_chunk(Bytes& b, const char* type, const Bytes& body)
{
    append(b, text(type));
    put_le(b, body.size(), 4);
    append(b, body);
    if (body.size() % 2)
        b.push_back(0);
}

Bytes riff_webp(const Bytes& chunks)
{
    Bytes b = text("RIFF");
    put_le(b, 4 + chunks.size(), 4);
    append(b, text("WEBP"));
    append(b, chunks);
    return b;
}

// A lossless bitstream header for a side x side picture without alpha,
// followed by a few bytes of data.
Bytes vp8l(std::uint32_t side)
{
    const std::uint32_t bits = (side - 1) | ((side - 1) << 14);
    Bytes b = {0x2F};
    put_le(b, bits, 4);
    append(b, {0, 0, 0});
    return b;
}

// An animation on a side x side canvas whose one 1x1 frame is damaged.
Bytes animated_webp(std::uint32_t side)
{
    Bytes chunks, vp8x, anim, anmf;
    vp8x.push_back(0x02); // animation
    append(vp8x, {0, 0, 0});
    put_le(vp8x, side - 1, 3);
    put_le(vp8x, side - 1, 3);
    riff_chunk(chunks, "VP8X", vp8x);
    put_le(anim, 0, 6);
    riff_chunk(chunks, "ANIM", anim);
    append(anmf, Bytes(12, 0)); // at 0,0, 1x1
    put_le(anmf, 100, 3);
    anmf.push_back(0);
    Bytes frame = {0x2F, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF};
    riff_chunk(anmf, "VP8L", frame);
    riff_chunk(chunks, "ANMF", anmf);
    return riff_webp(chunks);
}

// A frame on a screen; the frame at `top` below the screen widens it.
Bytes gif(std::uint16_t screen_width, std::uint16_t screen_height, std::uint16_t top,
          std::uint16_t frame_width, std::uint16_t frame_height)
{
    Bytes b = text("GIF89a");
    put_le(b, screen_width, 2);
    put_le(b, screen_height, 2);
    append(b, {0x80, 0, 0, 0, 0, 0, 255, 255, 255}); // two colours
    b.push_back(0x2C);
    put_le(b, 0, 2);
    put_le(b, top, 2);
    put_le(b, frame_width, 2);
    put_le(b, frame_height, 2);
    append(b, {0, 2, 2, 0x4C, 0x01, 0, 0x3B}); // one pixel, then the end
    return b;
}

struct Cost
{
    int result = -1;
    long rss_growth_kb = 0;
    long milliseconds = 0;
};

// Loads the plug-in in a child process and hands it the bytes; the child's
// peak resident size before and after tells what the call cost.
Cost cost_in_child(const std::string& plugin, const Bytes& file)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        Cost cost;
        void* library = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto* get_picture =
            library ? reinterpret_cast<SusieGetPicture>(dlsym(library, "GetPicture")) : nullptr;
        if (get_picture) {
            rusage before{}, after{};
            getrusage(RUSAGE_SELF, &before);
            const auto start = std::chrono::steady_clock::now();
            susie_handle info = nullptr, bits = nullptr;
            cost.result = get_picture(reinterpret_cast<const char*>(file.data()),
                                      static_cast<susie_intptr>(file.size()), SUSIE_SOURCE_MEMORY,
                                      &info, &bits, nullptr, 0);
            cost.milliseconds =
                static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
            getrusage(RUSAGE_SELF, &after);
            cost.rss_growth_kb = after.ru_maxrss - before.ru_maxrss;
            std::free(info);
            std::free(bits);
        }
        [[maybe_unused]] auto written = write(fds[1], &cost, sizeof cost);
        _exit(0);
    }
    close(fds[1]);
    Cost cost;
    cost.result = -2;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 60'000) == 1 && read(fds[0], &cost, sizeof cost) != sizeof cost)
        cost.result = -2;
    close(fds[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return cost;
}

struct HostileFile
{
    const char* name;
    const char* plugin;
    Bytes (*make)();
};

void PrintTo(const HostileFile& f, std::ostream* out)
{
    *out << f.name;
}

class HostileFiles : public ::testing::TestWithParam<HostileFile>
{
};

TEST_P(HostileFiles, AreRefusedCheaply)
{
    const HostileFile& f = GetParam();
    const Bytes file = f.make();
    ASSERT_LE(file.size(), 200u);
    const Cost cost = cost_in_child(std::string(ZUMO_PLUGIN_DIR) + "/" + f.plugin, file);
    ASSERT_NE(cost.result, -2) << "the plug-in did not answer within a minute";
    ASSERT_NE(cost.result, -1) << "the plug-in did not load";
    EXPECT_NE(cost.result, SUSIE_OK);
    EXPECT_LT(cost.rss_growth_kb, 100 * 1024);
    // Refusing costs milliseconds; the bound is loose so that a busy machine
    // does not fail it, and still far below the seconds an allocate-first
    // decoder spends on these files.
    EXPECT_LT(cost.milliseconds, 5000);
}

INSTANTIATE_TEST_SUITE_P(
    ClaimingHugeSizes, HostileFiles,
    ::testing::Values(
        HostileFile{"png_rgba", "png.spi", [] { return png(13000, 6, true); }},
        HostileFile{"png_rgb_cut", "png.spi", [] { return png(13000, 2, false); }},
        HostileFile{"tiff_plain", "tiff.spi", [] { return tiff(13000, 1, Bytes(16, 0)); }},
        HostileFile{"tiff_deflate", "tiff.spi", [] { return tiff(13000, 8, deflated(64)); }},
        HostileFile{"webp_lossless", "webp.spi",
                    [] {
                        Bytes chunks;
                        riff_chunk(chunks, "VP8L", vp8l(13000));
                        return riff_webp(chunks);
                    }},
        HostileFile{"webp_animated", "webp.spi", [] { return animated_webp(13000); }},
        HostileFile{"jxl", "jxl.spi", [] { return testsupport::jxl_claiming(13000, 13000); }},
        HostileFile{"gif", "gif.spi", [] { return gif(13000, 13000, 0, 13000, 13000); }},
        HostileFile{"gif_frame_far_below_a_wide_screen", "gif.spi",
                    [] { return gif(44552, 6, 1792, 1, 1); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The bounds leave real files alone: a flat picture compresses about as far
// as deflate can go, and must still decode.
TEST(HostileFilesBounds, MostCompressedRealFilesStillDecode)
{
    const std::uint32_t side = 1500;
    const Bytes png_file = png(side, 0, true, deflated(side * (side + 1)));
    const Bytes tiff_file = tiff(side, 8, deflated(side * side));
    ASSERT_GT(side * side / png_file.size(), 900u); // near deflate's limit
    EXPECT_EQ(cost_in_child(std::string(ZUMO_PLUGIN_DIR) + "/png.spi", png_file).result, SUSIE_OK);
    EXPECT_EQ(cost_in_child(std::string(ZUMO_PLUGIN_DIR) + "/tiff.spi", tiff_file).result,
              SUSIE_OK);
}

} // namespace
