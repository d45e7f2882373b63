// Feeds an arbitrary settings file and arbitrary section, key and value
// texts to the INI reader and writer, and checks what the settings rely on:
// - a read never returns more than the byte limit;
// - the integer rule agrees with a plain decimal/hexadecimal reading;
// - a write that succeeds reads back byte for byte (up to the limit) and
//   leaves every other key's value as it was;
// - a write that fails leaves the file byte for byte as it was.
#include "fuzz/fuzz_check.h"
#include "platform/ini.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <unistd.h>

namespace {

const std::string& scratch_file()
{
    static const std::string file = [] {
        // A memory file system when there is one: every write is flushed
        // to the disk, which would otherwise bound the runs per second.
        std::error_code error;
        const std::string parent = std::filesystem::is_directory("/dev/shm", error)
                                       ? std::string("/dev/shm")
                                       : std::filesystem::temp_directory_path().string();
        std::string templ = parent + "/fuzz-ini-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr)
            std::abort();
        static const std::string folder = templ;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
        return templ + "/zumo.ini";
    }();
    return file;
}

void put_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string file_content(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Digits after leading zeros, as a number, when it fits 64 bits.
std::optional<std::uint64_t> digits_value(std::string_view digits, int base)
{
    if (digits.empty())
        return std::nullopt;
    while (digits.size() > 1 && digits.front() == '0')
        digits.remove_prefix(1);
    if (digits.size() > 15)
        return std::uint64_t{1} << 62; // too large for 32 bits either way
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::optional<int> expected_int(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string_view digits = text.substr(2);
        // from_chars accepts no sign here, but be explicit about it.
        if (digits.find_first_of("+-") != std::string_view::npos)
            return std::nullopt;
        const auto value = digits_value(digits, 16);
        if (!value || *value > 0xFFFFFFFFu)
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.find_first_of("+-") != std::string_view::npos)
        return std::nullopt;
    const auto value = digits_value(text, 10);
    if (!value)
        return std::nullopt;
    const std::int64_t signed_value =
        negative ? -static_cast<std::int64_t>(*value) : static_cast<std::int64_t>(*value);
    if (signed_value < INT32_MIN || signed_value > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(signed_value);
}

bool same_name(std::string_view a, std::string_view b)
{
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        return s;
    };
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Fields fields(data, size);
    const std::string section = fields.take(24);
    const std::string key = fields.take(24);
    const std::string value = fields.take(2600);
    const std::string other_section = fields.take(24);
    const std::string other_key = fields.take(24);
    const std::string content = fields.rest();
    const std::string& file = scratch_file();
    put_file(file, content);

    const std::string read = platform::read_profile_string(section, key, "\x01", file);
    FUZZ_CHECK(read.size() <= platform::k_profile_string_max);
    FUZZ_CHECK(platform::parse_profile_int(read) == expected_int(read));
    FUZZ_CHECK(platform::parse_profile_int(value) == expected_int(value));

    const std::string other_before =
        platform::read_profile_string(other_section, other_key, "\x01", file);
    const bool written = platform::write_profile_string(section, key, value, file);
    if (!written) {
        FUZZ_CHECK(file_content(file) == content);
        return 0;
    }
    const std::string back = platform::read_profile_string(section, key, "\x01", file);
    FUZZ_CHECK(back == value.substr(0, platform::k_profile_string_max));
    if (!(same_name(section, other_section) && same_name(key, other_key))) {
        FUZZ_CHECK(platform::read_profile_string(other_section, other_key, "\x01", file) ==
                   other_before);
    }
    // A second write of the same value changes nothing.
    const std::string after_first = file_content(file);
    FUZZ_CHECK(platform::write_profile_string(section, key, value, file));
    FUZZ_CHECK(file_content(file) == after_first);
    return 0;
}
