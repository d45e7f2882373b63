#include "shell/FolderDialog.h"

#include "shell/local_names.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QWidget>

TFolderDlg::TFolderDlg(QWidget* owner)
    : QObject(owner), m_owner(owner), m_browser(&zumo::run_folder_browser)
{
}

bool TFolderDlg::Execute()
{
    // The browser opens at the root by Qt's own rendering of its name.
    const auto chosen = m_browser(m_owner, QString::fromLocal8Bit(Title),
                                  QFile::decodeName(QByteArray::fromStdString(Root)));
    FolderName = chosen ? zumo::folder_name_from(*chosen) : std::string();
    return !FolderName.empty();
}

namespace zumo {

std::optional<QString> run_folder_browser(QWidget* owner, const QString& title, const QString& root)
{
    QFileDialog dialog(owner, title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!root.isEmpty()) {
        // Open in the root's parent with the root itself selected and shown.
        const QFileInfo info(root);
        dialog.setDirectory(info.absoluteDir());
        dialog.selectFile(info.absoluteFilePath());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return QString();
    return files.first();
}

std::string folder_name_from(const QString& chosen)
{
    if (chosen.isEmpty())
        return {};
    // A local folder's path is absolute; anything else (a virtual place of a
    // platform browser) has no file-system path to hand on.
    const QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(chosen));
    if (QDir::isRelativePath(cleaned))
        return {};
    // cleanPath keeps the separator of "/" and "C:/" and drops all others.
    // The folder's name may not be UTF-8: its bytes are found on disk.
    return LocalPathBytes(QDir::toNativeSeparators(cleaned));
}

} // namespace zumo
