#include "app/OpenDialog.h"

#include "shell/FolderDialog.h"
#include "shell/local_names.h"

#include <QDir>
#include <QFileDialog>

TOpenDialog::TOpenDialog(QWidget* owner) : m_owner(owner) {}

bool TOpenDialog::Execute()
{
    if (!m_runner) {
        // The program's own dialog lists every name by its bytes.
        const auto picked = zumo::run_local_open_dialog(m_owner, zumo::name_filters_from(Filter));
        if (!picked || picked->empty())
            return false;
        Files = *picked;
        return true;
    }
    const auto picked = m_runner(m_owner, zumo::name_filters_from(Filter));
    if (!picked || picked->isEmpty())
        return false;
    Files.clear();
    for (const QString& file : *picked)
        Files.push_back(zumo::LocalPathBytes(QDir::toNativeSeparators(file)));
    return true;
}

namespace zumo {

QStringList name_filters_from(const std::string& filter)
{
    const QStringList parts = QString::fromLocal8Bit(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns)
            pattern = pattern.trimmed();
        filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(QLatin1Char(' ')));
    }
    return filters;
}

std::optional<QStringList> run_open_dialog(QWidget* owner, const QStringList& name_filters)
{
    QFileDialog dialog(owner);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!name_filters.isEmpty())
        dialog.setNameFilters(name_filters);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles();
}

} // namespace zumo
