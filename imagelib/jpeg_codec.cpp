#include "imagelib/jpeg_codec.h"

#include "imagelib/decoders/srgb.h"
#include "imagelib/limits.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include <jpeglib.h>
// After jpeglib.h: its configuration decides which messages exist.
#include <jerror.h>

namespace imgctl {
namespace {

// libjpeg reports errors by calling error_exit, which must not return; we
// jump back to the function that called setjmp. Those functions own nothing
// with a destructor and return false, and their callers throw.
struct ErrorManager
{
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

// libjpeg only warns about truncated or damaged entropy data and fills the
// rest of the picture with grey. A picture that is silently half grey is
// lost data, so these warnings fail the decode. Harmless ones (extra bytes
// between markers, unknown JFIF versions) are ignored.
bool is_damage(int code)
{
    switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
        return true;
    default:
        return false;
    }
}

void on_message(j_common_ptr info, int level)
{
    if (level < 0 && is_damage(info->err->msg_code))
        on_error(info);
}

void install_errors(ErrorManager& manager)
{
    jpeg_std_error(&manager.base);
    manager.base.error_exit = on_error;
    manager.base.emit_message = on_message;
    manager.message[0] = '\0';
}

// A progressive file may hold any number of scans, each a pass over the
// whole picture; a few hundred bytes of them make a decode that never ends.
// Real encoders write a dozen or so.
constexpr int k_max_scans = 256;

void on_progress(j_common_ptr info)
{
    const auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (d->input_scan_number > k_max_scans) {
        auto* manager = reinterpret_cast<ErrorManager*>(info->err);
        std::snprintf(manager->message, sizeof manager->message, "too many scans");
        std::longjmp(manager->jump, 1);
    }
}

struct Decompressor
{
    Decompressor()
    {
        install_errors(errors);
        info.err = &errors.base;
        jpeg_create_decompress(&info);
        progress.progress_monitor = on_progress;
        info.progress = &progress;
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    [[noreturn]] void fail() const { throw ImageError(std::string("JPEG: ") + errors.message); }

    ErrorManager errors;
    jpeg_progress_mgr progress{};
    jpeg_decompress_struct info{};
};

struct Compressor
{
    Compressor()
    {
        install_errors(errors);
        info.err = &errors.base;
        jpeg_create_compress(&info);
    }
    ~Compressor() { jpeg_destroy_compress(&info); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    ErrorManager errors;
    jpeg_compress_struct info{};
};

// Metadata: every block kept. Profile: only the ICC profile, which the
// inks of a CMYK picture go through.
enum class Markers { Skip, Profile, Metadata };

// APP1 holds EXIF and XMP, APP2 the ICC profile, APP13 the IPTC records.
bool read_header(Decompressor& d, const std::uint8_t* data, std::size_t size,
                 Markers markers = Markers::Skip)
{
    if (setjmp(d.errors.jump))
        return false;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    if (markers == Markers::Metadata) {
        for (const int app : {1, 2, 13})
            jpeg_save_markers(&d.info, JPEG_APP0 + app, 0xFFFF);
    } else if (markers == Markers::Profile) {
        jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);
    }
    jpeg_read_header(&d.info, TRUE);
    return true;
}

struct FreeDeleter
{
    void operator()(JOCTET* p) const { std::free(p); }
};
using IccBuffer = std::unique_ptr<JOCTET, FreeDeleter>;

// A profile split over chunks that do not fit together is no profile:
// libjpeg warns and gives none.
bool read_icc(Decompressor& d, JOCTET** icc, unsigned* size)
{
    if (setjmp(d.errors.jump))
        return false;
    return jpeg_read_icc_profile(&d.info, icc, size) != FALSE;
}

std::vector<std::uint8_t> icc_profile(Decompressor& d)
{
    JOCTET* icc = nullptr;
    unsigned icc_size = 0;
    const bool has_icc = read_icc(d, &icc, &icc_size);
    const IccBuffer owned(icc);
    if (!has_icc || icc == nullptr)
        return {};
    return {icc, icc + icc_size};
}

bool has_name(const jpeg_saved_marker_ptr marker, std::string_view name)
{
    return marker->data_length >= name.size() &&
           std::memcmp(marker->data, name.data(), name.size()) == 0;
}

constexpr std::string_view k_exif_name{"Exif\0\0", 6};
constexpr std::string_view k_xmp_name{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view k_photoshop_name{"Photoshop 3.0\0", 14};

// The first block of each kind counts; later ones (extended XMP, a second
// EXIF) are left out.
void collect_metadata(Decompressor& d, Metadata& metadata)
{
    for (jpeg_saved_marker_ptr m = d.info.marker_list; m != nullptr; m = m->next) {
        const std::span<const std::uint8_t> payload(m->data, m->data_length);
        if (m->marker == JPEG_APP0 + 1 && metadata.exif.empty() && has_name(m, k_exif_name))
            metadata.exif = exif_tiff_block(payload);
        else if (m->marker == JPEG_APP0 + 1 && metadata.xmp.empty() && has_name(m, k_xmp_name))
            metadata.xmp.assign(payload.begin() + k_xmp_name.size(), payload.end());
        else if (m->marker == JPEG_APP0 + 13 && metadata.iptc.empty() &&
                 has_name(m, k_photoshop_name))
            metadata.iptc.assign(payload.begin() + k_photoshop_name.size(), payload.end());
    }
    metadata.icc = icc_profile(d);
    // Density unit 1 is dots per inch, 2 dots per centimetre; 0 gives only
    // the aspect ratio.
    if (d.info.saw_JFIF_marker && d.info.X_density > 0 && d.info.Y_density > 0) {
        const double scale = d.info.density_unit == 1 ? 1.0 : d.info.density_unit == 2 ? 2.54 : 0;
        metadata.dpi_x = d.info.X_density * scale;
        metadata.dpi_y = d.info.Y_density * scale;
    }
}

// YCCK is CMYK too: libjpeg turns it back into CMYK.
bool is_cmyk(const jpeg_decompress_struct& info)
{
    return info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
}

bool start(Decompressor& d, int denominator)
{
    if (setjmp(d.errors.jump))
        return false;
    d.info.scale_num = 1;
    d.info.scale_denom = static_cast<unsigned>(denominator);
    d.info.out_color_space = is_cmyk(d.info) ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_start_decompress(&d.info);
    return true;
}

// Without a profile the inks become colours by the plain formula, as if
// each took away its share of light.
void cmyk_to_bgr(const std::uint8_t* cmyk, std::uint8_t* bgr, unsigned width, decoders::Ink ink)
{
    const bool inverted = ink == decoders::Ink::Inverted;
    for (unsigned x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const unsigned k = inverted ? cmyk[3] : 255 - cmyk[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink_left = inverted ? cmyk[2 - c] : 255 - cmyk[2 - c];
            bgr[c] = static_cast<std::uint8_t>((ink_left * k + 127) / 255);
        }
    }
}

// How a CMYK picture's rows become BGR: through its CMYK profile when it
// has one (the only way to the colours its inks were meant to print; no
// RGB output could carry that profile anyway), else by the formula above.
// Adobe writes CMYK inverted (0 is full ink); others store it plainly.
struct CmykRows
{
    std::vector<std::uint8_t> row;
    decoders::Ink ink = decoders::Ink::Plain;
    std::optional<decoders::CmykToSrgb> profile;

    void to_bgr(std::uint8_t* bgr, unsigned width) const
    {
        if (profile)
            profile->convert(row.data(), bgr, static_cast<int>(width));
        else
            cmyk_to_bgr(row.data(), bgr, width, ink);
    }
};

// Rows go to `pixels` + y * `stride`; a stride of 0 reuses one row, which
// `each_row` (when given) takes before the next is decoded.
bool read_rows(Decompressor& d, std::uint8_t* pixels, std::size_t stride, CmykRows* cmyk,
               const RowHandler* each_row)
{
    if (setjmp(d.errors.jump))
        return false;
    while (d.info.output_scanline < d.info.output_height) {
        std::uint8_t* row = pixels + d.info.output_scanline * stride;
        JSAMPROW target = cmyk != nullptr ? cmyk->row.data() : row;
        jpeg_read_scanlines(&d.info, &target, 1);
        if (cmyk != nullptr)
            cmyk->to_bgr(row, d.info.output_width);
        if (each_row != nullptr)
            (*each_row)(row);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

void decode(const PendingJpeg& jpeg, int denominator, std::uint8_t* pixels, std::size_t stride,
            const RowHandler* each_row)
{
    Decompressor d;
    if (!read_header(d, jpeg.bytes.data(), jpeg.bytes.size(), Markers::Profile))
        d.fail();
    std::optional<CmykRows> cmyk;
    if (is_cmyk(d.info)) {
        cmyk.emplace();
        cmyk->ink = d.info.saw_Adobe_marker ? decoders::Ink::Inverted : decoders::Ink::Plain;
        const decoders::CmykToSrgb profile(icc_profile(d), cmyk->ink);
        if (profile.converts())
            cmyk->profile = profile;
    }
    if (!start(d, denominator))
        d.fail();
    if (static_cast<int>(d.info.output_width) != jpeg_scaled_side(jpeg.width, denominator) ||
        static_cast<int>(d.info.output_height) != jpeg_scaled_side(jpeg.height, denominator))
        throw ImageError("JPEG: unexpected scaled size");
    if (cmyk)
        cmyk->row.resize(static_cast<std::size_t>(d.info.output_width) * 4);
    if (!read_rows(d, pixels, stride, cmyk ? &*cmyk : nullptr, each_row))
        d.fail();
}

// Marker payloads built before compress() runs, which may not own them.
struct MarkerBlock
{
    int code;
    std::vector<std::uint8_t> bytes;
};

void set_density(jpeg_compress_struct& info, const OutputMetadata* metadata)
{
    if (metadata == nullptr || metadata->dpi_x <= 0 || metadata->dpi_y <= 0)
        return;
    info.density_unit = 1;
    info.X_density = static_cast<UINT16>(std::clamp(std::lround(metadata->dpi_x), 1L, 65535L));
    info.Y_density = static_cast<UINT16>(std::clamp(std::lround(metadata->dpi_y), 1L, 65535L));
}

// The XMP packet, or the first of its smaller forms, that fits in one
// segment; nullptr when none does.
const std::string* fitting_xmp(const OutputMetadata& metadata)
{
    if (metadata.xmp.size() <= k_max_jpeg_xmp_bytes)
        return &metadata.xmp;
    for (const std::string& packet : metadata.xmp_fallbacks) {
        if (packet.size() <= k_max_jpeg_xmp_bytes)
            return &packet;
    }
    return nullptr;
}

// One segment holds at most 65533 bytes; a larger EXIF or XMP block cannot
// be written and is left out. The ICC profile is split by libjpeg.
std::vector<MarkerBlock> marker_blocks(const OutputMetadata* metadata)
{
    std::vector<MarkerBlock> blocks;
    if (metadata == nullptr)
        return blocks;
    constexpr std::size_t k_max_payload = 65533;
    static_assert(k_xmp_name.size() + k_max_jpeg_xmp_bytes == k_max_payload);
    const auto add = [&](int app, std::string_view name, const auto& body) {
        if (body.empty() || name.size() + body.size() > k_max_payload)
            return;
        MarkerBlock block{JPEG_APP0 + app, {name.begin(), name.end()}};
        block.bytes.insert(block.bytes.end(), body.begin(), body.end());
        blocks.push_back(std::move(block));
    };
    add(1, k_exif_name, metadata->exif);
    if (const std::string* xmp = fitting_xmp(*metadata))
        add(1, k_xmp_name, *xmp);
    add(13, k_photoshop_name, metadata->iptc_irb);
    return blocks;
}

bool compress(Compressor& c, std::FILE* stream, const cv::Mat& bgr, int quality,
              const OutputMetadata* metadata, const std::vector<MarkerBlock>& blocks)
{
    if (setjmp(c.errors.jump))
        return false;
    jpeg_stdio_dest(&c.info, stream);
    c.info.image_width = static_cast<JDIMENSION>(bgr.cols);
    c.info.image_height = static_cast<JDIMENSION>(bgr.rows);
    c.info.input_components = 3;
    c.info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, quality, TRUE);
    // At high quality the colour detail is worth keeping: halving the
    // chroma resolution (4:2:0) blurs coloured edges more than the
    // quantisation does. Below 90 the smaller file matters more.
    if (quality >= k_full_chroma_quality) {
        c.info.comp_info[0].h_samp_factor = 1;
        c.info.comp_info[0].v_samp_factor = 1;
    }
    set_density(c.info, metadata);
    jpeg_start_compress(&c.info, TRUE);
    for (const MarkerBlock& block : blocks)
        jpeg_write_marker(&c.info, block.code, block.bytes.data(),
                          static_cast<unsigned>(block.bytes.size()));
    if (metadata != nullptr && !metadata->icc.empty())
        jpeg_write_icc_profile(&c.info, metadata->icc.data(),
                               static_cast<unsigned>(metadata->icc.size()));
    while (c.info.next_scanline < c.info.image_height) {
        JSAMPROW row = const_cast<std::uint8_t*>(
            bgr.ptr<std::uint8_t>(static_cast<int>(c.info.next_scanline)));
        jpeg_write_scanlines(&c.info, &row, 1);
    }
    jpeg_finish_compress(&c.info);
    return true;
}

} // namespace

bool looks_like_jpeg(const std::vector<std::uint8_t>& bytes)
{
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

PendingJpeg read_jpeg_header(std::vector<std::uint8_t> bytes, Metadata* metadata)
{
    PendingJpeg jpeg;
    {
        Decompressor d;
        const Markers markers = metadata != nullptr ? Markers::Metadata : Markers::Skip;
        if (!read_header(d, bytes.data(), bytes.size(), markers))
            d.fail();
        check_dimensions("JPEG", d.info.image_width, d.info.image_height);
        jpeg.width = static_cast<int>(d.info.image_width);
        jpeg.height = static_cast<int>(d.info.image_height);
        if (metadata != nullptr)
            collect_metadata(d, *metadata);
    }
    // Some writers leave out the end marker. With one added, a file that
    // lacks only the marker decodes cleanly, while a file cut inside the
    // picture data still runs into the marker too early and fails.
    const std::size_t n = bytes.size();
    if (n < 2 || bytes[n - 2] != 0xFF || bytes[n - 1] != 0xD9)
        bytes.insert(bytes.end(), {0xFF, 0xD9});
    jpeg.bytes = std::move(bytes);
    return jpeg;
}

int jpeg_scaled_side(int side, int denominator)
{
    return (side + denominator - 1) / denominator;
}

cv::Mat decode_jpeg(const PendingJpeg& jpeg, int denominator)
{
    cv::Mat out(jpeg_scaled_side(jpeg.height, denominator),
                jpeg_scaled_side(jpeg.width, denominator), CV_8UC3);
    decode(jpeg, denominator, out.data, out.step[0], nullptr);
    return out;
}

void decode_jpeg_rows(const PendingJpeg& jpeg, int denominator, const RowHandler& each_row)
{
    std::vector<std::uint8_t> row(
        static_cast<std::size_t>(jpeg_scaled_side(jpeg.width, denominator)) * 3);
    decode(jpeg, denominator, row.data(), 0, &each_row);
}

void encode_jpeg(AtomicFile& out, const cv::Mat& bgr, int quality, const OutputMetadata* metadata)
{
    const std::vector<MarkerBlock> blocks = marker_blocks(metadata);
    Compressor c;
    if (!compress(c, out.stream(), bgr, std::clamp(quality, 1, 100), metadata, blocks))
        out.fail(std::string("JPEG: ") + c.errors.message);
}

} // namespace imgctl
