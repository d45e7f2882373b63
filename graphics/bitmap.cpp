#include "graphics/bitmap.h"

#include "imagelib/bmp_reader.h"
#include "imagelib/bmp_writer.h"
#include "imagelib/colour.h"

#include <algorithm>
#include <span>

namespace zumo {
namespace {

constexpr std::uint32_t k_72_dpi = 2835; // pixels per metre

// A BMP that embeds a colour profile is shown (and saved again, without the
// profile) in sRGB: its colour table, or its pixels. 0x00RRGGBB entries are
// B, G, R, 0 in memory; the conversion passes the fourth byte through.
void convert_to_srgb(imgctl::DecodedBmp& bmp, std::span<const std::uint8_t> icc)
{
    std::uint8_t* data =
        bmp.indices.empty() ? bmp.bgra.data() : reinterpret_cast<std::uint8_t*>(bmp.palette.data());
    const int count =
        bmp.indices.empty() ? bmp.width * bmp.height : static_cast<int>(bmp.palette.size());
    if (icc.empty() || count == 0)
        return;
    const cv::Mat pixels(1, count, CV_8UC4, data);
    imgctl::to_srgb8(pixels, icc).copyTo(pixels);
}

} // namespace

void TBitmap::Assign(const TGraphic& source)
{
    if (&source == this)
        return;
    if (auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
        m_width = bitmap->m_width;
        m_height = bitmap->m_height;
        m_bit_count = bitmap->m_bit_count;
        m_palette = bitmap->m_palette;
        m_indices = bitmap->m_indices;
        m_bgra = bitmap->m_bgra;
        m_has_alpha = bitmap->m_has_alpha;
    } else {
        TPixelImage image = source.ToPixels();
        m_width = image.width;
        m_height = image.height;
        m_bit_count = 32;
        const TPalette* palette = source.Palette();
        m_palette = palette ? *palette : TPalette{};
        m_indices.clear();
        m_bgra = std::move(image.bgra);
        m_has_alpha = image.has_alpha;
    }
    Changed();
}

const TPalette* TBitmap::Palette() const
{
    return m_palette.empty() ? nullptr : &m_palette;
}

void TBitmap::resize(std::int32_t width, std::int32_t height)
{
    width = std::max(0, width);
    height = std::max(0, height);
    std::size_t channels = Palettised() ? 1 : 4;
    std::vector<std::uint8_t>& pixels = Palettised() ? m_indices : m_bgra;
    std::vector<std::uint8_t> resized(static_cast<std::size_t>(width) * height * channels, 0);
    if (!Palettised())
        for (std::size_t i = 3; i < resized.size(); i += 4)
            resized[i] = 255;
    std::int32_t rows = std::min(height, m_height), columns = std::min(width, m_width);
    for (std::int32_t y = 0; y < rows; ++y)
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(y) * m_width * channels,
                    columns * channels,
                    resized.begin() + static_cast<std::ptrdiff_t>(y) * width * channels);
    pixels = std::move(resized);
    m_width = width;
    m_height = height;
    Changed();
}

void TBitmap::SetHeight(std::int32_t value)
{
    if (value != m_height)
        resize(m_width, value);
}

void TBitmap::SetWidth(std::int32_t value)
{
    if (value != m_width)
        resize(value, m_height);
}

void TBitmap::SetPalette(const TPalette& palette)
{
    m_palette = palette;
    Changed();
}

void TBitmap::LoadFromStream(TStream& stream)
{
    std::vector<std::uint8_t> file = stream.ReadRest();
    imgctl::DecodedBmp bmp;
    try {
        bmp = imgctl::read_bmp(file);
        convert_to_srgb(bmp, imgctl::bmp_embedded_profile(file));
    } catch (const imgctl::ImageError& e) {
        throw EInvalidGraphic(e.what());
    }
    // The reader hands 1, 4 and 8-bit pictures over with their indices as
    // stored and a full colour table.
    const bool palettised = bmp.bit_count <= 8;
    m_width = bmp.width;
    m_height = bmp.height;
    m_bit_count = palettised ? bmp.bit_count : 32;
    m_palette = std::move(bmp.palette);
    for (std::uint32_t& entry : m_palette)
        entry &= 0xFFFFFF;
    m_indices = std::move(bmp.indices);
    if (palettised)
        m_bgra.clear();
    else
        m_bgra = std::move(bmp.bgra);
    m_has_alpha = bmp.has_alpha;
    Changed();
}

TPixelImage TBitmap::ToPixels() const
{
    TPixelImage image;
    image.width = m_width;
    image.height = m_height;
    image.has_alpha = m_has_alpha && !Palettised();
    if (!Palettised()) {
        image.bgra = m_bgra;
        return image;
    }
    image.bgra.resize(m_indices.size() * 4);
    for (std::size_t i = 0; i < m_indices.size(); ++i) {
        std::uint32_t colour = m_indices[i] < m_palette.size() ? m_palette[m_indices[i]] : 0;
        image.bgra[i * 4] = static_cast<std::uint8_t>(colour);
        image.bgra[i * 4 + 1] = static_cast<std::uint8_t>(colour >> 8);
        image.bgra[i * 4 + 2] = static_cast<std::uint8_t>(colour >> 16);
        image.bgra[i * 4 + 3] = 255;
    }
    return image;
}

void TBitmap::SaveToStream(TStream& stream)
{
    const bool indexed = Palettised();
    const int bits = indexed ? 8 : m_has_alpha ? 32 : 24;
    const std::size_t colours = indexed ? std::min<std::size_t>(m_palette.size(), 256) : 0;
    const std::size_t stride = imgctl::bmp_stride(m_width, bits);
    std::vector<std::uint8_t> out = imgctl::bmp_file_start(
        m_width, m_height, bits, std::span(m_palette).first(colours), k_72_dpi);
    out.reserve(out.size() + stride * static_cast<std::size_t>(m_height));
    for (std::int32_t y = m_height - 1; y >= 0; --y) {
        std::size_t row_start = out.size();
        for (std::int32_t x = 0; x < m_width; ++x) {
            std::size_t i = static_cast<std::size_t>(y) * m_width + x;
            if (indexed) {
                out.push_back(m_indices[i]);
                continue;
            }
            out.insert(out.end(), &m_bgra[i * 4], &m_bgra[i * 4] + (bits / 8));
        }
        out.resize(row_start + stride, 0);
    }
    stream.WriteBuffer(out.data(), out.size());
}

} // namespace zumo
