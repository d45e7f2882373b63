// Path pieces in two styles. The Windows style separates with "\" and ":"
// after a drive, and judges the last character of a path as a whole
// character of the ANSI code page (Shift-JIS here), so a trail byte 0x5C is
// never a separator. The POSIX style separates with "/". The engine uses the
// native style; the Windows style is kept so both can be tested anywhere.
#pragma once

#include <string>
#include <string_view>

namespace platform {

enum class PathStyle { Windows, Posix };

PathStyle native_path_style();
char path_separator(PathStyle style = native_path_style());

// True when the last whole character of path is a separator.
bool ends_with_separator(std::string_view path, PathStyle style = native_path_style());
// path with one separator appended unless it already ends with one.
std::string include_trailing_separator(std::string_view path,
                                       PathStyle style = native_path_style());
// Up to and including the last separator (or drive colon); "" when none.
std::string folder_part(std::string_view path, PathStyle style = native_path_style());
// What follows the last separator (or drive colon).
std::string file_name_part(std::string_view path, PathStyle style = native_path_style());
// From the last "." of the file name part to the end; "" when it has none.
std::string extension_part(std::string_view path, PathStyle style = native_path_style());
// Replaces the extension (from the last "." of the file name part) by ext,
// or appends ext when the file name part has no ".". ext includes its dot.
std::string change_extension(std::string_view path, std::string_view ext,
                             PathStyle style = native_path_style());

// True when a and b are equal once ASCII letters are folded; every other
// byte (those of multi-byte characters included) must be equal as it is.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

} // namespace platform
