// Feeds arbitrary byte strings to the path pieces in both styles and checks
// the properties every caller relies on: the folder and file name parts put
// together give the path back, the file name holds no separator, the
// extension is a tail of the file name, and the POSIX style (and the Windows
// style on strings without double-byte lead bytes) agrees with a plain
// search for the last separator.
#include "fuzz/fuzz_check.h"
#include "platform/path.h"

#include <string>
#include <string_view>

namespace {

using platform::PathStyle;

bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// A string whose last byte is a lead byte with nothing after it: appending
// to it would pair that byte with the first appended one.
bool ends_in_open_lead_byte(std::string_view path)
{
    std::size_t i = 0;
    bool open = false;
    while (i < path.size()) {
        open = is_lead_byte(static_cast<unsigned char>(path[i])) && i + 1 == path.size();
        i += is_lead_byte(static_cast<unsigned char>(path[i])) ? 2 : 1;
    }
    return open;
}

bool has_lead_byte(std::string_view path)
{
    for (const char c : path) {
        if (is_lead_byte(static_cast<unsigned char>(c)))
            return true;
    }
    return false;
}

// The pieces found by searching bytes, right for single-byte text.
void check_against_plain_search(std::string_view path, PathStyle style)
{
    const char* delimiters = style == PathStyle::Windows ? "\\:" : "/";
    const std::size_t cut = path.find_last_of(delimiters);
    const std::size_t start = cut == std::string_view::npos ? 0 : cut + 1;
    const std::string_view name = path.substr(start);
    const std::size_t dot = name.find_last_of('.');
    const std::string_view ext = dot == std::string_view::npos ? "" : name.substr(dot);
    FUZZ_CHECK(platform::folder_part(path, style) == path.substr(0, start));
    FUZZ_CHECK(platform::file_name_part(path, style) == name);
    FUZZ_CHECK(platform::extension_part(path, style) == ext);
    const char separator = style == PathStyle::Windows ? '\\' : '/';
    FUZZ_CHECK(platform::ends_with_separator(path, style) ==
               (!path.empty() && path.back() == separator));
}

void check_style(const std::string& path, const std::string& new_ext, PathStyle style)
{
    const std::string folder = platform::folder_part(path, style);
    const std::string name = platform::file_name_part(path, style);
    const std::string ext = platform::extension_part(path, style);

    FUZZ_CHECK(folder + name == path);
    // The file name holds no separator of its own: taking it apart again
    // finds no folder.
    FUZZ_CHECK(platform::folder_part(name, style).empty());
    FUZZ_CHECK(platform::file_name_part(name, style) == name);
    FUZZ_CHECK(name.size() >= ext.size() &&
               name.compare(name.size() - ext.size(), ext.size(), ext) == 0);
    FUZZ_CHECK(ext.empty() || ext.front() == '.');
    FUZZ_CHECK(platform::extension_part(name, style) == ext);
    FUZZ_CHECK(platform::change_extension(path, ext, style) == path);
    FUZZ_CHECK(platform::folder_part(folder, style) == folder);

    if (style == PathStyle::Posix || !has_lead_byte(path))
        check_against_plain_search(path, style);

    if (ends_in_open_lead_byte(path))
        return;
    const std::string with_separator = platform::include_trailing_separator(path, style);
    FUZZ_CHECK(platform::ends_with_separator(with_separator, style));
    FUZZ_CHECK(platform::include_trailing_separator(with_separator, style) == with_separator);
    FUZZ_CHECK(platform::folder_part(with_separator, style) == with_separator);
    FUZZ_CHECK(platform::file_name_part(with_separator, style).empty());

    // A new extension of the kind the program passes (a dot and a name
    // without separators or dots) replaces the old one and nothing else.
    const std::string changed = platform::change_extension(path, new_ext, style);
    FUZZ_CHECK(platform::folder_part(changed, style) == folder);
    FUZZ_CHECK(platform::extension_part(changed, style) == new_ext);
    FUZZ_CHECK(changed.size() == path.size() - ext.size() + new_ext.size());
}

// "." and a tail of the input's bytes that the program could use as an
// extension: no separators, no dots, no bytes that pair with the dot.
std::string extension_from(const std::string& raw)
{
    std::string ext = ".";
    for (const char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        if (c != '.' && c != '/' && c != '\\' && c != ':' && b < 0x80)
            ext += c;
    }
    return ext;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Fields fields(data, size);
    const std::string new_ext = extension_from(fields.take(8));
    const std::string path = fields.rest();
    check_style(path, new_ext, PathStyle::Windows);
    check_style(path, new_ext, PathStyle::Posix);
    return 0;
}
