// Names and texts between the program (POSIX paths and texts in UTF-8) and a
// Windows plug-in running under Wine (Windows paths and texts in the ANSI
// code page the process runs in, CP932 for Japanese plug-ins).
#pragma once

#include <string>

namespace winhost {

// The Windows form of a POSIX path as Wine maps it (Z:\... for the root
// file system), in UTF-16. Wine converts the bytes with the program's
// character set, so names that are not UTF-8 keep their bytes. Outside Wine
// the path is taken as UTF-8 with "/" turned into "\". "" when the path
// cannot be converted.
std::wstring dos_path(const std::string& posix_path);

// The name to hand a plug-in for a POSIX path: its Windows form in the ANSI
// code page; the short (8.3) form where that code page lacks a character of
// the name (the short form is ASCII and opens the same file). "" when
// neither works.
std::string plugin_path(const std::string& posix_path);

// A plug-in's text (ANSI code page) in UTF-8, for the program.
std::string utf8_from_ansi(const std::string& text);

} // namespace winhost
