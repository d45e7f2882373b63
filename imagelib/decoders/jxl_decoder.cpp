// JPEG XL through libjxl: a bare code stream or the ISO container, the first
// frame of an animation, with the code stream's orientation applied by the
// decoder. One thread: the library's decoders are called from worker
// threads already.
#include "imagelib/decoders/exif_item.h"
#include "imagelib/decoders/formats.h"
#include "imagelib/picture_limits.h"

#include <jxl/decode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace decoders {
namespace {

// Most of the file is the code stream; boxes beyond this size are dropped
// (a few hundred bytes of Brotli can claim gigabytes).
constexpr std::size_t k_max_box = 16 << 20;

// Everything libjxl allocates for one picture, counted: it holds the frame
// in 32-bit floats per channel plus group buffers, so the budget grows with
// the picture, and a file that makes it allocate beyond that fails instead of
// taking the machine's memory.
class MemoryBudget
{
public:
    explicit MemoryBudget(std::size_t limit) : m_limit(limit) {}
    void set_limit(std::size_t limit) { m_limit = limit; }
    JxlMemoryManager manager() { return {this, &allocate, &release}; }
    bool exceeded() const { return m_exceeded; }

private:
    // Each block carries its size in front, so that release can count it.
    static constexpr std::size_t k_prefix = alignof(std::max_align_t);

    static void* allocate(void* opaque, std::size_t size)
    {
        auto* budget = static_cast<MemoryBudget*>(opaque);
        if (size > budget->m_limit - std::min(budget->m_used, budget->m_limit) ||
            size > std::numeric_limits<std::size_t>::max() - k_prefix) {
            budget->m_exceeded = true;
            return nullptr;
        }
        auto* block = static_cast<std::uint8_t*>(std::malloc(size + k_prefix));
        if (!block)
            return nullptr;
        std::memcpy(block, &size, sizeof size);
        budget->m_used += size;
        return block + k_prefix;
    }
    static void release(void* opaque, void* address)
    {
        if (!address)
            return;
        auto* block = static_cast<std::uint8_t*>(address) - k_prefix;
        std::size_t size = 0;
        std::memcpy(&size, block, sizeof size);
        static_cast<MemoryBudget*>(opaque)->m_used -= size;
        std::free(block);
    }

    std::size_t m_limit;
    std::size_t m_used = 0;
    bool m_exceeded = false;
};

// Enough for the headers and boxes of any file before its size is known,
// then this much per pixel on top.
constexpr std::size_t k_base_budget = 64 << 20;
constexpr std::size_t k_budget_per_pixel = 40;

struct DecoderDestroy
{
    void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};
using Decoder = std::unique_ptr<JxlDecoder, DecoderDestroy>;

[[noreturn]] void fail(const char* what, const MemoryBudget& budget)
{
    if (budget.exceeded())
        throw DecodeError("JPEG XL: needs more memory than a picture within the limits",
                          Fault::TooLarge);
    throw DecodeError(std::string("JPEG XL: ") + what, Fault::Broken);
}

Decoder make_decoder(MemoryBudget& budget, std::span<const std::uint8_t> file, int events)
{
    const JxlMemoryManager manager = budget.manager();
    Decoder decoder(JxlDecoderCreate(&manager));
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(decoder.get(), JXL_FALSE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), file.data(), file.size()) != JXL_DEC_SUCCESS)
        throw DecodeError("JPEG XL: cannot start the decoder", Fault::TooLarge);
    JxlDecoderCloseInput(decoder.get());
    return decoder;
}

// The basic info gives the size as shown: the decoder applies the
// orientation and swaps the sides for the sideways ones.
void check_size(const JxlBasicInfo& info)
{
    if (!imgctl::size_within_limits(info.xsize, info.ysize))
        throw DecodeError("JPEG XL: picture size out of range", Fault::TooLarge);
}

// An EXIF or XMP box being collected; the buffer grows as libjxl asks.
class BoxReader
{
public:
    enum class Kind { None, Exif, Xmp };

