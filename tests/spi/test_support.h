// Helpers shared by the plug-in host tests: where the test plug-ins are,
// temporary folders, and the "ZTST" test pictures the test plug-in reads.
#pragma once

#include "tests/support/scoped_env.h"
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace spitest {

namespace fs = std::filesystem;

inline std::string plugin(const std::string& name)
{
    return std::string(ZUMO_TEST_SPI_DIR) + "/" + name + ".spi";
}

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-spi-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        m_path = ::mkdtemp(buffer.data());
    }
    ~TempDir() { fs::remove_all(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ztst(int width, int height, int bits)
{
    return {'Z',
            'T',
            'S',
            'T',
            static_cast<std::uint8_t>(width),
            static_cast<std::uint8_t>(width >> 8),
            static_cast<std::uint8_t>(height),
            static_cast<std::uint8_t>(height >> 8),
            static_cast<std::uint8_t>(bits)};
}

// 128 bytes of a MacBinary header in front of the data.
inline std::vector<std::uint8_t> macbinary(std::vector<std::uint8_t> data)
{
    std::vector<std::uint8_t> wrapped(128, 0x4D);
    wrapped.insert(wrapped.end(), data.begin(), data.end());
    return wrapped;
}

// The test plug-in's palette entry i as 0x00RRGGBB.
inline std::uint32_t palette_entry(int i)
{
    return static_cast<std::uint32_t>((i * 16) & 0xFF) << 16 |
           static_cast<std::uint32_t>((255 - i) & 0xFF) << 8 |
           static_cast<std::uint32_t>((i * 7) & 0xFF);
}

// The colour the test plug-in gives pixel (x, y) of a picture of bits.
inline std::uint32_t expected_rgb(int x, int y, int bits)
{
    if (bits <= 8)
        return palette_entry((x + 2 * y) & ((1 << bits) - 1));
    return static_cast<std::uint32_t>((x + y) & 0xFF) << 16 |
           static_cast<std::uint32_t>((y * 8) & 0xFF) << 8 |
           static_cast<std::uint32_t>((x * 8) & 0xFF);
}

inline std::uint32_t rgb_at(const std::vector<std::uint8_t>& bgra, int width, int x, int y)
{
    const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
    return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

using EnvGuard = testsupport::ScopedEnv;

} // namespace spitest
