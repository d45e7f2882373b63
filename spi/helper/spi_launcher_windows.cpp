// Windows plug-in libraries: served by the Windows build of the helper
// (zumo-spi-host32.exe, zumo-spi-host64.exe) under Wine (spi/helper/wine.h).
#include "spi/helper/spi_launcher.h"
#include "spi/helper/wine.h"

#include <stdexcept>

namespace zumo {

namespace {

std::string helper_for(wine::WindowsLibrary kind)
{
    return kind == wine::WindowsLibrary::Other ? std::string()
                                               : FindHelperProgram(wine::HelperName(kind));
}

} // namespace

std::string WindowsHelperUnavailableReason(const std::string& path,
                                           std::span<const std::uint8_t> head)
{
    const wine::WindowsLibrary kind = wine::Classify(head);
    if (kind == wine::WindowsLibrary::None)
        return {};
    return wine::UnavailableReason(path, kind, helper_for(kind));
}

std::optional<HelperCommand> WindowsHelperCommand(const std::string& path,
                                                  std::span<const std::uint8_t> head)
{
    const wine::WindowsLibrary kind = wine::Classify(head);
    if (kind == wine::WindowsLibrary::None)
        return std::nullopt;
    const std::string helper = helper_for(kind);
    if (std::string why = wine::UnavailableReason(path, kind, helper); !why.empty()) {
        SayOnce(why);
        return std::nullopt;
    }
    try {
        wine::Command command = wine::HelperCommand(path, kind, helper);
        return HelperCommand{std::move(command.argv), std::move(command.environment),
                             wine::k_start_timeout, true};
    } catch (const std::runtime_error& e) {
        SayOnce("zumo: " + path + ": " + e.what());
        return std::nullopt;
    }
}

} // namespace zumo
