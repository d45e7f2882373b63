#include "shell/local_names.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

namespace zumo {
namespace {

bool valid_utf8(const std::string& bytes)
{
    const QByteArray data = QByteArray::fromStdString(bytes);
    return QString::fromUtf8(data).toUtf8() == data;
}

// Strict CP932 decoding; false when any byte sequence is not CP932.
bool decode_cp932(const std::string& bytes, QString& text)
{
    const iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    const std::unique_ptr<void, int (*)(iconv_t)> closer(cd, &::iconv_close);
    std::string in = bytes;
    std::vector<char> out(bytes.size() * 3 + 4);
    char* in_ptr = in.data();
    std::size_t in_left = in.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    if (::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0)
        return false;
    text = QString::fromUtf8(out.data(), static_cast<qsizetype>(out.size() - out_left));
    return true;
}

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
    if (valid_utf8(bytes))
        return QString::fromStdString(bytes);
    QString text;
    if (decode_cp932(bytes, text))
        return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
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
