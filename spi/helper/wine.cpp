#include "spi/helper/wine.h"

#include "platform/file_ops.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zumo::wine {
namespace {

std::uint32_t u16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at)
{
    return u16(b, at) | u16(b, at + 2) << 16;
}

bool executable(const std::string& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string find_in_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= folders.size()) {
        std::size_t end = folders.find(':', begin);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = folders.substr(begin, end - begin);
        if (!folder.empty() && executable(folder + "/" + name))
            return folder + "/" + name;
        begin = end + 1;
    }
    return {};
}

// Wine's loader for programs of this kind: $WINELOADER when set. Debian keeps the two loaders in
// /usr/lib/wine and its "wine" script takes the 32-bit one whenever it is
// installed, so a 64-bit helper is started by "wine64" itself. A Wine that
// runs both kinds with one loader (new WoW64, WineHQ builds) answers to
// "wine".
std::string find_loader(WindowsLibrary kind)
{
    // Wine's own way to name the loader it starts programs with.
    if (const char* loader = std::getenv("WINELOADER"); loader && *loader)
        return executable(loader) ? loader : std::string();
    if (kind == WindowsLibrary::X64) {
        if (std::string found = find_in_path("wine64"); !found.empty())
            return found;
        if (executable("/usr/lib/wine/wine64"))
            return "/usr/lib/wine/wine64";
    } else if (executable("/usr/lib/wine/wine")) {
        return "/usr/lib/wine/wine";
    }
    return find_in_path("wine");
}

std::string cache_folder()
{
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/zumo";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/zumo";
}

bool make_folders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return platform::folder_exists(path);
    }
}

// Runs argv with the extra environment until it ends or the deadline
// passes (then it is killed). True when it exited with status 0.
bool run(const std::vector<std::string>& argv, std::chrono::steady_clock::duration limit)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Wine's first start talks on both outputs; the program's stay clean.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int failed = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Holds an exclusive lock on a file for its lifetime.
class FileLock
{
public:
    explicit FileLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

bool system_has_locale(const char* name)
{
    locale_t locale = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
    if (!locale)
        return false;
    ::freelocale(locale);
    return true;
}

// The environment that selects the Japanese code page: the system's
// ja_JP.UTF-8, else a private copy compiled with localedef into the cache
// (LOCPATH), else C.UTF-8. Wine takes the ANSI code page from the locale's
// name but file names from its character set, so a name that the system
// cannot load would garble every non-ASCII file name.
std::vector<std::string> locale_environment(const std::string& cache)
{
    static const char* const k_locale = "ja_JP.UTF-8";
    if (system_has_locale(k_locale))
        return {std::string("LC_ALL=") + k_locale};
    const std::string folder = cache + "/locale";
    const std::string compiled = folder + "/" + k_locale;
    if (!platform::file_exists(compiled + "/LC_CTYPE")) {
        std::string localedef = find_in_path("localedef");
        if (!localedef.empty() && make_folders(folder))
            run({localedef, "-i", "ja_JP", "-f", "UTF-8", compiled}, k_prepare_timeout);
    }
    if (platform::file_exists(compiled + "/LC_CTYPE"))
        return {"LOCPATH=" + folder, std::string("LC_ALL=") + k_locale};
    return {"LC_ALL=C.UTF-8"};
}

// Runs a program of this kind under Wine: false when the kernel cannot
// start the loader at all (a 32-bit loader where 32-bit programs are
// switched off).
bool loader_runs(const std::string& loader)
{
    static std::vector<std::pair<std::string, bool>> known;
    for (const auto& [path, runs] : known)
        if (path == loader)
            return runs;
    bool runs = run({loader, "--version"}, std::chrono::seconds(30));
    known.emplace_back(loader, runs);
    return runs;
}

// The length of the UTF-8 sequence at text[at] (overlong forms,
// surrogates and code points past U+10FFFF count as invalid): 0 when it is
// not one.
std::size_t utf8_length(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// A character no Windows name holds: Wine cannot open a file whose Unix
// name has one.
bool not_in_windows_names(unsigned char c)
{
    return c < 0x20 || std::strchr("\\:*?\"<>|", c) != nullptr;
}

// Whether Wine opens the file by this path as it is: UTF-8 without a
// character Windows names lack, and no name ending in a dot or a space
// (Windows drops those).
bool wine_opens(const std::string& path)
{
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = utf8_length(path, at);
        if (length == 0 || (length == 1 && not_in_windows_names(path[at])))
            return false;
        at += length;
    }
    for (std::size_t begin = 0; begin <= path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        const std::string_view name(path.data() + begin, end - begin);
        if (!name.empty() && name != "." && name != ".." &&
            (name.back() == '.' || name.back() == ' '))
            return false;
        begin = end + 1;
    }
    return true;
}

// The name with "_" for every byte Wine cannot take and for a final dot or
// space: readable in a plug-in's messages, and with its extension, which
// plug-ins look at.
std::string stand_in_name(const std::string& name)
{
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = utf8_length(name, at);
        const bool kept = length > 1 || (length == 1 && !not_in_windows_names(name[at]));
        out += kept ? name.substr(at, length) : "_";
        at += kept ? length : 1;
    }
    if (out.back() == '.' || out.back() == ' ')
        out.back() = '_';
    return out;
}

