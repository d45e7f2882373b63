#include "graphics/jpeg_image.h"

#include "imagelib/colour.h"
#include "imagelib/imgctl.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/metadata.h"
#include "imagelib/picture_limits.h"

#include <turbojpeg.h>

#include <opencv2/imgproc.hpp>

#include <memory>
#include <span>
#include <string>

namespace zumo {
namespace {

struct TjCloser
{
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjCloser>;

struct TjFree
{
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

std::string tj_message(void* handle, const char* what)
{
    return std::string("JPEG: ") + what + ": " + tjGetErrorStr2(handle);
}

// libjpeg-turbo scales by n/8: the divisors 1, 2, 4 and 8 are the ones
// its fast paths cover.
constexpr int k_divisors[] = {8, 4, 2, 1};

std::int32_t scaled(std::int32_t size, int divisor)
{
    return (size + divisor - 1) / divisor; // as TJSCALED rounds
}

bool is_cmyk(void* handle, const std::vector<std::uint8_t>& file)
{
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    return tjDecompressHeader3(handle, file.data(), static_cast<unsigned long>(file.size()), &width,
                               &height, &subsampling, &colourspace) == 0 &&
           (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK);
}

// TurboJPEG gives CMYK only as inks. The picture library's decoder turns
// them into colours, through the file's CMYK profile when it has one, so
// the preview shows what the conversion writes.
bool decode_cmyk(const std::vector<std::uint8_t>& file, int divisor, TPixelImage& image,
                 std::string& failure)
{
    try {
        const cv::Mat bgr = imgctl::decode_jpeg(imgctl::read_jpeg_header(file), divisor);
        cv::Mat bgra(image.height, image.width, CV_8UC4, image.bgra.data());
        cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
        return true;
    } catch (const imgctl::ImageError& error) {
        failure = error.what();
        return false;
    }
}

// Decodes the whole file at 1/divisor scale. Damaged data that still
// decodes partly yields a warning only; the picture is shown as far as it
// goes, as viewers do. Returns the message of a fatal error in `failure`.
std::shared_ptr<TPixelImage> decode(const std::vector<std::uint8_t>& file, std::int32_t width,
                                    std::int32_t height, int divisor, imgctl::Upright upright,
                                    std::span<const std::uint8_t> icc, std::string& failure)
{
    TjHandle handle(tjInitDecompress());
    if (!handle) {
        failure = "JPEG: decoder unavailable";
        return nullptr;
    }
    auto image = std::make_shared<TPixelImage>();
    image->width = scaled(width, divisor);
    image->height = scaled(height, divisor);
    image->bgra.resize(static_cast<std::size_t>(image->width) * image->height * 4);
    if (is_cmyk(handle.get(), file)) {
        if (!decode_cmyk(file, divisor, *image, failure))
            return nullptr;
    } else if (tjDecompress2(handle.get(), file.data(), static_cast<unsigned long>(file.size()),
                             image->bgra.data(), image->width, 0, image->height, TJPF_BGRX,
                             0) != 0 &&
               tjGetErrorCode(handle.get()) == TJERR_FATAL) {
        failure = tj_message(handle.get(), "cannot decode");
        return nullptr;
    } else if (!icc.empty()) {
        const cv::Mat pixels(image->height, image->width, CV_8UC4, image->bgra.data());
        imgctl::to_srgb8(pixels, icc).copyTo(pixels);
    }
    for (std::size_t i = 3; i < image->bgra.size(); i += 4)
        image->bgra[i] = 255;
    // Photos are shown upright from their EXIF orientation, as the
    // conversion writes them.
    if (upright.mirror || upright.quarters != 0) {
        const cv::Mat stored(image->height, image->width, CV_8UC4, image->bgra.data());
        const cv::Mat shown = imgctl::make_upright(stored, upright);
        std::vector<std::uint8_t> bgra(shown.data, shown.data + shown.total() * 4);
        image->width = shown.cols;
        image->height = shown.rows;
        image->bgra = std::move(bgra);
    }
    return image;
}

// The profile as the picture library reads it for the conversion, so that
// both agree on which profile a file has; none when the markers are broken.
std::vector<std::uint8_t> icc_profile(const std::vector<std::uint8_t>& file)
{
    imgctl::Metadata metadata;
    try {
        imgctl::read_jpeg_header(file, &metadata);
    } catch (const imgctl::ImageError&) {
        return {};
    }
    return std::move(metadata.icc);
}

} // namespace

void TJPEGImage::Assign(const TGraphic& source)
{
    if (&source == this)
        return;
    auto image = std::make_shared<TPixelImage>(source.ToPixels());
    image->has_alpha = false;
    m_width = image->width;
    m_height = image->height;
    m_file.reset();
    m_upright = {};
    m_icc.reset(); // the pixels taken over are shown as they are
    m_full = std::move(image);
    m_reduced.reset();
    m_reduced_divisor = 0;
    m_failure.clear();
    Changed();
}

void TJPEGImage::LoadFromStream(TStream& stream)
{
    auto file = std::make_shared<std::vector<std::uint8_t>>(stream.ReadRest());
    if (file->size() < 4 || (*file)[0] != 0xFF || (*file)[1] != 0xD8)
        throw EInvalidGraphic("JPEG: not a JPEG file");
    TjHandle handle(tjInitDecompress());
    if (!handle)
        throw EInvalidGraphic("JPEG: decoder unavailable");
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), file->data(), static_cast<unsigned long>(file->size()),
                            &width, &height, &subsampling, &colourspace) != 0)
        throw EInvalidGraphic(tj_message(handle.get(), "bad header"));
    if (!imgctl::size_within_limits(width, height))
        throw EInvalidGraphic("JPEG: picture size out of range");
    // The size shown is the upright one; the decode turns the pixels.
    m_upright = imgctl::upright_for(imgctl::jpeg_file_orientation(*file));
    m_icc = std::make_shared<const std::vector<std::uint8_t>>(icc_profile(*file));
    if (m_upright.quarters % 2 != 0)
        std::swap(width, height);
    m_width = width;
    m_height = height;
    m_file = std::move(file);
    m_full.reset();
    m_reduced.reset();
    m_reduced_divisor = 0;
    m_failure.clear();
    Changed();
}

