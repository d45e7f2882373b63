// Windows plug-in libraries: served by the Windows build of the helper
// under Wine. Not served yet: such files are skipped like any file that
// cannot be loaded.
#include "spi/spi_launcher.h"

namespace zumo {

std::optional<HelperCommand> WindowsHelperCommand(const std::string&, std::span<const std::uint8_t>)
{
    return std::nullopt;
}

} // namespace zumo
