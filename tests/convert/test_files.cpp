#include "test_files.h"

#include "imagelib/imgctl.h"
#include "platform/path.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zumo::test {

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "zumo-convert-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string TempDir::operator/(const std::string& name) const
{
    return join(m_path, name);
}

WorkingFolder::WorkingFolder(const std::string& path) : m_saved(fs::current_path().string())
{
    fs::current_path(path);
}

WorkingFolder::~WorkingFolder()
{
    fs::current_path(m_saved);
}

std::string join(const std::string& folder, const std::string& name)
{
    return platform::include_trailing_separator(folder) + name;
}

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const std::string& path)
{
    return fs::exists(path);
}

std::vector<std::string> files_under(const std::string& folder, Folders folders)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (folders == Folders::Include || !entry.is_directory())
            names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> bmp_bytes(int width, int height)
{
    const int stride = (width * 3 + 3) / 4 * 4;
    const std::uint32_t image_size = static_cast<std::uint32_t>(stride * height);
    std::vector<std::uint8_t> file(54 + image_size, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<std::uint32_t>(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, static_cast<std::uint32_t>(height));
    file[26] = 1;  // planes
    file[28] = 24; // bits per pixel
    put32(34, image_size);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t at = 54 + static_cast<std::size_t>(y * stride + x * 3);
            file[at] = static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1));
            file[at + 1] = static_cast<std::uint8_t>(y * 255 / std::max(1, height - 1));
            file[at + 2] = 0x80;
        }
    return file;
}

void write_picture(const std::string& path, int width, int height, Format format)
{
    if (format == Format::Bmp) {
        write_bytes(path, bmp_bytes(width, height));
        return;
    }
    const std::string source = path + ".source.bmp";
    write_bytes(source, bmp_bytes(width, height));
    const imgctl::HDIB dib = imgctl::ToDIB(source.c_str());
    fs::remove(source);
    if (dib == 0)
        throw std::runtime_error("the library cannot read its test picture");
    try {
        switch (format) {
        case Format::Png:
            imgctl::DIBtoPNG(path.c_str(), dib, 0);
            break;
        case Format::Gif:
            imgctl::DIBtoGIF(path.c_str(), dib, 0);
            break;
        case Format::Jpg:
            imgctl::DIBtoJPG(path.c_str(), dib, 92, 0);
            break;
        case Format::Bmp:
            break;
        }
    } catch (...) {
        imgctl::DeleteDIB(dib);
        throw;
    }
    imgctl::DeleteDIB(dib);
}

Size picture_size(const std::string& path)
{
    const imgctl::HDIB dib = imgctl::ToDIB(path.c_str());
    if (dib == 0)
        return {};
    Size size;
    try {
        const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
        size = {info.width, info.height};
    } catch (...) {
    }
    imgctl::DeleteDIB(dib);
    return size;
}

} // namespace zumo::test