// The links NameForWine hands out, in a folder of this process under the
// temporary folder.
class WineLinks
{
public:
    ~WineLinks()
    {
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored); // the links, not what they name
        }
    }

    std::string For(std::string path)
    {
        std::lock_guard lock(m_mutex);
        if (path[0] != '/') {
            std::error_code error;
            path = std::filesystem::current_path(error).string() + "/" + path;
            if (error)
                return {};
        }
        const std::size_t slash = path.rfind('/');
        const std::string folder = path.substr(0, slash);
        const std::string name = path.substr(slash + 1);
        if (wine_opens(name)) {
            const std::string linked = Link(folder.empty() ? "/" : folder, {});
            return linked.empty() ? linked : linked + "/" + name;
        }
        return Link(path, stand_in_name(name));
    }

private:
    // A link to target: the numbered entry itself, or name in a numbered
    // folder when name is given.
    std::string Link(const std::string& target, const std::string& name)
    {
        if (auto known = m_links.find(target); known != m_links.end())
            return known->second;
        if (m_folder.empty()) {
            std::error_code error;
            std::string pattern =
                (std::filesystem::temp_directory_path(error) / "zumo-wine-names-XXXXXX").string();
            if (error || !wine_opens(pattern) || !::mkdtemp(pattern.data()))
                return {};
            m_folder = pattern;
        }
        std::string link = m_folder + "/" + std::to_string(m_links.size());
        if (!name.empty()) {
            if (::mkdir(link.c_str(), 0700) != 0)
                return {};
            link += "/" + name;
        }
        if (::symlink(target.c_str(), link.c_str()) != 0)
            return {};
        m_links.emplace(target, link);
        return link;
    }

    std::mutex m_mutex;
    std::string m_folder;
    std::map<std::string, std::string> m_links; // target -> link
};

} // namespace

std::string NameForWine(const std::string& path)
{
    if (path.empty() || wine_opens(path))
        return path;
    // The links go when the program ends; a helper that still runs then
    // keeps the library it loaded and the files it opened.
    static WineLinks links;
    return links.For(path);
}

WindowsLibrary Classify(std::span<const std::uint8_t> head)
{
    if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z')
        return WindowsLibrary::None;
    const std::uint32_t pe = u32(head, 0x3C);
    // Signature, file header (20 bytes) and the optional header's magic.
    if (pe < 4 || pe > head.size() || head.size() - pe < 4 + 20 + 2 ||
        std::memcmp(&head[pe], "PE\0\0", 4) != 0)
        return WindowsLibrary::None;
    const std::uint32_t machine = u16(head, pe + 4);
    const std::uint32_t characteristics = u16(head, pe + 22);
    const std::uint32_t magic = u16(head, pe + 24);
    constexpr std::uint32_t k_dll = 0x2000;
    if (!(characteristics & k_dll))
        return WindowsLibrary::None; // a program, not a library
    if (machine == 0x014C && magic == 0x10B)
        return WindowsLibrary::X86;
    if (machine == 0x8664 && magic == 0x20B)
        return WindowsLibrary::X64;
    return WindowsLibrary::Other;
}

