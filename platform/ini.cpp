#include "platform/ini.h"

#include "platform/file_ops.h"
#include "platform/path.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

// One line of the file: its text and the line ending that followed it
// ("" for a last line without one).
struct Line
{
    std::string text;
    std::string ending;
};

// A file's lines, with the UTF-8 byte-order mark some editors put in front
// kept aside so that it neither spoils the first line nor gets lost.
struct Document
{
    std::string bom;
    std::vector<Line> lines;
};

Document split_lines(std::string_view content)
{
    Document doc;
    static constexpr std::string_view k_bom = "\xEF\xBB\xBF";
    if (content.substr(0, k_bom.size()) == k_bom) {
        doc.bom = k_bom;
        content.remove_prefix(k_bom.size());
    }
    while (!content.empty()) {
        const std::size_t nl = content.find('\n');
        Line line;
        if (nl == std::string_view::npos) {
            line.text = content;
            content = {};
        } else {
            line.text = content.substr(0, nl);
            line.ending = "\n";
            content.remove_prefix(nl + 1);
        }
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.ending.insert(0, "\r");
        }
        doc.lines.push_back(std::move(line));
    }
    return doc;
}

std::string join_lines(const Document& doc)
{
    std::string out = doc.bom;
    for (const Line& line : doc.lines) {
        out += line.text;
        out += line.ending;
    }
    return out;
}

// The name of a section line, or nothing when the line is not one.
std::optional<std::string_view> section_name(std::string_view text)
{
    text = trim(text);
    if (text.empty() || text.front() != '[')
        return std::nullopt;
    text.remove_prefix(1);
    const std::size_t close = text.find(']');
    if (close != std::string_view::npos)
        text = text.substr(0, close);
    return trim(text);
}

// The key of a key line (blanks removed), or nothing for other lines.
std::optional<std::string_view> key_name(std::string_view text)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return trim(text.substr(0, eq));
}

std::string_view raw_value(std::string_view text)
{
    return trim(text.substr(text.find('=') + 1));
}

bool quoted(std::string_view value)
{
    return value.size() >= 2 && value.front() == value.back() &&
           (value.front() == '"' || value.front() == '\'');
}

std::string_view unquote(std::string_view value)
{
    return quoted(value) ? value.substr(1, value.size() - 2) : value;
}

// The form in which a value is stored so that unquote(trim(...)) returns it.
std::string stored_value(std::string_view value)
{
    const bool needs_quotes =
        !value.empty() && (is_blank(value.front()) || is_blank(value.back()) || quoted(value));
    if (needs_quotes)
        return "\"" + std::string(value) + "\"";
    return std::string(value);
}

// A value with a line break or a zero byte cannot stand in a line as it
// is. It is stored inside double quotes with every such byte, and every
// "%", blank, quote and control byte, as "%XX" (capital hex digits): a
// quoted value without any blank or quote inside is a form the plain
// writer never makes (it quotes only values with surrounding blanks or
// enclosing quotes of their own), and a Windows path or name never holds a
// double quote, so no stored value reads as this one.
std::string escaped_value(std::string_view value)
{
    std::string out = "\"";
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '%' || c == '"' || c == '\'') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int upper_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of an escaped form (raw: the value text without the blanks
// around it); nothing for any other text, which then reads as always.
// Only a form that holds an escaped line break or zero byte is one.
std::optional<std::string> unescaped_value(std::string_view raw)
{
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"')
        return std::nullopt;
    const std::string_view inner = raw.substr(1, raw.size() - 2);
    std::string out;
    bool unstorable = false;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '"' || c == '\'')
            return std::nullopt;
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= inner.size())
            return std::nullopt;
        const int hi = upper_hex_digit(inner[i + 1]);
        const int lo = upper_hex_digit(inner[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        const char decoded = static_cast<char>(hi * 16 + lo);
        unstorable = unstorable || decoded == '\n' || decoded == '\r' || decoded == '\0';
        out += decoded;
        i += 2;
    }
    if (!unstorable)
        return std::nullopt;
    return out;
}

// Where a key's section starts and ends: [first, end) are the lines after
// the section line, up to the next section line.
struct SectionSpan
{
    std::size_t header;
    std::size_t first;
    std::size_t end;
};

