// What the fuzz targets share: a check that stops the run on a broken
// property (so libFuzzer and the replay test both report it as a crash),
// and a reader that takes length-prefixed fields from the front of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);  \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

class Fields
{
public:
    Fields(const std::uint8_t* data, std::size_t size)
        : m_rest(reinterpret_cast<const char*>(data), size)
    {
    }

    // A field whose length (0..limit) comes from the next one or two bytes.
    std::string take(std::size_t limit)
    {
        std::size_t wanted = byte();
        if (limit > 255)
            wanted = wanted << 8 | byte();
        wanted %= limit + 1;
        const std::string_view field = m_rest.substr(0, wanted);
        m_rest.remove_prefix(field.size());
        return std::string(field);
    }
    std::uint8_t byte()
    {
        if (m_rest.empty())
            return 0;
        const auto b = static_cast<std::uint8_t>(m_rest.front());
        m_rest.remove_prefix(1);
        return b;
    }
    // Everything not taken yet.
    std::string rest() const { return std::string(m_rest); }

private:
    std::string_view m_rest;
};

} // namespace fuzzsupport
