#include "platform/dynlib.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

LibraryHandle load_library(const std::string& path)
{
    return ::LoadLibraryA(path.c_str());
}

void* library_symbol(LibraryHandle library, const char* name)
{
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string library_file_name(LibraryHandle library)
{
    char buffer[256] = {};
    DWORD length = ::GetModuleFileNameA(static_cast<HMODULE>(library), buffer, 255);
    return length == 0 ? std::string() : std::string(buffer, length);
}

void free_library(LibraryHandle library)
{
    if (library)
        ::FreeLibrary(static_cast<HMODULE>(library));
}

#else

LibraryHandle load_library(const std::string& path)
{
    if (path.empty())
        return nullptr; // dlopen("") would hand back the program itself
    // A name without a folder means a file in the current folder, as the
    // search hands it over, not a look-up in the loader's library path.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // Local binding keeps the plug-ins' identical entry names apart.
    return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* library_symbol(LibraryHandle library, const char* name)
{
    if (!library || !name)
        return nullptr;
    return ::dlsym(library, name);
}

std::string library_file_name(LibraryHandle library)
{
    if (!library)
        return {};
    link_map* map = nullptr;
    if (::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
        return {};
    std::string name = map->l_name;
    if (name.front() == '/')
        return name;
    // The loader keeps the path as it was given; make it full as the Windows
    // loader does, so that the same file is recognised from any folder.
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        return name;
    std::string full = cwd;
    if (full.back() != '/')
        full += '/';
    if (name.starts_with("./"))
        name.erase(0, 2);
    return full + name;
}

void free_library(LibraryHandle library)
{
    if (library)
        ::dlclose(library);
}

#endif

} // namespace platform
