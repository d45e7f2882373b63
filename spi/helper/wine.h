// Windows plug-ins under Wine: telling a Windows plug-in library from other
// files, and starting the Windows build of the plug-in helper that serves
// it (zumo-spi-host32.exe for 32-bit ".spi", zumo-spi-host64.exe for
// 64-bit ".sph") with Wine.
//
// The helper runs headless (no DISPLAY, no Wayland), in a Wine prefix of
// zumo's own under $XDG_CACHE_HOME/zumo (one per architecture, made by
// wineboot on first use), without Wine's debug output, Mono/Gecko prompts
// or menu entries, and in the Japanese locale, so that the process's ANSI
// code page is 932 as Japanese plug-ins expect. Where the system lacks the
// ja_JP.UTF-8 locale, a private copy is compiled into the cache folder with
// localedef; without that, the helper runs in C.UTF-8 (code page 1252) and
// hands plug-ins the short names of files whose names that code page lacks.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zumo::wine {

enum class WindowsLibrary {
    None,  // not a Windows DLL
    X86,   // a 32-bit (i386) DLL: a classic ".spi"
    X64,   // a 64-bit (x86-64) DLL: a ".sph"
    Other, // a DLL for another processor
};

// How many first bytes of a file Classify needs at most.
inline constexpr std::size_t k_probe_size = 4096;

// What the DOS and PE headers at the start of a file say; head holds the
// file's first bytes (all of them for a shorter file).
WindowsLibrary Classify(std::span<const std::uint8_t> head);
// The same for a file; None when it cannot be read.
WindowsLibrary ClassifyFile(const std::string& path);

int Bits(WindowsLibrary kind); // 32, 64, or 0

// The file name of the helper for an architecture ("zumo-spi-host32.exe").
std::string HelperName(WindowsLibrary kind);

// Why a Windows plug-in of this kind cannot be served on this machine, in
// one line that names the plug-in and says what to install; "" when it can.
// helper is the full path of the Windows helper, "" when there is none.
// Only looks at files (cheap enough for every start).
std::string UnavailableReason(const std::string& plugin, WindowsLibrary kind,
                              const std::string& helper);

// Whether Wine is here and starts programs of this kind (a 32-bit loader
// cannot start where the kernel runs no 32-bit programs). Starts the loader
// once per kind and process to find out.
bool CanRun(WindowsLibrary kind);

struct Command
{
    std::vector<std::string> argv;        // argv[0] a full path
    std::vector<std::string> environment; // "NAME=value" on top of the program's
};

// The command that starts helper for a Windows plug-in, after making sure
// the Wine prefix exists: the first use runs wineboot, which takes tens of
// seconds, under a lock so that two programs never build it at once.
// Throws std::runtime_error when Wine cannot run programs of this kind or
// the prefix cannot be made.
Command HelperCommand(const std::string& plugin, WindowsLibrary kind, const std::string& helper);

// The name under which Wine opens the file at path. Wine reads Unix names
// as UTF-8 and turns every byte that is not into U+FFFD, so that "caf\xE9"
// and "caf\xE8" would both be "caf\uFFFD" to it and it would open whichever
// it met first; and it opens no file whose name holds a character Windows
// names lack (\ : * ? " < > |) or ends in a dot or a space. A path Wine
// opens as it is is its own name; any other gets a symbolic link of this
// process with a name Wine takes (the folder linked when only the folder's
// name is the trouble, so that libraries beside a plug-in stay beside it),
// removed when the program ends. "" when no link can be made.
std::string NameForWine(const std::string& path);

// How long the first-use preparation (locale and wineboot) may take.
inline constexpr std::chrono::seconds k_prepare_timeout{300};
// How long a helper may take to start once the prefix exists: some seconds
// when Wine's server has to start, a fraction of one when it runs.
inline constexpr std::chrono::seconds k_start_timeout{60};

} // namespace zumo::wine
