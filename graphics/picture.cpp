#include "graphics/picture.h"

#include "graphics/bitmap.h"
#include "graphics/jpeg_image.h"
#include "platform/path.h"

#include <algorithm>
#include <mutex>

namespace zumo {
namespace {

std::string lower_extension(std::string extension)
{
    if (!extension.empty() && extension.front() == '.')
        extension.erase(0, 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

struct Registry
{
    std::mutex lock;
    std::vector<TFileFormat> formats;

    Registry()
    {
        formats.push_back({"bmp", "Bitmaps", GraphicClassOf<TBitmap>()});
        formats.push_back({"jpg", "JPEG Image File", GraphicClassOf<TJPEGImage>()});
        formats.push_back({"jpeg", "JPEG Image File", GraphicClassOf<TJPEGImage>()});
    }
};

// Never destroyed, so that units unregistering their classes at program end
// still find it whatever the order of destruction.
Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

} // namespace

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  TGraphicClass graphic_class)
{
    if (!graphic_class)
        return;
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.formats.push_back({lower_extension(extension), description, graphic_class});
}

void TPicture::UnregisterGraphicClass(TGraphicClass graphic_class)
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    std::erase_if(r.formats,
                  [&](const TFileFormat& f) { return f.graphic_class == graphic_class; });
}

TGraphicClass TPicture::FindGraphicClass(const std::string& extension)
{
    std::string key = lower_extension(extension);
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    auto found = std::find_if(r.formats.rbegin(), r.formats.rend(),
                              [&](const TFileFormat& f) { return f.extension == key; });
    return found == r.formats.rend() ? nullptr : found->graphic_class;
}

std::vector<TFileFormat> TPicture::FileFormats()
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return r.formats;
}

void TPicture::LoadFromFile(const std::string& path)
{
    std::string extension = platform::extension_part(path);
    if (!extension.empty())
        extension.erase(0, 1);
    TGraphicClass graphic_class = extension.empty() ? nullptr : FindGraphicClass(extension);
    if (!graphic_class)
        throw EInvalidGraphic("拡張子 ." + extension + " の画像形式は処理できません");
    std::unique_ptr<TGraphic> graphic = graphic_class->create();
    graphic->OnProgress = OnProgress;
    graphic->LoadFromFile(path);
    m_graphic = std::move(graphic);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    m_graphic = std::move(graphic);
}

} // namespace zumo
