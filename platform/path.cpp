#include "platform/path.h"

#include <cstddef>

namespace platform {

namespace {

// Lead bytes of a Shift-JIS double-byte character. A trail byte can be any
// of 0x40..0xFC, 0x5C ("\") included, so a path is walked character by
// character from its start and never judged by its bytes alone.
bool is_sjis_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Length in bytes of the character that starts at i. A lead byte at the very
// end of a truncated string counts as a character of its own.
std::size_t char_length(std::string_view path, std::size_t i, PathStyle style)
{
    if (style == PathStyle::Windows && is_sjis_lead_byte(static_cast<unsigned char>(path[i])) &&
        i + 1 < path.size())
        return 2;
    return 1;
}

bool is_delimiter(char c, PathStyle style)
{
    if (style == PathStyle::Windows)
        return c == '\\' || c == ':';
    return c == '/';
}

// Index just past the last separator (or drive colon): where the file name
// part begins. 0 when the path has none.
std::size_t file_name_start(std::string_view path, PathStyle style)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t len = char_length(path, i, style);
        if (len == 1 && is_delimiter(path[i], style))
            start = i + 1;
        i += len;
    }
    return start;
}

// Index of the last "." of the file name part, or npos.
std::size_t last_dot(std::string_view path, PathStyle style)
{
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = file_name_start(path, style); i < path.size();) {
        const std::size_t len = char_length(path, i, style);
        if (len == 1 && path[i] == '.')
            dot = i;
        i += len;
    }
    return dot;
}

} // namespace

PathStyle native_path_style()
{
#ifdef _WIN32
    return PathStyle::Windows;
#else
    return PathStyle::Posix;
#endif
}

char path_separator(PathStyle style)
{
    return style == PathStyle::Windows ? '\\' : '/';
}

bool ends_with_separator(std::string_view path, PathStyle style)
{
    // Only the separator itself counts: "C:" still gets its "\" appended.
    const char separator = path_separator(style);
    std::size_t last = std::string_view::npos;
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t len = char_length(path, i, style);
        last = len == 1 ? i : std::string_view::npos;
        i += len;
    }
    return last != std::string_view::npos && path[last] == separator;
}

std::string include_trailing_separator(std::string_view path, PathStyle style)
{
    std::string result(path);
    if (!ends_with_separator(path, style))
        result += path_separator(style);
    return result;
}

std::string folder_part(std::string_view path, PathStyle style)
{
    return std::string(path.substr(0, file_name_start(path, style)));
}

std::string file_name_part(std::string_view path, PathStyle style)
{
    return std::string(path.substr(file_name_start(path, style)));
}

std::string extension_part(std::string_view path, PathStyle style)
{
    const std::size_t dot = last_dot(path, style);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string change_extension(std::string_view path, std::string_view ext, PathStyle style)
{
    const std::size_t dot = last_dot(path, style);
    std::string result(path.substr(0, dot == std::string_view::npos ? path.size() : dot));
    result += ext;
    return result;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace platform
