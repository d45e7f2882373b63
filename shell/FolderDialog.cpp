#include "shell/FolderDialog.h"

#include "shell/local_names.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

TFolderDlg::TFolderDlg(QWidget* owner)
    : QObject(owner), m_owner(owner), m_local(&zumo::run_local_folder_browser)
{
}

bool TFolderDlg::Execute()
{
    if (m_browser) {
        // A browser that answers with text opens at the root by Qt's own
        // rendering of its name.
        const auto chosen = m_browser(m_owner, QString::fromLocal8Bit(Title),
                                      QFile::decodeName(QByteArray::fromStdString(Root)));
        FolderName = chosen ? zumo::folder_name_from(*chosen) : std::string();
        return !FolderName.empty();
    }
    const auto chosen = m_local(m_owner, Title, Root);
    // Only a file-system folder by its absolute path counts as chosen.
    FolderName = chosen && !chosen->empty() && chosen->front() == '/' ? *chosen : std::string();
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

// ---- the program's own dialog -------------------------------------------------

namespace {

constexpr int k_bytes_role = Qt::UserRole;
constexpr int k_is_folder_role = Qt::UserRole + 1;

// The folder a dialog of this kind was last left in, for the next one.
std::string& last_folder()
{
    static std::string folder;
    return folder;
}

std::string home_folder()
{
    const char* home = std::getenv("HOME");
    return home != nullptr && *home == '/' ? std::string(home) : std::string("/");
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

bool is_folder(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The patterns of a filter in Qt's form: "jpg (*.jpg *.png)" -> *.jpg, *.png.
std::vector<std::string> patterns_of(const QString& filter)
{
    const qsizetype open = filter.lastIndexOf(QLatin1Char('('));
    const qsizetype close = filter.lastIndexOf(QLatin1Char(')'));
    std::vector<std::string> patterns;
    if (open < 0 || close < open)
        return patterns;
    for (const QString& p :
         filter.mid(open + 1, close - open - 1).split(QLatin1Char(' '), Qt::SkipEmptyParts))
        patterns.push_back(p.toStdString());
    return patterns;
}

struct Entry
{
    std::string name;
    QString shown;
    bool folder;
};

} // namespace

LocalBrowseDialog::LocalBrowseDialog(QWidget* owner, BrowseFor what, const QString& title,
                                     const QStringList& name_filters)
    : QDialog(owner), m_what(what)
{
    setWindowTitle(!title.isEmpty()            ? title
                   : what == BrowseFor::Folder ? QStringLiteral("フォルダの参照")
                                               : QStringLiteral("開く"));
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* up = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogToParent),
                               QStringLiteral("上へ"), this);
    m_where = new QLabel(this);
    m_where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    top->addWidget(up);
    top->addWidget(m_where, 1);
    layout->addLayout(top);
    m_list = new QListWidget(this);
    m_list->setSelectionMode(what == BrowseFor::Files ? QAbstractItemView::ExtendedSelection
                                                      : QAbstractItemView::SingleSelection);
    layout->addWidget(m_list, 1);
    if (what == BrowseFor::Files && !name_filters.isEmpty()) {
        m_filters = new QComboBox(this);
        m_filters->addItems(name_filters);
        layout->addWidget(m_filters);
        connect(m_filters, &QComboBox::currentIndexChanged, this, &LocalBrowseDialog::list_folder);
    }
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(up, &QPushButton::clicked, this, &LocalBrowseDialog::go_up);
    connect(m_list, &QListWidget::itemActivated, this, &LocalBrowseDialog::open_item);
    resize(520, 420);
}

bool LocalBrowseDialog::SetFolder(const std::string& folder)
{
    if (folder.empty() || folder.front() != '/' || !is_folder(folder))
        return false;
    m_folder = folder;
    list_folder();
    return true;
}

bool LocalBrowseDialog::matches_filter(const std::string& name) const
{
    if (m_filters == nullptr)
        return true;
    for (const std::string& pattern : patterns_of(m_filters->currentText())) {
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0)
            return true;
    }
    return false;
}

