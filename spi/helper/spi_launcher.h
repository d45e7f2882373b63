// Which helper process serves a plug-in file, and how it is started.
//
// A plug-in library runs in a helper process of its own (zumo-spi-host),
// so that a plug-in that crashes or hangs takes only its helper down. The
// launcher looks at the file's first bytes and gives the command line of
// the helper that can load it:
//   - an ELF shared object: the native helper, "zumo-spi-host PLUGIN";
//   - a Windows DLL: WindowsHelperCommand (spi_launcher_windows.cpp).
// Anything else is no library: no helper, and the search skips the file as
// it skips any file that cannot be loaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zumo {

struct HelperCommand
{
    // argv[0] is the program to run, a full path.
    std::vector<std::string> argv;
    // "NAME=value" entries set on top of the program's own environment.
    std::vector<std::string> environment;
    // How long the helper may take to start (its Ready), when that is longer
    // than the timeout of a request: Wine starts its server and loads the
    // Windows system libraries first.
    std::chrono::milliseconds start_timeout{0};
    // Wine serves the plug-in: file names go to the helper as
    // wine::NameForWine gives them, and the helper reports the plug-in by
    // the name it was handed.
    bool wine_names = false;
    // The helper takes --blocks-socket (the native one): pictures come back
    // in shared memory where the system allows.
    bool shared_blocks = false;
};

// Bytes of a plug-in file the launchers look at.
constexpr std::size_t k_launcher_head_size = 4096;

// The command for the plug-in at path, or none when no helper serves it.
std::optional<HelperCommand> HelperCommandFor(const std::string& path);

// Why no helper can serve the plug-in at path here now, in the one line
// HelperCommandFor would print; "" when one can as far as the files tell.
// Starts nothing (cheap enough for every cached plug-in at every start).
std::string HelperUnavailableReason(const std::string& path);

// Prints line and a newline on standard error the first time this run
// asks for it: a plug-in that cannot be served says so once, not at
// every picture.
void SayOnce(const std::string& line);

// The launchers by kind of file; head holds up to k_launcher_head_size
// bytes of the file's start.
std::optional<HelperCommand> NativeHelperCommand(const std::string& path,
                                                 std::span<const std::uint8_t> head);
// A Windows DLL ("MZ", PE header): the Windows helper under Wine. When that
// cannot run here it says so on standard error (once) and gives none.
std::optional<HelperCommand> WindowsHelperCommand(const std::string& path,
                                                  std::span<const std::uint8_t> head);
// What HelperUnavailableReason says of a Windows DLL; "" for other files.
std::string WindowsHelperUnavailableReason(const std::string& path,
                                           std::span<const std::uint8_t> head);

// The full path of a helper program named name: $ZUMO_SPI_HOST_DIR/name,
// the program's folder, or ../lib/zumo from it (an installation); "" when
// none of them holds it.
std::string FindHelperProgram(const std::string& name);

} // namespace zumo
