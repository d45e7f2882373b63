#include "spi/windows/wine_paths.h"

#include <windows.h>

#include <vector>

namespace winhost {
namespace {

std::wstring widen(const std::string& text, UINT code_page, DWORD flags)
{
    if (text.empty())
        return {};
    int length = MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// "" when the code page lacks a character of the text (no best-fit
// look-alikes: "\" for a yen sign would name another file).
std::string narrow(const std::wstring& text, UINT code_page)
{
    if (text.empty())
        return {};
    const bool utf8 = code_page == CP_UTF8;
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    int length = WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, utf8 ? nullptr : &lossy);
    if (length <= 0 || lossy)
        return {};
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

using DosFileName = WCHAR*(CDECL*)(const char*);

// Wine's own conversion, exported by its kernel32; absent on Windows.
DosFileName wine_dos_file_name()
{
    static const DosFileName function = reinterpret_cast<DosFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    return function;
}

} // namespace

std::wstring dos_path(const std::string& posix_path)
{
    if (posix_path.empty())
        return {};
    if (DosFileName convert = wine_dos_file_name()) {
        WCHAR* converted = convert(posix_path.c_str());
        if (!converted)
            return {};
        std::wstring path(converted);
        HeapFree(GetProcessHeap(), 0, converted);
        return path;
    }
    std::wstring path = widen(posix_path, CP_UTF8, MB_ERR_INVALID_CHARS);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::string plugin_path(const std::string& posix_path)
{
    std::wstring path = dos_path(posix_path);
    if (path.empty())
        return {};
    if (std::string ansi = narrow(path, CP_ACP); !ansi.empty())
        return ansi;
    DWORD length = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (length == 0)
        return {};
    std::vector<wchar_t> buffer(length);
    length = GetShortPathNameW(path.c_str(), buffer.data(), length);
    if (length == 0 || length >= buffer.size())
        return {};
    return narrow(std::wstring(buffer.data(), length), CP_ACP);
}

std::string utf8_from_ansi(const std::string& text)
{
    return narrow(widen(text, CP_ACP, 0), CP_UTF8);
}

} // namespace winhost