    void start(JxlDecoder* decoder)
    {
        JxlBoxType type{};
        m_kind = Kind::None;
        if (JxlDecoderGetBoxType(decoder, type, JXL_TRUE) != JXL_DEC_SUCCESS)
            return;
        if (std::memcmp(type, "Exif", 4) == 0)
            m_kind = Kind::Exif;
        else if (std::memcmp(type, "xml ", 4) == 0)
            m_kind = Kind::Xmp;
        else
            return;
        m_bytes.assign(4096, 0);
        m_filled = 0;
        JxlDecoderSetBoxBuffer(decoder, m_bytes.data(), m_bytes.size());
    }

    // More output asked for: grow, or give up on a box beyond the bound
    // and let the rest of it run into a scratch buffer.
    void grow(JxlDecoder* decoder)
    {
        const std::size_t left = JxlDecoderReleaseBoxBuffer(decoder);
        if (m_kind == Kind::None) {
            JxlDecoderSetBoxBuffer(decoder, m_scratch, sizeof m_scratch);
            return;
        }
        m_filled = m_bytes.size() - left;
        if (m_bytes.size() >= k_max_box) {
            m_kind = Kind::None;
            m_bytes.clear();
            JxlDecoderSetBoxBuffer(decoder, m_scratch, sizeof m_scratch);
            return;
        }
        m_bytes.resize(std::min(m_bytes.size() * 2, k_max_box));
        JxlDecoderSetBoxBuffer(decoder, m_bytes.data() + m_filled, m_bytes.size() - m_filled);
    }

    // The box ended (another one starts, or the file does).
    void finish(JxlDecoder* decoder, Decoded& out)
    {
        const std::size_t left = JxlDecoderReleaseBoxBuffer(decoder);
        if (m_kind == Kind::None)
            return;
        m_bytes.resize(m_bytes.size() - left);
        if (m_kind == Kind::Exif && out.exif.empty()) {
            out.exif = tiff_from_exif_item(m_bytes);
            mark_exif_upright(out.exif);
        } else if (m_kind == Kind::Xmp && out.xmp.empty()) {
            out.xmp.assign(m_bytes.begin(), m_bytes.end());
        }
        m_kind = Kind::None;
        m_bytes.clear();
    }

private:
    Kind m_kind = Kind::None;
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_filled = 0;
    std::uint8_t m_scratch[4096];
};

std::vector<std::uint8_t> icc_profile(JxlDecoder* decoder, JxlColorProfileTarget target)
{
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, target, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > k_max_box)
        return {};
    std::vector<std::uint8_t> icc(size);
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, target, icc.data(), size) !=
        JXL_DEC_SUCCESS)
        return {};
    return icc;
}

JxlColorEncoding srgb(bool grey)
{
    JxlColorEncoding encoding{};
    encoding.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    encoding.white_point = JXL_WHITE_POINT_D65;
    encoding.primaries = JXL_PRIMARIES_SRGB;
    encoding.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    encoding.rendering_intent = JXL_RENDERING_INTENT_RELATIVE;
    return encoding;
}

// The profile of the pixels handed on. A file coded in its original colour
// space has that profile. One coded in XYB is rendered into a space of our
// choosing: the original one when it is described by code points, else
// sRGB, never with linear light (8 and 16-bit integers would band), and the
// profile of that rendering is what is handed on.
std::vector<std::uint8_t> read_colour(JxlDecoder* decoder, const JxlBasicInfo& info)
{
    if (info.uses_original_profile)
        return icc_profile(decoder, JXL_COLOR_PROFILE_TARGET_ORIGINAL);
    JxlColorEncoding wanted{};
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                           &wanted) != JXL_DEC_SUCCESS)
        wanted = srgb(info.num_color_channels == 1);
    if (wanted.transfer_function == JXL_TRANSFER_FUNCTION_LINEAR)
        wanted.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    JxlDecoderSetPreferredColorProfile(decoder, &wanted);
    return icc_profile(decoder, JXL_COLOR_PROFILE_TARGET_DATA);
}

