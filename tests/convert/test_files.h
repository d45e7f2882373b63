// Temporary folders and picture files for the engine tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zumo::test {

// A fresh folder under the system's temporary folder, removed with its
// content at the end of the test.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    // path() joined with a relative name.
    std::string operator/(const std::string& name) const;

private:
    std::string m_path;
};

// Runs the test's body with another working folder and restores it.
class WorkingFolder
{
public:
    explicit WorkingFolder(const std::string& path);
    ~WorkingFolder();

private:
    std::string m_saved;
};

std::string join(const std::string& folder, const std::string& name);
void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_bytes(const std::string& path);
bool exists(const std::string& path);
// Every file (and with Folders::Include every folder) under folder, as
// paths relative to it, sorted.
enum class Folders { Exclude, Include };
std::vector<std::string> files_under(const std::string& folder, Folders folders = Folders::Exclude);

// A 24-bit BMP file of width x height with a gradient, so turns and
// resizes are visible in the pixels.
std::vector<std::uint8_t> bmp_bytes(int width, int height);
enum class Format { Bmp, Png, Gif, Jpg };
// Writes a width x height picture to path in the given format.
void write_picture(const std::string& path, int width, int height, Format format);

struct Size
{
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};
// Size of a picture file as the library reads it; {0, 0} when it cannot.
Size picture_size(const std::string& path);

} // namespace zumo::test
