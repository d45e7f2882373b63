// HEIF, HEIC and AVIF through libheif (HEVC by libde265, AV1 by dav1d or
// aom): the primary image, with the container's rotation, mirror and crop
// applied by libheif once.
#include "imagelib/decoders/exif_item.h"
#include "imagelib/decoders/formats.h"
#include "imagelib/memory_reuse.h"
#include "imagelib/picture_limits.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace decoders {
namespace {

// Metadata items larger than this are dropped rather than copied: EXIF
// fits in 64 KB in JPEG, and an item's extents may repeat the same bytes.
constexpr std::size_t k_max_metadata = 16 << 20;

struct ContextFree
{
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease
{
    void operator()(const heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease
{
    void operator()(const heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree
{
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
struct NclxFree
{
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<const heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<const heif_image, ImageRelease>;

Fault fault_of(const heif_error& error)
{
    switch (error.code) {
    case heif_error_Memory_allocation_error:
        return Fault::TooLarge;
    case heif_error_Unsupported_feature:
    case heif_error_Unsupported_filetype:
        return Fault::Unsupported;
    default:
        return error.subcode == heif_suberror_Security_limit_exceeded ? Fault::TooLarge
                                                                      : Fault::Broken;
    }
}

void check(const heif_error& error)
{
    if (error.code != heif_error_Ok)
        throw DecodeError(std::string("HEIF: ") + (error.message ? error.message : "damaged file"),
                          fault_of(error));
}

void init_library()
{
    // Counted by libheif; left initialised for the life of the process.
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

struct Opened
{
    Context context;
    Handle handle;
};

// Parses the boxes (the file is used in place) and refuses a primary image
// beyond the limits: the coded size (ispe) before anything is decoded, and
// the size shown after cropping and rotation.
Opened open(std::span<const std::uint8_t> file)
{
    init_library();
    Opened opened;
    opened.context.reset(heif_context_alloc());
    if (!opened.context)
        throw DecodeError("HEIF: out of memory", Fault::TooLarge);
    // libheif's own bound on each side, set to ours.
    heif_context_set_maximum_image_size_limit(opened.context.get(),
                                              static_cast<int>(imgctl::k_max_side));
    check(heif_context_read_from_memory_without_copy(opened.context.get(), file.data(), file.size(),
                                                     nullptr));
    heif_image_handle* handle = nullptr;
    check(heif_context_get_primary_image_handle(opened.context.get(), &handle));
    opened.handle.reset(handle);
    if (!imgctl::size_within_limits(heif_image_handle_get_ispe_width(handle),
                                    heif_image_handle_get_ispe_height(handle)) ||
        !imgctl::size_within_limits(heif_image_handle_get_width(handle),
                                    heif_image_handle_get_height(handle)))
        throw DecodeError("HEIF: picture size out of range", Fault::TooLarge);
    return opened;
}

// Interleaved RGB(A) samples into B G R (A); samples above 8 bits are
// stretched from 0..2^bits-1 to 0..65535.
void copy_pixels(const heif_image* image, int bits, bool alpha, Decoded& out)
{
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    const std::size_t width = static_cast<std::size_t>(out.width);
    const std::size_t height = static_cast<std::size_t>(out.height);
    const std::size_t channels = alpha ? 4 : 3;
    const std::size_t sample_bytes = out.bits == 16 ? 2 : 1;
    if (!plane || stride < 0 || std::size_t(stride) < width * channels * sample_bytes)
        throw DecodeError("HEIF: decoder returned no pixels", Fault::Broken);
    if (out.bits == 8) {
        out.pixels8.resize(width * height * channels);
        for (std::size_t y = 0; y < height; ++y) {
            const std::uint8_t* in = plane + y * std::size_t(stride);
            std::uint8_t* to = out.pixels8.data() + y * width * channels;
            for (std::size_t x = 0; x < width; ++x, in += channels, to += channels) {
                to[0] = in[2];
                to[1] = in[1];
                to[2] = in[0];
                if (alpha)
                    to[3] = in[3];
            }
        }
        return;
    }
    const std::uint32_t max = (1u << bits) - 1;
    const auto scale = [max](const std::uint8_t* p) {
        const std::uint32_t value = std::min<std::uint32_t>(p[0] | (p[1] << 8), max);
        return static_cast<std::uint16_t>((value * 65535u + max / 2) / max);
    };
    out.pixels16.resize(width * height * channels);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = plane + y * std::size_t(stride);
        std::uint16_t* to = out.pixels16.data() + y * width * channels;
        for (std::size_t x = 0; x < width; ++x, in += channels * 2, to += channels) {
            to[0] = scale(in + 4);
            to[1] = scale(in + 2);
            to[2] = scale(in);
            if (alpha)
                to[3] = scale(in + 6);
        }
    }
}

// libheif hands premultiplied alpha on as stored; the decoded picture's
// alpha is straight.
template <typename T> void unpremultiply(std::vector<T>& pixels, std::uint32_t max)
{
    for (std::size_t i = 0; i + 4 <= pixels.size(); i += 4) {
        const std::uint32_t a = pixels[i + 3];
        if (a == 0 || a == max)
            continue;
        for (std::size_t c = 0; c < 3; ++c)
            pixels[i + c] =
                static_cast<T>(std::min<std::uint32_t>((pixels[i + c] * max + a / 2) / a, max));
    }
}

std::vector<std::uint8_t> metadata_item(const heif_image_handle* handle, heif_item_id id)
{
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size == 0 || size > k_max_metadata)
        return {};
    std::vector<std::uint8_t> bytes(size);
    if (heif_image_handle_get_metadata(handle, id, bytes.data()).code != heif_error_Ok)
        return {};
    return bytes;
}

// EXIF without the offset in front (and upright: libheif applied the
// container's rotation), and the XMP packet, stored as a MIME item.
void read_metadata(const heif_image_handle* handle, Decoded& out)
{
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, nullptr);
    if (count <= 0)
        return;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    const int listed =
        heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), count);
    ids.resize(static_cast<std::size_t>(std::clamp(listed, 0, count)));
    for (heif_item_id id : ids) {
        const char* type = heif_image_handle_get_metadata_type(handle, id);
        const char* content = heif_image_handle_get_metadata_content_type(handle, id);
        if (type && std::strcmp(type, "Exif") == 0 && out.exif.empty()) {
            out.exif = tiff_from_exif_item(metadata_item(handle, id));
            mark_exif_upright(out.exif);
        } else if (type && content && std::strcmp(type, "mime") == 0 &&
                   std::strcmp(content, "application/rdf+xml") == 0 && out.xmp.empty()) {
            const std::vector<std::uint8_t> xmp = metadata_item(handle, id);
            out.xmp.assign(xmp.begin(), xmp.end());
        }
    }
}

Nclx nclx_from(const heif_color_profile_nclx& profile)
{
    Nclx nclx;
    nclx.primaries = static_cast<std::uint16_t>(profile.color_primaries);
    nclx.transfer = static_cast<std::uint16_t>(profile.transfer_characteristics);
    nclx.matrix = static_cast<std::uint16_t>(profile.matrix_coefficients);
    nclx.full_range = profile.full_range_flag != 0;
    return nclx;
}

// An ICC profile when the file has one; otherwise the colour description of
// the 'colr' box, or failing that the one the coded stream carries.
void read_colour(const heif_image_handle* handle, const heif_image* image, Decoded& out)
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_rICC || type == heif_color_profile_type_prof) {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size <= k_max_metadata) {
            out.icc.resize(size);
            if (heif_image_handle_get_raw_color_profile(handle, out.icc.data()).code ==
                heif_error_Ok)
                return;
            out.icc.clear();
        }
    }
    // libheif may hand out a profile along with an error: free it either way.
    heif_color_profile_nclx* raw = nullptr;
    heif_error error = heif_image_handle_get_nclx_color_profile(handle, &raw);
    std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(raw);
    if (error.code != heif_error_Ok || !nclx) {
        raw = nullptr;
        error = heif_image_get_nclx_color_profile(image, &raw);
        nclx.reset(raw);
        if (error.code != heif_error_Ok)
            nclx.reset();
    }
    if (nclx)
        out.nclx = nclx_from(*nclx);
}

} // namespace

