// Private-profile INI files with the Win32 semantics the settings rely on
// (GetPrivateProfileString, WritePrivateProfileString):
// - section lines "[name]" and key lines "key=value"; section names and keys
//   are matched without regard to ASCII letter case (bytes above 0x7F are
//   compared as they are, so Shift-JIS and UTF-8 names stay exact), and the
//   blanks around a key are ignored, so " UpDown1.Position" written with its
//   leading blank is found again;
// - a value is read without its surrounding blanks and without one pair of
//   enclosing quotes (" or '), and cut to 2047 bytes;
// - a write updates the key's line in place, or adds the key at the end of
//   its section, or adds the section at the end of the file; every other
//   line (comments, foreign keys, other sections, the line endings) stays
//   as it was.
// A value that would lose something when read back (surrounding blanks, or
// enclosing quotes of its own) is written inside one pair of double quotes,
// so every value reads back byte for byte.
//
// Every write replaces the whole file atomically: the new content goes to a
// temporary file in the same folder, is flushed to the disk and renamed over
// the old file. A failure at any step leaves the old file exactly as it was.
// A settings file without any write permission bit, or in a folder without
// one, counts as read-only even for a user (root) whom the system would let
// write it, as a read-only file does on Windows.
//
// Paths are byte strings in the native style. The functions read the file on
// every call; nothing is cached.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// Longest string value a read returns, in bytes (the 2048-byte buffer of the
// Win32 reader with its terminating zero).
inline constexpr std::size_t k_profile_string_max = 2047;

// The value of key in section, or default_value when the file, the section
// or the key is missing or the file cannot be read. At most max_bytes bytes.
std::string read_profile_string(std::string_view section, std::string_view key,
                                std::string_view default_value, const std::string& file_name,
                                std::size_t max_bytes = k_profile_string_max);

// The integer rule of the settings: the decimal number in the text (an
// optional sign, then digits, nothing else, within 32 bits); a text longer
// than two characters that starts with "0x" or "0X" is hexadecimal (at most
// 0xFFFFFFFF, taken as a 32-bit two's complement number). Anything else is
// not a number.
std::optional<int> parse_profile_int(std::string_view text);

// The value of key read by parse_profile_int; default_value when it is
// missing or not a number.
int read_profile_int(std::string_view section, std::string_view key, int default_value,
                     const std::string& file_name);

// Sets key in section to value, creating the file and the section when
// missing. False when the file could not be replaced (read-only file or
// folder, missing folder, full disk, unreadable old file) or when the text
// cannot be stored in a line: a section with "]", a key that is empty or
// holds "=" or starts with "[", and any of them holding a line break or a
// zero byte. On false the file is unchanged.
bool write_profile_string(std::string_view section, std::string_view key, std::string_view value,
                          const std::string& file_name);

// Text of any bytes, such as a path (whose folder names may hold a line
// break): as write_profile_string, except that a value holding a line
// break or a zero byte is stored too, in an escaped form inside double
// quotes that no value written by write_profile_string can take
// ("%0A" for a line feed; see ini.cpp). read_profile_text reads that form
// back byte for byte and any other value as read_profile_string does;
// read_profile_string gives the escaped form as it stands.
std::string read_profile_text(std::string_view section, std::string_view key,
                              std::string_view default_value, const std::string& file_name,
                              std::size_t max_bytes = k_profile_string_max);
bool write_profile_text(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& file_name);

// True when path names a folder that this process may create files in and
// that has at least one write permission bit.
bool folder_is_writable(const std::string& path);

// A failed write of the settings file, raised by IniFile on the failing key.
class IniWriteError : public std::runtime_error
{
public:
    IniWriteError(const std::string& file_name, const std::string& key);
    const std::string& key() const { return m_key; }

private:
    std::string m_key;
};

// The settings file object: typed reads and writes of one file. Booleans
// are written as "1" and "0" and read as integers (true when not 0).
class IniFile
{
public:
    explicit IniFile(std::string file_name) : m_file_name(std::move(file_name)) {}

    const std::string& FileName() const { return m_file_name; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view default_value) const;
    int ReadInteger(std::string_view section, std::string_view key, int default_value) const;
    bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;
    // read_profile_text and write_profile_text.
    std::string ReadText(std::string_view section, std::string_view key,
                         std::string_view default_value) const;

    // Throw IniWriteError when the file could not be written.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteText(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

private:
    std::string m_file_name;
};

} // namespace platform
