#include "spi/helper/spi_launcher.h"

#include "platform/file_ops.h"
#include "platform/path.h"
#include "spi/SPIs.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <unistd.h>
#include <utility>

namespace zumo {
namespace {

std::vector<std::uint8_t> read_head(const std::string& path)
{
    std::vector<std::uint8_t> head(k_launcher_head_size);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::open_file_for_reading(path),
                                                         std::fclose);
    if (!file)
        return {};
    head.resize(std::fread(head.data(), 1, head.size(), file.get()));
    return head;
}

bool is_executable(const std::string& path)
{
    return ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string FindHelperProgram(const std::string& name)
{
    std::vector<std::string> folders;
    if (const char* dir = std::getenv("ZUMO_SPI_HOST_DIR"); dir && *dir)
        folders.push_back(platform::include_trailing_separator(dir));
    std::string program = ProgramFolder();
    if (!program.empty()) {
        folders.push_back(program);
        folders.push_back(program + "../lib/zumo/");
    }
    for (const std::string& folder : folders)
        if (is_executable(folder + name))
            return folder + name;
    return {};
}

std::optional<HelperCommand> NativeHelperCommand(const std::string& path,
                                                 std::span<const std::uint8_t> head)
{
    static constexpr std::uint8_t k_elf[] = {0x7F, 'E', 'L', 'F'};
    if (head.size() < sizeof k_elf || !std::equal(std::begin(k_elf), std::end(k_elf), head.begin()))
        return std::nullopt;
    std::string helper = FindHelperProgram("zumo-spi-host");
    if (helper.empty()) {
        static bool said = false;
        if (!std::exchange(said, true))
            std::fprintf(stderr,
                         "zumo: the plug-in helper zumo-spi-host is missing; plug-ins "
                         "run inside the program (%s)\n",
                         path.c_str());
        return std::nullopt;
    }
    HelperCommand command{{helper, path}, {}};
    command.shared_blocks = true;
    return command;
}

void SayOnce(const std::string& line)
{
    static std::mutex mutex;
    static std::set<std::string> said;
    const std::lock_guard<std::mutex> lock(mutex);
    if (said.insert(line).second)
        std::fprintf(stderr, "%s\n", line.c_str());
}

std::string HelperUnavailableReason(const std::string& path)
{
    return WindowsHelperUnavailableReason(path, read_head(path));
}

std::optional<HelperCommand> HelperCommandFor(const std::string& path)
{
    std::vector<std::uint8_t> head = read_head(path);
    if (std::optional<HelperCommand> native = NativeHelperCommand(path, head))
        return native;
    return WindowsHelperCommand(path, head);
}

} // namespace zumo
