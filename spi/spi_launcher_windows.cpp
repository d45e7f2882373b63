// Windows plug-in libraries: served by the Windows build of the helper
// (zumo-spi-host32.exe, zumo-spi-host64.exe) under Wine (spi/wine.h).
#include "spi/spi_launcher.h"
#include "spi/wine.h"

#include <cstdio>
#include <stdexcept>

namespace zumo {

std::optional<HelperCommand> WindowsHelperCommand(const std::string& path,
                                                  std::span<const std::uint8_t> head)
{
    const wine::WindowsLibrary kind = wine::Classify(head);
    if (kind == wine::WindowsLibrary::None)
        return std::nullopt;
    const std::string helper = kind == wine::WindowsLibrary::Other
                                   ? std::string()
                                   : FindHelperProgram(wine::HelperName(kind));
    if (std::string why = wine::UnavailableReason(path, kind, helper); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return std::nullopt;
    }
    try {
        wine::Command command = wine::HelperCommand(path, kind, helper);
        return HelperCommand{std::move(command.argv), std::move(command.environment),
                             wine::k_start_timeout, true};
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "zumo: %s: %s\n", path.c_str(), e.what());
        return std::nullopt;
    }
}

} // namespace zumo