Header heif_header(std::span<const std::uint8_t> file)
{
    const Opened opened = open(file);
    Header header;
    header.format = Format::Heif;
    header.width = heif_image_handle_get_width(opened.handle.get());
    header.height = heif_image_handle_get_height(opened.handle.get());
    header.alpha = heif_image_handle_has_alpha_channel(opened.handle.get()) != 0;
    return header;
}

Decoded decode_heif(std::span<const std::uint8_t> file)
{
    // Declared first, so ended last: libheif's blocks are all freed by then.
    const imgctl::FreshLargeBlocks fresh_blocks;
    const Opened opened = open(file);
    const heif_image_handle* handle = opened.handle.get();
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options)
        throw DecodeError("HEIF: out of memory", Fault::TooLarge);
    options->ignore_transformations = 0; // rotation, mirror and crop applied here, once
    options->convert_hdr_to_8bit = 0;
    heif_image* raw = nullptr;
    check(heif_decode_image(handle, &raw, heif_colorspace_RGB, chroma, options.get()));
    const Image image(raw);

    Decoded out;
    out.width = heif_image_get_width(image.get(), heif_channel_interleaved);
    out.height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!imgctl::size_within_limits(out.width, out.height))
        throw DecodeError("HEIF: picture size out of range", Fault::Broken);
    // The size was checked and told from the file's stated size (ispe); a
    // coded picture of another size means the file lies about it.
    if (out.width != heif_image_handle_get_width(handle) ||
        out.height != heif_image_handle_get_height(handle))
        throw DecodeError("HEIF: the coded picture does not have the stated size", Fault::Broken);
    out.channels = alpha ? 4 : 3;
    out.bits = deep ? 16 : 8;
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    if (deep && (bits <= 8 || bits > 16))
        throw DecodeError("HEIF: unexpected sample depth", Fault::Unsupported);
    copy_pixels(image.get(), bits, alpha, out);
    if (alpha && heif_image_handle_is_premultiplied_alpha(handle)) {
        if (deep)
            unpremultiply(out.pixels16, 65535);
        else
            unpremultiply(out.pixels8, 255);
    }
    out.orientation = 1;
    read_metadata(handle, out);
    read_colour(handle, image.get(), out);
    return out;
}

} // namespace decoders
