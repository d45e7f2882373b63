#include "shell/local_names.h"

#include "platform/shown_text.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

namespace zumo {
namespace {

bool exists(const std::string& path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0;
}

// The entry of folder whose name Qt shows as `shown`, when there is
// exactly one.
bool find_entry(const std::string& folder, const QString& shown, std::string& entry)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()),
                                                  &::closedir);
    if (!dir)
        return false;
    int matches = 0;
    while (const dirent* e = ::readdir(dir.get())) {
        if (QFile::decodeName(e->d_name) == shown) {
            entry = e->d_name;
            ++matches;
        }
    }
    return matches == 1;
}

} // namespace

QString ShownName(const std::string& bytes)
{
    return QString::fromStdString(platform::shown_name(bytes));
}

QString ShownText(const std::string& bytes)
{
    return QString::fromStdString(platform::shown_text(bytes));
}

std::string LocalPathBytes(const QString& path)
{
    const std::string direct = QFile::encodeName(path).toStdString();
    if (direct.empty() || exists(direct))
        return direct;
    const QStringList parts = path.split(QLatin1Char('/'));
    std::string resolved;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            resolved += '/';
        const QString& part = parts[i];
        std::string bytes = QFile::encodeName(part).toStdString();
        std::string entry;
        // Only a missing component that Qt may have rendered from other
        // bytes is looked up.
        if (!part.isEmpty() && !exists(resolved + bytes) &&
            part.contains(QChar::ReplacementCharacter) &&
            find_entry(resolved.empty() ? std::string(".") : resolved, part, entry))
            bytes = entry;
        resolved += bytes;
    }
    return resolved;
}

} // namespace zumo
