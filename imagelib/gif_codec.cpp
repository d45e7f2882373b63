#include "imagelib/gif_codec.h"

#include "imagelib/limits.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include <gif_lib.h>

namespace imgctl {
namespace {

struct Source
{
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
};

int read_source(GifFileType* gif, GifByteType* out, int length)
{
    auto* source = static_cast<Source*>(gif->UserData);
    const std::size_t count =
        std::min(static_cast<std::size_t>(std::max(length, 0)), source->size - source->at);
    std::memcpy(out, source->data + source->at, count);
    source->at += count;
    return static_cast<int>(count);
}

struct CloseDecoder
{
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using Decoder = std::unique_ptr<GifFileType, CloseDecoder>;

[[noreturn]] void fail(const char* what)
{
    throw ImageError(std::string("GIF: ") + what);
}
[[noreturn]] void fail_code(int code)
{
    const char* text = GifErrorString(code);
    fail(text != nullptr ? text : "damaged file");
}

// The interlaced row order: four passes starting at rows 0, 4, 2, 1 and
// stepping 8, 8, 4, 2.
std::vector<int> row_order(int height, bool interlaced)
{
    std::vector<int> rows;
    rows.reserve(static_cast<std::size_t>(height));
    if (!interlaced) {
        for (int y = 0; y < height; ++y)
            rows.push_back(y);
        return rows;
    }
    static constexpr std::array<int, 4> start = {0, 4, 2, 1};
    static constexpr std::array<int, 4> step = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        for (int y = start[pass]; y < height; y += step[pass])
            rows.push_back(y);
    }
    return rows;
}

struct Frame
{
    int transparent = -1;
    GifImageDesc desc{};
    std::vector<std::uint32_t> palette;
    cv::Mat indices;
};

void read_extension(GifFileType* gif, Frame& frame)
{
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
        fail_code(gif->Error);
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4)
        frame.transparent = (block[1] & 0x01) ? block[4] : -1;
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
            fail_code(gif->Error);
    }
}

void read_palette(GifFileType* gif, Frame& frame)
{
    const ColorMapObject* map =
        gif->Image.ColorMap != nullptr ? gif->Image.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || map->ColorCount <= 0)
        fail("no colour table");
    const int count = std::min(map->ColorCount, 256);
    frame.palette.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const GifColorType c = map->Colors[i];
        frame.palette[static_cast<std::size_t>(i)] =
            0xFF000000u | (c.Red << 16) | (c.Green << 8) | c.Blue;
    }
}

void read_image(GifFileType* gif, Frame& frame)
{
    if (DGifGetImageDesc(gif) == GIF_ERROR)
        fail_code(gif->Error);
    frame.desc = gif->Image;
    check_dimensions("GIF", frame.desc.Width, frame.desc.Height);
    read_palette(gif, frame);
    frame.indices.create(frame.desc.Height, frame.desc.Width, CV_8UC1);
    for (const int y : row_order(frame.desc.Height, frame.desc.Interlace)) {
        if (DGifGetLine(gif, frame.indices.ptr<GifPixelType>(y), frame.desc.Width) == GIF_ERROR)
            fail_code(gif->Error);
    }
}

// Indices past the colour table read as black rather than outside it.
void complete_palette(Frame& frame)
{
    double max_index = 0;
    cv::minMaxLoc(frame.indices, nullptr, &max_index);
    if (static_cast<std::size_t>(max_index) >= frame.palette.size())
        frame.palette.resize(static_cast<std::size_t>(max_index) + 1, 0xFF000000u);
    if (frame.transparent >= 0 &&
        static_cast<std::size_t>(frame.transparent) < frame.palette.size())
        frame.palette[static_cast<std::size_t>(frame.transparent)] &= 0x00FFFFFFu;
}

Frame read_first_frame(GifFileType* gif)
{
    Frame frame;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            fail_code(gif->Error);
        if (type == EXTENSION_RECORD_TYPE)
            read_extension(gif, frame);
        else if (type == IMAGE_DESC_RECORD_TYPE)
            break;
        else
            fail("no picture in the file");
    }
    read_image(gif, frame);
    complete_palette(frame);
    return frame;
}

// A frame smaller than the logical screen or placed off its origin: drawn
// on a transparent canvas that holds both.
cv::Mat place_on_canvas(const Frame& frame, int screen_width, int screen_height,
                        std::size_t file_size)
{
    const int width = std::max(screen_width, frame.desc.Left + frame.desc.Width);
    const int height = std::max(screen_height, frame.desc.Top + frame.desc.Height);
    check_dimensions("GIF", width, height);
    // A small frame placed far out on a huge screen asks for a canvas the
    // file holds nothing for: bounded as the frame's own pixels are by what
    // LZW data can expand to (a code of 12 bits gives at most 4096 pixels),
    // so that a few bytes cannot cost hundreds of megabytes. The preview
    // plug-in applies the same bound.
    constexpr std::uint64_t k_lzw_ratio = 4096;
    if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) >
        static_cast<std::uint64_t>(file_size) * k_lzw_ratio)
        throw ImageError("GIF: a canvas of " + std::to_string(width) + "x" +
                         std::to_string(height) + " is more than the file could fill");
    cv::Mat canvas(height, width, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    for (int y = 0; y < frame.desc.Height; ++y) {
        const std::uint8_t* in = frame.indices.ptr<std::uint8_t>(y);
        std::uint8_t* dst = canvas.ptr<std::uint8_t>(frame.desc.Top + y) +
                            static_cast<std::ptrdiff_t>(frame.desc.Left) * 4;
        for (int x = 0; x < frame.desc.Width; ++x, dst += 4) {
            const std::uint32_t argb = frame.palette[in[x]];
            dst[0] = argb & 0xFF;
            dst[1] = (argb >> 8) & 0xFF;
            dst[2] = (argb >> 16) & 0xFF;
            dst[3] = argb >> 24;
        }
    }
    return canvas;
}

