#include "shell/ShfOperation.h"

namespace zumo {

std::vector<std::pair<std::string, bool>> TfFlags::StoredFlags() const
{
    std::vector<std::pair<std::string, bool>> stored = {
        {"ALLOWUNDO", ALLOWUNDO},           {"FILESONLY", FILESONLY},
        {"MUILIDESTFILES", MUILIDESTFILES}, {"NOCONFIRMATION", NOCONFIRMATION},
        {"NOCONFIRMMKDIR", NOCONFIRMMKDIR}, {"RENAMEONCOLLISION", RENAMEONCOLLISION},
    };
    if (SILENT)
        stored.emplace_back("SILENT", true);
    stored.emplace_back("SIMPLEPROGRESS", SIMPLEPROGRESS);
    return stored;
}

} // namespace zumo
