// zumo-spi-host32.exe / zumo-spi-host64.exe: serve one Windows plug-in
// library (a 32-bit ".spi" or a 64-bit ".sph") to zumo over standard input
// and output, run by Wine.
//
//     zumo-spi-host64.exe PLUGIN
//
// PLUGIN and every file name in the requests are the program's POSIX paths
// (UTF-8); the plug-in gets them in Wine's drive form in the process's ANSI
// code page (wine_paths.h), and its texts go back in UTF-8. Standard output
// belongs to the protocol: a plug-in that prints lands on standard error.
// A plug-in that crashes ends the helper with one line on standard error
// and exit status 3, never in Wine's debugger.
#include "spi/host/spi_serve.h"
#include "spi/windows/wine_paths.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

using namespace zumo::spihost;

constexpr UINT k_crash_status = 3;

class HandleChannel : public Channel
{
public:
    HandleChannel(HANDLE in, HANDLE out) : m_in(in), m_out(out) {}

    bool read_exact(void* buffer, std::size_t count) override
    {
        auto* p = static_cast<char*>(buffer);
        while (count > 0) {
            DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
            DWORD read = 0;
            if (!ReadFile(m_in, p, chunk, &read, nullptr) || read == 0)
                return false;
            p += read;
            count -= read;
        }
        return true;
    }

    bool write_all(const void* buffer, std::size_t count) override
    {
        auto* p = static_cast<const char*>(buffer);
        while (count > 0) {
            DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
            DWORD written = 0;
            if (!WriteFile(m_out, p, chunk, &written, nullptr) || written == 0)
                return false;
            p += written;
            count -= written;
        }
        return true;
    }

private:
    HANDLE m_in;
    HANDLE m_out;
};

class DllLibrary : public PluginLibrary
{
public:
    DllLibrary(HMODULE module, std::string path) : m_module(module), m_path(std::move(path)) {}
    ~DllLibrary() override { FreeLibrary(m_module); }
    void* symbol(const char* name) override
    {
        return reinterpret_cast<void*>(GetProcAddress(m_module, name));
    }
    // The program names files by their POSIX paths; the path it handed
    // over names the library the loader took.
    std::string file_name() override { return m_path; }

private:
    HMODULE m_module;
    std::string m_path;
};

class WindowsSystem : public HostSystem
{
public:
    std::unique_ptr<PluginLibrary> load(const std::string& path) override
    {
        std::wstring dos = winhost::dos_path(path);
        if (dos.empty())
            return nullptr;
        // Libraries a plug-in brings along are found beside it.
        HMODULE module = LoadLibraryExW(dos.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module)
            return nullptr;
        return std::make_unique<DllLibrary>(module, path);
    }
    std::string plugin_path(const std::string& path) override { return winhost::plugin_path(path); }
    std::string program_text(const std::string& text) override
    {
        return winhost::utf8_from_ansi(text);
    }
    const void* lock(susie_handle handle) override { return handle ? LocalLock(handle) : nullptr; }
    void unlock(susie_handle handle) override
    {
        if (handle)
            LocalUnlock(handle);
    }
    std::size_t size(susie_handle handle) override { return handle ? LocalSize(handle) : 0; }
    void free(susie_handle handle) override
    {
        if (handle)
            LocalFree(handle);
    }
};

LONG WINAPI on_crash(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "zumo-spi-host: the plug-in crashed (exception 0x%08lX)\n",
                 exception && exception->ExceptionRecord
                     ? static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode)
                     : 0ul);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), k_crash_status);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The protocol's handles, taken off standard input and output, which then
// read nothing and write to standard error (for the Win32 handles and for
// the C library's descriptors alike).
bool take_standard_handles(HANDLE& in, HANDLE& out)
{
    HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &in, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        !DuplicateHandle(process, GetStdHandle(STD_OUTPUT_HANDLE), process, &out, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    std::fflush(stdout);
    int null = _open("NUL", _O_RDONLY | _O_BINARY);
    if (null < 0 || _dup2(null, 0) != 0 || _dup2(2, 1) != 0)
        return false;
    _close(null);
    SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(0)));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    return true;
}

std::string utf8(const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), length, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: zumo-spi-host%d.exe PLUGIN\n"
                     "Serves one Windows Susie plug-in to zumo over standard input and "
                     "output, under Wine.\n",
                     static_cast<int>(sizeof(void*) * 8));
        return 64;
    }
    // No message boxes for a missing DLL or a crash: nobody would see them.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(on_crash);
    HANDLE in = nullptr;
    HANDLE out = nullptr;
    if (!take_standard_handles(in, out)) {
        std::fprintf(stderr, "zumo-spi-host: no standard input and output\n");
        return 71;
    }
    HandleChannel channel(in, out);
    WindowsSystem system;
    return serve(channel, system, utf8(argv[1]));
}
