#include "graphics/jpeg_image.h"

#include "imagelib/picture_limits.h"

#include <turbojpeg.h>

#include <memory>
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

[[noreturn]] void fail(void* handle, const char* what)
{
    throw EInvalidGraphic(std::string("JPEG: ") + what + ": " + tjGetErrorStr2(handle));
}

} // namespace

void TJPEGImage::Assign(const TGraphic& source)
{
    if (&source == this)
        return;
    TPixelImage image = source.ToPixels();
    m_width = image.width;
    m_height = image.height;
    m_bgra = std::move(image.bgra);
    Changed();
}

void TJPEGImage::LoadFromStream(TStream& stream)
{
    std::vector<std::uint8_t> file = stream.ReadRest();
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8)
        throw EInvalidGraphic("JPEG: not a JPEG file");
    TjHandle handle(tjInitDecompress());
    if (!handle)
        throw EInvalidGraphic("JPEG: decoder unavailable");
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), file.data(), static_cast<unsigned long>(file.size()),
                            &width, &height, &subsampling, &colourspace) != 0)
        fail(handle.get(), "bad header");
    if (!imgctl::size_within_limits(width, height))
        throw EInvalidGraphic("JPEG: picture size out of range");
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    // Damaged data that still decodes partly yields a warning only; the
    // picture is shown as far as it goes, as viewers do.
    if (tjDecompress2(handle.get(), file.data(), static_cast<unsigned long>(file.size()),
                      pixels.data(), width, 0, height, TJPF_BGRX, 0) != 0 &&
        tjGetErrorCode(handle.get()) == TJERR_FATAL)
        fail(handle.get(), "cannot decode");
    for (std::size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 255;
    m_width = width;
    m_height = height;
    m_bgra = std::move(pixels);
    Changed();
}

void TJPEGImage::SaveToStream(TStream& stream)
{
    if (Empty())
        throw EInvalidGraphic("JPEG: cannot save an empty picture");
    TjHandle handle(tjInitCompress());
    if (!handle)
        throw EInvalidGraphic("JPEG: encoder unavailable");
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int result = tjCompress2(handle.get(), m_bgra.data(), m_width, 0, m_height, TJPF_BGRX, &buffer,
                             &size, TJSAMP_420, 90, 0);
    std::unique_ptr<unsigned char, TjFree> owned(buffer);
    if (result != 0)
        fail(handle.get(), "cannot encode");
    stream.WriteBuffer(owned.get(), size);
}

TPixelImage TJPEGImage::ToPixels() const
{
    return TPixelImage{m_width, m_height, m_bgra, false};
}

} // namespace zumo
