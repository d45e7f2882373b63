// The helper's side of the plug-in protocol: load one plug-in library and
// answer the program's requests with it until Shutdown or the end of input.
// Portable C++: what depends on the operating system (loading a library,
// the plug-ins' local-memory handles, the form of file names the plug-in
// expects) comes in through HostSystem; the channel through Channel.
#pragma once

#include "spi/host/spi_protocol.h"
#include "spi/susie_plugin.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zumo::spihost {

// One loaded plug-in library.
class PluginLibrary
{
public:
    virtual ~PluginLibrary() = default;
    // Null when the library exports no entry of that exact name.
    virtual void* symbol(const char* name) = 0;
    // The full path the loader reports, in the program's form (UTF-8); ""
    // when it reports none.
    virtual std::string file_name() = 0;
};

class HostSystem
{
public:
    virtual ~HostSystem() = default;
    // Null when the file cannot be loaded as a library of this platform.
    virtual std::unique_ptr<PluginLibrary> load(const std::string& path) = 0;
    // A file name from the program (UTF-8, POSIX form) in the form and code
    // page the plug-in expects.
    virtual std::string plugin_path(const std::string& path) = 0;
    // A text from the plug-in (its information texts) in the program's
    // form (UTF-8): Windows plug-ins write the ANSI code page.
    virtual std::string program_text(const std::string& text) { return text; }
    // The plug-ins' local-memory handles.
    virtual const void* lock(susie_handle handle) = 0;
    virtual void unlock(susie_handle handle) = 0;
    virtual std::size_t size(susie_handle handle) = 0;
    virtual void free(susie_handle handle) = 0;
    // Hands a picture's two blocks to the program beside the channel (shared
    // memory) just before the reply that announces them; false when this
    // helper cannot or may not, and the blocks go in the reply.
    virtual bool share_blocks(std::span<const std::uint8_t> /*info*/,
                              std::span<const std::uint8_t> /*bits*/)
    {
        return false;
    }
};

// Loads the library at path, sends Ready and serves requests. Returns the
// exit status for the helper: 0 after Shutdown or the end of input, 1 when
// the library could not be loaded, 2 after a malformed request.
int serve(Channel& channel, HostSystem& system, const std::string& path);

} // namespace zumo::spihost