std::optional<SectionSpan> find_section(const Document& doc, std::string_view section)
{
    const std::string_view wanted = trim(section);
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const auto name = section_name(doc.lines[i].text);
        if (!name || !equal_ignoring_ascii_case(*name, wanted))
            continue;
        std::size_t end = i + 1;
        while (end < doc.lines.size() && !section_name(doc.lines[end].text))
            ++end;
        return SectionSpan{i, i + 1, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> find_key(const Document& doc, const SectionSpan& span,
                                    std::string_view key)
{
    const std::string_view wanted = trim(key);
    for (std::size_t i = span.first; i < span.end; ++i) {
        const auto name = key_name(doc.lines[i].text);
        if (name && equal_ignoring_ascii_case(*name, wanted))
            return i;
    }
    return std::nullopt;
}

enum class ReadStatus { Ok, Missing, Failed };

// A settings file is a few kilobytes; anything near this size is not one,
// and reading it over and over would stall the program.
constexpr std::size_t k_max_file_size = 4 * 1024 * 1024;

// Reads a whole file. Missing when it does not exist; Failed when it exists
// but cannot be read (no permission, an I/O error), is not a regular file
// (a folder, or a pipe that would block) or is far too large.
ReadStatus read_file(const std::string& path, std::string& content)
{
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > k_max_file_size) {
        ::close(fd);
        return ReadStatus::Failed;
    }
    char buffer[8192];
    ReadStatus status = ReadStatus::Ok;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            status = ReadStatus::Failed;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > k_max_file_size) {
            status = ReadStatus::Failed;
            break;
        }
    }
    ::close(fd);
    return status;
}

std::optional<Document> load(const std::string& file_name)
{
    std::string content;
    if (read_file(file_name, content) != ReadStatus::Ok)
        return std::nullopt;
    return split_lines(content);
}

bool has_line_break_or_zero(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool storable(std::string_view section, std::string_view key, std::string_view value)
{
    if (has_line_break_or_zero(section) || has_line_break_or_zero(key) ||
        has_line_break_or_zero(value))
        return false;
    if (section.find(']') != std::string_view::npos)
        return false;
    const std::string_view k = trim(key);
    return !k.empty() && k.find('=') == std::string_view::npos && k.front() != '[';
}

// Only an ending with a line feed ends a line for the reader: a lone CR is
// what is left of one at the very end of a file cut short.
bool ends_line(const Line& line)
{
    return line.ending.find('\n') != std::string::npos;
}

std::string default_line_ending(const Document& doc)
{
    for (const Line& line : doc.lines) {
        if (ends_line(line))
            return line.ending;
    }
#ifdef _WIN32
    return "\r\n";
#else
    return "\n";
#endif
}

// Sets key to the value text stored, as it goes into the line.
void set_value(Document& doc, std::string_view section, std::string_view key,
               const std::string& stored)
{
    const std::string eol = default_line_ending(doc);
    auto span = find_section(doc, section);
    if (!span) {
        if (!doc.lines.empty() && !ends_line(doc.lines.back()))
            doc.lines.back().ending = eol;
        if (!doc.lines.empty() && !trim(doc.lines.back().text).empty())
            doc.lines.push_back(Line{"", eol});
        doc.lines.push_back(Line{"[" + std::string(section) + "]", eol});
        doc.lines.push_back(Line{std::string(key) + "=" + stored, eol});
        return;
    }
    if (const auto at = find_key(doc, *span, key)) {
        // Keep the key as the file spells it; only the value changes.
        std::string& text = doc.lines[*at].text;
        text = text.substr(0, text.find('=') + 1) + stored;
        return;
    }
    // After the section's last non-blank line, so that blank lines that
    // part it from the next section stay where they are.
    std::size_t insert_at = span->first;
    for (std::size_t i = span->first; i < span->end; ++i) {
        if (!trim(doc.lines[i].text).empty())
            insert_at = i + 1;
    }
    Line& before = doc.lines[insert_at - 1];
    if (!ends_line(before))
        before.ending = eol;
    doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(insert_at),
                     Line{std::string(key) + "=" + stored, eol});
}

bool has_write_bit(const struct stat& st)
{
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The file that a write replaces: a symbolic link is followed, so that the
// link stays and its target gets the new content.
std::string write_target(const std::string& file_name)
{
    char* resolved = ::realpath(file_name.c_str(), nullptr);
    if (!resolved)
        return file_name;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

// The permission bits a new file gets from open() with 0666. The umask is
// read from /proc rather than by setting it, which would change it for a
// moment under the feet of other threads.
mode_t new_file_mode()
{
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(status);
    }
    return static_cast<mode_t>(0666 & ~mask);
}

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes content to a temporary file beside target and renames it over
// target. The temporary file is removed on every failure.
bool replace_file(const std::string& target, std::string_view content, const struct stat* old)
{
    TempFile temp;
    if (!temp.create(folder_part(target), 0600))
        return false;
    const int fd = temp.fd();
    bool ok = write_all(fd, content);
    if (ok && old) {
        ok = ::fchmod(fd, old->st_mode & 07777) == 0;
        // Keep the owner when an administrator rewrites a user's file; a
        // failure to do so is not worth losing the settings for.
        if (ok && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()))
            (void)::fchown(fd, old->st_uid, old->st_gid);
    } else if (ok) {
        ok = ::fchmod(fd, new_file_mode()) == 0;
    }
    return ok && ::fsync(fd) == 0 && temp.place(target, IfExists::Replace);
}

} // namespace