// R G B (A) as decoded into B G R (A).
template <typename T> void swap_red_blue(std::vector<T>& pixels, std::size_t channels)
{
    for (std::size_t i = 0; i + channels <= pixels.size(); i += channels)
        std::swap(pixels[i], pixels[i + 2]);
}

} // namespace

Header jxl_header(std::span<const std::uint8_t> file)
{
    MemoryBudget budget(k_base_budget);
    const Decoder decoder = make_decoder(budget, file, JXL_DEC_BASIC_INFO);
    for (;;) {
        switch (JxlDecoderProcessInput(decoder.get())) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo info{};
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS)
                fail("damaged header", budget);
            check_size(info);
            Header header;
            header.format = Format::Jxl;
            header.width = static_cast<int>(info.xsize);
            header.height = static_cast<int>(info.ysize);
            header.alpha = info.alpha_bits != 0;
            return header;
        }
        case JXL_DEC_NEED_MORE_INPUT:
            fail("cut off in the header", budget);
        case JXL_DEC_BOX:
            continue;
        default:
            fail("damaged header", budget);
        }
    }
}

Decoded decode_jxl(std::span<const std::uint8_t> file)
{
    MemoryBudget budget(k_base_budget);
    const Decoder decoder = make_decoder(budget, file,
                                         JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                             JXL_DEC_FULL_IMAGE | JXL_DEC_BOX);
    JxlDecoder* dec = decoder.get();
    // Brotli-compressed boxes ("brob") are unpacked; without Brotli in the
    // library they are skipped.
    JxlDecoderSetDecompressBoxes(dec, JXL_TRUE);

    Decoded out;
    JxlBasicInfo info{};
    JxlPixelFormat format{};
    BoxReader box;
    bool have_info = false, have_image = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        switch (status) {
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                fail("damaged header", budget);
            check_size(info);
            have_info = true;
            out.width = static_cast<int>(info.xsize);
            out.height = static_cast<int>(info.ysize);
            const bool grey = info.num_color_channels == 1;
            const bool alpha = info.alpha_bits != 0;
            out.channels = (grey ? 1 : 3) + (alpha ? 1 : 0);
            out.bits = info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0 ? 16 : 8;
            format = {static_cast<std::uint32_t>(out.channels),
                      out.bits == 16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
            budget.set_limit(k_base_budget + k_budget_per_pixel * std::size_t(info.xsize) *
                                                 std::size_t(info.ysize));
            break;
        }
        case JXL_DEC_COLOR_ENCODING:
            out.icc = read_colour(dec, info);
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            std::size_t size = 0;
            const std::size_t expected = std::size_t(out.width) * std::size_t(out.height) *
                                         std::size_t(out.channels) * (out.bits / 8);
            if (!have_info || have_image ||
                JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS ||
                size != expected)
                fail("unexpected frame layout", budget);
            void* buffer = nullptr;
            if (out.bits == 16) {
                out.pixels16.resize(size / 2);
                buffer = out.pixels16.data();
            } else {
                out.pixels8.resize(size);
                buffer = out.pixels8.data();
            }
            if (JxlDecoderSetImageOutBuffer(dec, &format, buffer, size) != JXL_DEC_SUCCESS)
                fail("unexpected frame layout", budget);
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            // The first frame is the picture; later frames of an
            // animation are passed over (boxes after them still count).
            have_image = true;
            JxlDecoderSkipFrames(dec, std::numeric_limits<std::uint32_t>::max());
            break;
        case JXL_DEC_BOX:
            box.finish(dec, out);
            box.start(dec);
            break;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT:
            box.grow(dec);
            break;
        case JXL_DEC_SUCCESS:
        case JXL_DEC_NEED_MORE_INPUT:
            box.finish(dec, out);
            if (!have_image)
                fail(status == JXL_DEC_SUCCESS ? "no picture in the file" : "cut off", budget);
            if (out.channels >= 3) {
                if (out.bits == 16)
                    swap_red_blue(out.pixels16, std::size_t(out.channels));
                else
                    swap_red_blue(out.pixels8, std::size_t(out.channels));
            }
            out.orientation = 1;
            return out;
        default:
            fail("damaged file", budget);
        }
    }
}

} // namespace decoders