int write_sink(GifFileType* gif, const GifByteType* data, int length)
{
    auto* stream = static_cast<std::FILE*>(gif->UserData);
    return static_cast<int>(std::fwrite(data, 1, static_cast<std::size_t>(length), stream));
}

struct CloseEncoder
{
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};
using Encoder = std::unique_ptr<GifFileType, CloseEncoder>;

struct MapDeleter
{
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

// The palette padded to a power of two, as GIF stores it.
std::unique_ptr<ColorMapObject, MapDeleter>
make_colour_map(const std::vector<std::uint32_t>& palette)
{
    int size = 2;
    while (size < static_cast<int>(palette.size()))
        size *= 2;
    std::vector<GifColorType> colours(static_cast<std::size_t>(size), GifColorType{0, 0, 0});
    for (std::size_t i = 0; i < palette.size(); ++i) {
        colours[i] = {static_cast<GifByteType>(palette[i] >> 16),
                      static_cast<GifByteType>(palette[i] >> 8),
                      static_cast<GifByteType>(palette[i])};
    }
    std::unique_ptr<ColorMapObject, MapDeleter> map(GifMakeMapObject(size, colours.data()));
    if (!map)
        throw std::bad_alloc();
    return map;
}

// Entries with alpha below 128 all map to the first of them.
struct Transparency
{
    int index = -1;
    std::array<std::uint8_t, 256> remap{};
};

Transparency find_transparency(const std::vector<std::uint32_t>& palette)
{
    Transparency t;
    for (std::size_t i = 0; i < 256; ++i) {
        t.remap[i] = static_cast<std::uint8_t>(i);
        if (i < palette.size() && (palette[i] >> 24) < 128) {
            if (t.index < 0)
                t.index = static_cast<int>(i);
            t.remap[i] = static_cast<std::uint8_t>(t.index);
        }
    }
    return t;
}

void put_transparency(AtomicFile& out, GifFileType* gif, int index)
{
    const GifByteType block[4] = {0x01, 0, 0, static_cast<GifByteType>(index)};
    if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_ERROR)
        out.fail(std::string("GIF: ") + GifErrorString(gif->Error));
}

void put_rows(AtomicFile& out, GifFileType* gif, const cv::Mat& indices, const Transparency& t,
              bool interlaced)
{
    // EGifPutLine masks the row in place, so it gets a copy.
    std::vector<GifPixelType> row(static_cast<std::size_t>(indices.cols));
    for (const int y : row_order(indices.rows, interlaced)) {
        const std::uint8_t* in = indices.ptr<std::uint8_t>(y);
        for (int x = 0; x < indices.cols; ++x)
            row[static_cast<std::size_t>(x)] = t.remap[in[x]];
        if (EGifPutLine(gif, row.data(), indices.cols) == GIF_ERROR)
            out.fail(std::string("GIF: ") + GifErrorString(gif->Error));
    }
}

} // namespace

bool looks_like_gif(const std::vector<std::uint8_t>& bytes)
{
    return bytes.size() >= 6 && (std::memcmp(bytes.data(), "GIF87a", 6) == 0 ||
                                 std::memcmp(bytes.data(), "GIF89a", 6) == 0);
}

DecodedGif decode_gif(const std::vector<std::uint8_t>& bytes)
{
    Source source{bytes.data(), bytes.size(), 0};
    int error = 0;
    Decoder gif(DGifOpen(&source, read_source, &error));
    if (!gif)
        fail_code(error);
    const Frame frame = read_first_frame(gif.get());
    DecodedGif out;
    const bool covers = frame.desc.Left == 0 && frame.desc.Top == 0 &&
                        frame.desc.Width >= gif->SWidth && frame.desc.Height >= gif->SHeight;
    if (covers) {
        out.indices = frame.indices;
        out.palette = frame.palette;
    } else {
        out.colour = place_on_canvas(frame, gif->SWidth, gif->SHeight, bytes.size());
    }
    return out;
}

void encode_gif(AtomicFile& out, const cv::Mat& indices, const std::vector<std::uint32_t>& palette,
                Interlace interlace)
{
    if (palette.empty() || palette.size() > 256)
        out.fail("GIF: palette of " + std::to_string(palette.size()) + " colours");
    const Transparency t = find_transparency(palette);
    const auto map = make_colour_map(palette);
    int error = 0;
    Encoder gif(EGifOpen(out.stream(), write_sink, &error));
    if (!gif)
        out.fail(std::string("GIF: ") + GifErrorString(error));
    EGifSetGifVersion(gif.get(), t.index >= 0);
    if (EGifPutScreenDesc(gif.get(), indices.cols, indices.rows, map->BitsPerPixel, 0, map.get()) ==
        GIF_ERROR)
        out.fail(std::string("GIF: ") + GifErrorString(gif->Error));
    if (t.index >= 0)
        put_transparency(out, gif.get(), t.index);
    if (EGifPutImageDesc(gif.get(), 0, 0, indices.cols, indices.rows, interlace == Interlace::On,
                         nullptr) == GIF_ERROR)
        out.fail(std::string("GIF: ") + GifErrorString(gif->Error));
    put_rows(out, gif.get(), indices, t, interlace == Interlace::On);
    if (EGifCloseFile(gif.release(), &error) == GIF_ERROR)
        out.fail(std::string("GIF: ") + GifErrorString(error));
}

} // namespace imgctl