namespace {

// The value text of key in section without the blanks around it; nothing
// when the file, the section or the key is missing.
std::optional<std::string> raw_profile_value(std::string_view section, std::string_view key,
                                             const std::string& file_name)
{
    const auto doc = load(file_name);
    if (!doc)
        return std::nullopt;
    const auto span = find_section(*doc, section);
    if (!span)
        return std::nullopt;
    const auto at = find_key(*doc, *span, key);
    if (!at)
        return std::nullopt;
    return std::string(raw_value(doc->lines[*at].text));
}

} // namespace

std::string read_profile_string(std::string_view section, std::string_view key,
                                std::string_view default_value, const std::string& file_name,
                                std::size_t max_bytes)
{
    const auto raw = raw_profile_value(section, key, file_name);
    const std::string value = raw ? std::string(unquote(*raw)) : std::string(default_value);
    return value.substr(0, max_bytes);
}

std::string read_profile_text(std::string_view section, std::string_view key,
                              std::string_view default_value, const std::string& file_name,
                              std::size_t max_bytes)
{
    const auto raw = raw_profile_value(section, key, file_name);
    if (!raw)
        return std::string(default_value.substr(0, max_bytes));
    const auto escaped = unescaped_value(*raw);
    const std::string value = escaped ? *escaped : std::string(unquote(*raw));
    return value.substr(0, max_bytes);
}

std::optional<int> parse_profile_int(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t value = 0;
        for (const char c : text.substr(2)) {
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return std::nullopt;
            value = value * 16 + static_cast<std::uint64_t>(digit);
            if (value > 0xFFFFFFFFu)
                return std::nullopt;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t{0x80000000})
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

int read_profile_int(std::string_view section, std::string_view key, int default_value,
                     const std::string& file_name)
{
    // A value is "absent" and a present empty value is not a number: both
    // give the default.
    const std::string text = read_profile_string(section, key, "", file_name);
    return parse_profile_int(text).value_or(default_value);
}

namespace {

// Sets key to the value text stored; the checks of write_profile_string.
bool write_stored(std::string_view section, std::string_view key, const std::string& stored,
                  const std::string& file_name)
{
    const std::string target = write_target(file_name);
    if (!folder_is_writable(folder_of(target)))
        return false;

    struct stat st
    {
    };
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists &&
        (!S_ISREG(st.st_mode) || !has_write_bit(st) || ::access(target.c_str(), W_OK) != 0))
        return false;

    std::string content;
    const ReadStatus status = read_file(target, content);
    if (status == ReadStatus::Failed || (status == ReadStatus::Ok) != exists)
        return false;
    Document doc = split_lines(content);
    set_value(doc, section, key, stored);
    const std::string updated = join_lines(doc);
    if (exists && updated == content)
        return true;
    return replace_file(target, updated, exists ? &st : nullptr);
}

} // namespace

bool write_profile_string(std::string_view section, std::string_view key, std::string_view value,
                          const std::string& file_name)
{
    if (!storable(section, key, value))
        return false;
    return write_stored(section, key, stored_value(value), file_name);
}

bool write_profile_text(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& file_name)
{
    if (!has_line_break_or_zero(value))
        return write_profile_string(section, key, value, file_name);
    if (!storable(section, key, {}))
        return false;
    return write_stored(section, key, escaped_value(value), file_name);
}

bool folder_is_writable(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return has_write_bit(st) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

IniWriteError::IniWriteError(const std::string& file_name, const std::string& key)
    : std::runtime_error("cannot write \"" + key + "\" to " + file_name), m_key(key)
{
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_value) const
{
    return read_profile_string(section, key, default_value, m_file_name);
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int default_value) const
{
    return read_profile_int(section, key, default_value, m_file_name);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const
{
    return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    if (!write_profile_string(section, key, value, m_file_name))
        throw IniWriteError(m_file_name, std::string(key));
}

std::string IniFile::ReadText(std::string_view section, std::string_view key,
                              std::string_view default_value) const
{
    return read_profile_text(section, key, default_value, m_file_name);
}

void IniFile::WriteText(std::string_view section, std::string_view key, std::string_view value)
{
    if (!write_profile_text(section, key, value, m_file_name))
        throw IniWriteError(m_file_name, std::string(key));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

} // namespace platform