void LocalBrowseDialog::list_folder()
{
    m_list->clear();
    m_where->setText(ShownName(m_folder));
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(m_folder.c_str()), &::closedir);
    if (!dir)
        return;
    std::vector<Entry> entries;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.empty() || name.front() == '.')
            continue;
        const bool folder = is_folder(joined(m_folder, name));
        if (!folder && (m_what == BrowseFor::Folder || !matches_filter(name)))
            continue;
        entries.push_back({name, ShownName(name), folder});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.folder != b.folder)
            return a.folder;
        const int order = QString::localeAwareCompare(a.shown, b.shown);
        return order != 0 ? order < 0 : a.name < b.name;
    });
    const QIcon folder_icon = style()->standardIcon(QStyle::SP_DirIcon);
    const QIcon file_icon = style()->standardIcon(QStyle::SP_FileIcon);
    for (const Entry& entry : entries) {
        auto* item = new QListWidgetItem(entry.folder ? folder_icon : file_icon, entry.shown);
        item->setData(k_bytes_role, QByteArray::fromStdString(entry.name));
        item->setData(k_is_folder_role, entry.folder);
        m_list->addItem(item);
    }
}

void LocalBrowseDialog::SelectEntry(const std::string& name)
{
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem* item = m_list->item(i);
        if (item->data(k_bytes_role).toByteArray().toStdString() == name) {
            m_list->setCurrentItem(item);
            m_list->scrollToItem(item);
            return;
        }
    }
}

void LocalBrowseDialog::open_item(QListWidgetItem* item)
{
    if (item == nullptr)
        return;
    const std::string name = item->data(k_bytes_role).toByteArray().toStdString();
    if (item->data(k_is_folder_role).toBool()) {
        SetFolder(joined(m_folder, name));
        return;
    }
    accept(); // a file opened: the selection is the answer
}

void LocalBrowseDialog::go_up()
{
    const std::string child = m_folder;
    if (SetFolder(parent_of(m_folder)))
        SelectEntry(child.substr(child.find_last_of('/') + 1));
}

std::vector<std::string> LocalBrowseDialog::Chosen() const
{
    std::vector<std::string> chosen;
    for (QListWidgetItem* item : m_list->selectedItems()) {
        const bool folder = item->data(k_is_folder_role).toBool();
        if (folder == (m_what == BrowseFor::Folder))
            chosen.push_back(
                joined(m_folder, item->data(k_bytes_role).toByteArray().toStdString()));
    }
    if (m_what == BrowseFor::Folder && chosen.empty() && !m_folder.empty())
        chosen.push_back(m_folder);
    return chosen;
}

std::optional<std::string> run_local_folder_browser(QWidget* owner, const std::string& title,
                                                    const std::string& root)
{
    LocalBrowseDialog dialog(owner, BrowseFor::Folder, QString::fromLocal8Bit(title));
    std::string start = root;
    while (start.size() > 1 && start.ends_with('/'))
        start.pop_back();
    if (!start.empty() && start.front() == '/' && dialog.SetFolder(parent_of(start)))
        dialog.SelectEntry(start.substr(start.find_last_of('/') + 1));
    else if (!dialog.SetFolder(last_folder()))
        dialog.SetFolder(home_folder());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const std::vector<std::string> chosen = dialog.Chosen();
    if (chosen.empty())
        return std::string();
    last_folder() = chosen.front(); // the next dialog opens in it
    return chosen.front();
}

std::optional<std::vector<std::string>> run_local_open_dialog(QWidget* owner,
                                                              const QStringList& name_filters)
{
    LocalBrowseDialog dialog(owner, BrowseFor::Files, {}, name_filters);
    if (!dialog.SetFolder(last_folder()))
        dialog.SetFolder(home_folder());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    last_folder() = dialog.Folder();
    return dialog.Chosen();
}

} // namespace zumo