void TJPEGImage::SaveToStream(TStream& stream)
{
    if (Empty())
        throw EInvalidGraphic("JPEG: cannot save an empty picture");
    const std::shared_ptr<const TPixelImage> pixels = decoded(1);
    TjHandle handle(tjInitCompress());
    if (!handle)
        throw EInvalidGraphic("JPEG: encoder unavailable");
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int result = tjCompress2(handle.get(), pixels->bgra.data(), pixels->width, 0, pixels->height,
                             TJPF_BGRX, &buffer, &size, TJSAMP_420, 90, 0);
    std::unique_ptr<unsigned char, TjFree> owned(buffer);
    if (result != 0)
        throw EInvalidGraphic(tj_message(handle.get(), "cannot encode"));
    stream.WriteBuffer(owned.get(), size);
}

TPixelImage TJPEGImage::ToPixels() const
{
    if (Empty())
        return {};
    return *decoded(1);
}

std::shared_ptr<const TPixelImage> TJPEGImage::DisplayPixels(std::int32_t fit_width,
                                                             std::int32_t fit_height) const
{
    if (Empty())
        return std::make_shared<const TPixelImage>();
    // Pixels decoded at full size already serve any area.
    if (m_full)
        return m_full;
    return decoded(ScaleDivisorFor(m_width, m_height, fit_width, fit_height));
}

int TJPEGImage::ScaleDivisorFor(std::int32_t width, std::int32_t height, std::int32_t fit_width,
                                std::int32_t fit_height)
{
    if (fit_width <= 0 || fit_height <= 0)
        return 1;
    for (int divisor : k_divisors) {
        if (scaled(width, divisor) >= fit_width && scaled(height, divisor) >= fit_height)
            return divisor;
    }
    return 1;
}

std::shared_ptr<const TPixelImage> TJPEGImage::decoded(int divisor) const
{
    if (divisor == 1 && m_full)
        return m_full;
    if (divisor != 1 && m_reduced && m_reduced_divisor == divisor)
        return m_reduced;
    if (!m_failure.empty())
        throw EInvalidGraphic(m_failure);
    if (!m_file)
        throw EInvalidGraphic("JPEG: no picture data");
    const bool sideways = m_upright.quarters % 2 != 0; // stored across
    std::shared_ptr<const TPixelImage> image =
        decode(*m_file, sideways ? m_height : m_width, sideways ? m_width : m_height, divisor,
               m_upright, m_icc ? std::span(*m_icc) : std::span<const std::uint8_t>{}, m_failure);
    if (!image)
        throw EInvalidGraphic(m_failure);
    if (divisor == 1) {
        m_full = image;
        m_reduced.reset(); // the full picture serves every area from now on
    } else {
        m_reduced = image;
        m_reduced_divisor = divisor;
    }
    return image;
}

} // namespace zumo