WindowsLibrary ClassifyFile(const std::string& path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::open_file_for_reading(path),
                                                         std::fclose);
    if (!file)
        return WindowsLibrary::None;
    std::vector<std::uint8_t> head(k_probe_size);
    head.resize(std::fread(head.data(), 1, head.size(), file.get()));
    return Classify(head);
}

int Bits(WindowsLibrary kind)
{
    return kind == WindowsLibrary::X86 ? 32 : kind == WindowsLibrary::X64 ? 64 : 0;
}

std::string HelperName(WindowsLibrary kind)
{
    return "zumo-spi-host" + std::to_string(Bits(kind)) + ".exe";
}

std::string UnavailableReason(const std::string& plugin, WindowsLibrary kind,
                              const std::string& helper)
{
    const std::string what =
        "zumo: " + plugin + " is a " +
        (kind == WindowsLibrary::Other ? std::string("Windows")
                                       : std::to_string(Bits(kind)) + "-bit Windows") +
        " plug-in";
    if (kind == WindowsLibrary::Other)
        return what + " for another processor; only x86 and x86-64 plug-ins run under Wine";
    if (find_loader(kind).empty())
        return what + "; install Wine to use it (apt-get install " +
               (kind == WindowsLibrary::X86 ? "wine wine32:i386" : "wine wine64") + ")";
    if (helper.empty())
        return what + "; this zumo was built without " + HelperName(kind) +
               " (build it with mingw-w64: scripts/install-deps --wine)";
    return {};
}

bool CanRun(WindowsLibrary kind)
{
    const std::string loader = find_loader(kind);
    return !loader.empty() && loader_runs(loader);
}

Command HelperCommand(const std::string& plugin, WindowsLibrary kind, const std::string& helper)
{
    const std::string loader = find_loader(kind);
    if (!CanRun(kind))
        throw std::runtime_error(
            "Wine cannot run " + std::to_string(Bits(kind)) + "-bit programs here" +
            (kind == WindowsLibrary::X86 ? " (is wine32:i386 installed, and does the kernel run "
                                           "32-bit programs?)"
                                         : ""));
    const std::string cache = cache_folder();
    const std::string prefix = cache + "/wine" + std::to_string(Bits(kind));
    if (!make_folders(cache))
        throw std::runtime_error("cannot make the folder " + cache);
    Command command;
    // Headless whatever the session has: the helper opens no window.
    const std::string name = NameForWine(plugin);
    if (name.empty())
        throw std::runtime_error("no name Wine can open could be made for this plug-in (a link "
                                 "in the temporary folder)");
    command.argv = {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", loader, helper, name};
    command.environment = {"WINEPREFIX=" + prefix,
                           kind == WindowsLibrary::X86 ? "WINEARCH=win32" : "WINEARCH=win64",
                           "WINELOADER=" + loader, "WINEDEBUG=-all",
                           // No Mono or Gecko installer, no menu entries.
                           "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d"};
    // One program at a time makes the locale and the prefix.
    FileLock lock(cache + "/wine.lock");
    for (std::string& setting : locale_environment(cache))
        command.environment.push_back(std::move(setting));
    // Wine's server writes the registry some seconds after wineboot ends, so
    // a prefix counts as made by a mark of our own, set once wineboot
    // succeeded.
    const std::string made = prefix + "/zumo-wineboot-done";
    if (!platform::file_exists(made)) {
        std::vector<std::string> boot = {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY"};
        boot.insert(boot.end(), command.environment.begin(), command.environment.end());
        boot.insert(boot.end(), {loader, "wineboot", "--init"});
        std::fprintf(stderr,
                     "zumo: making the Wine prefix %s for Windows plug-ins (once; this takes some "
                     "tens of seconds)\n",
                     prefix.c_str());
        int mark = -1;
        if (!run(boot, k_prepare_timeout) ||
            (mark = ::open(made.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) < 0)
            throw std::runtime_error("wineboot could not make the Wine prefix " + prefix);
        ::close(mark);
    }
    return command;
}

} // namespace zumo::wine
