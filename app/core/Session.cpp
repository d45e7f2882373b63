#include "app/core/Session.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace zumo {

bool x_server_answers()
{
#ifdef _WIN32
    return true;
#else
    // The three calls of libxcb that open and close a connection, so that
    // the test is the one Qt's X platform makes (display name, screen,
    // authority file).
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr)
        return true;
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = true;
    if (connect && has_error && disconnect) {
        void* connection = connect(nullptr, nullptr);
        // A failed connect still returns an error object that must be freed.
        answers = connection != nullptr && has_error(connection) == 0;
        if (connection != nullptr)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return answers;
#endif
}

PrivateRuntimeFolder::PrivateRuntimeFolder()
{
#ifndef _WIN32
    const char* set = std::getenv("XDG_RUNTIME_DIR");
    if (set != nullptr && *set != '\0')
        return;
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        base = "/tmp";
    std::string pattern = (base / "zumo-runtime-XXXXXX").string();
    // mkdtemp makes the folder with mode 0700, as the variable requires.
    if (::mkdtemp(pattern.data()) == nullptr)
        return;
    m_path = pattern;
    ::setenv("XDG_RUNTIME_DIR", m_path.c_str(), 1);
#endif
}

PrivateRuntimeFolder::~PrivateRuntimeFolder()
{
    if (m_path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace zumo
