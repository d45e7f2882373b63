#include "rename/NumberedNames.h"

#include "platform/path.h"

#include <cstdio>

namespace zumo {
namespace {

constexpr int k_last_number = 9999;
constexpr int k_digits = 4;

std::string dotted(const std::string& ext)
{
    return ext.empty() || ext[0] == '.' ? ext : "." + ext;
}

std::string numbered(const std::string& base, int number, const std::string& ext)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%.04d", number);
    return base + digits + ext;
}

// The number "0001".."9999" that name holds between lead and ext, or 0.
int number_in(std::string_view name, std::string_view lead, std::string_view ext)
{
    if (name.size() != lead.size() + k_digits + ext.size() ||
        !platform::equal_ignoring_ascii_case(name.substr(0, lead.size()), lead) ||
        !platform::equal_ignoring_ascii_case(name.substr(lead.size() + k_digits), ext))
        return 0;
    int number = 0;
    for (const char c : name.substr(lead.size(), k_digits)) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

bool has_separator(const std::string& s)
{
    return platform::file_name_part(s) != s;
}

} // namespace

NumberedNames::NumberedNames(NameTaken taken) : m_taken(std::move(taken)) {}

NumberedNames::FolderKey NumberedNames::folder_key(const std::string& folder)
{
    if (const auto id = platform::file_id(folder.empty() ? std::string(".") : folder))
        return *id;
    return folder;
}

std::string NumberedNames::Next(const std::string& folder, const std::string& lead,
                                const std::string& ext)
{
    const std::string base = folder + lead;
    const std::string tail = dotted(ext);
    // A lead may reach into a subfolder ("sub/new"): the names live where
    // base points. An extension that does would make the numbers folders
    // of their own; such names are searched from the start every time.
    int from_start = 1;
    int& first_free = has_separator(tail)
                          ? from_start
                          : m_first_free
                                .try_emplace(Key{folder_key(platform::folder_part(base)),
                                                 platform::file_name_part(base), tail},
                                             1)
                                .first->second;
    for (; first_free <= k_last_number; ++first_free) {
        std::string candidate = numbered(base, first_free, tail);
        if (!m_taken(candidate))
            return candidate;
    }
    return Full(folder, lead, ext);
}

std::string NumberedNames::Full(const std::string& folder, const std::string& lead,
                                const std::string& ext)
{
    return folder + lead + "FULL" + dotted(ext);
}

void NumberedNames::Freed(const std::string& path)
{
    const FolderKey folder = folder_key(platform::folder_part(path));
    const std::string name = platform::file_name_part(path);
    for (auto& [key, first_free] : m_first_free) {
        if (key.folder != folder)
            continue;
        const int number = number_in(name, key.lead, key.ext);
        if (number > 0 && number < first_free)
            first_free = number;
    }
}

} // namespace zumo
