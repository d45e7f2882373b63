// A fresh folder for one test, removed with everything in it at the end.
// It lies under /tmp unless told otherwise (/dev/shm gives a second file
// system for tests that cross one).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace testsupport {

class TempFolder
{
public:
    explicit TempFolder(const std::string& parent = "/tmp")
    {
        std::string pattern = parent + "/zumo-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern + "/";
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (ok())
            std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // False when the folder could not be made; tests assert it first.
    bool ok() const { return !m_path.empty(); }
    // The folder's path with a trailing "/".
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + rel; }

    // A file below the folder holding content, or a folder below it.
    void file(const std::string& rel, const std::string& content) const
    {
        std::ofstream(m_path + rel, std::ios::binary) << content;
    }
    void folder(const std::string& rel) const { ::mkdir((m_path + rel).c_str(), 0777); }

private:
    std::string m_path;
};

} // namespace testsupport
