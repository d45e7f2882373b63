// TFolderDlg: lets the user choose one folder in a modal folder browser over
// the owner window. FolderName holds the folder of the last Execute and is
// shared state: later readers of the same dialog see it, and a cancelled
// Execute empties it.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QWidget;

class TFolderDlg : public QObject
{
    Q_OBJECT

public:
    // A browser that answers with text (a test's, or another platform's):
    // returns the chosen folder, or nothing when the user cancelled. The
    // folder's bytes are then looked up on disk (LocalPathBytes).
    using Browser = std::function<std::optional<QString>(QWidget* owner, const QString& title,
                                                         const QString& root)>;
    // The browser of the program: answers with the chosen folder's bytes.
    using LocalBrowser = std::function<std::optional<std::string>(
        QWidget* owner, const std::string& title, const std::string& root)>;

    explicit TFolderDlg(QWidget* owner);

    std::string Title;      // instruction text; empty shows none
    std::string Root;       // folder selected when the browser opens; empty selects nothing
    std::string FolderName; // folder of the last Execute; empty after a cancel

    // True when a folder was confirmed. A drive's or the file system's root
    // keeps its trailing separator ("C:\", "/"); any other folder has none.
    // A confirmed entry that is not a file-system folder counts as a cancel.
    bool Execute();

    // Replaces the program's own browser, so that a test can answer
    // without a modal dialog.
    void setBrowser(Browser browser) { m_browser = std::move(browser); }

private:
    QWidget* m_owner;
    Browser m_browser; // when set, used instead of m_local
    LocalBrowser m_local;
};

namespace zumo {

// The folder browser of the platform (Qt's directory chooser). It lists
// only names that are UTF-8; the program uses run_local_folder_browser.
std::optional<QString> run_folder_browser(QWidget* owner, const QString& title,
                                          const QString& root);

enum class BrowseFor { Folder, Files };

// A file dialog of the program's own: lists every entry of a folder by its
// bytes (read with readdir), shows each name as ShownName renders it and
// keeps the bytes behind it, so a folder or file whose name is not UTF-8 can
// be chosen. Hidden entries (".name") are not listed. For Files, name
// filters in Qt's form ("jpg (*.jpg *.png)") choose the files listed,
// without regard to ASCII case; folders are always listed.
class LocalBrowseDialog : public QDialog
{
    Q_OBJECT

public:
    LocalBrowseDialog(QWidget* owner, BrowseFor what, const QString& title,
                      const QStringList& name_filters = {});

    // Lists folder (an absolute path, bytes); false when it cannot be read.
    bool SetFolder(const std::string& folder);
    const std::string& Folder() const { return m_folder; }
    // Selects the entry of the current folder with this name (bytes).
    void SelectEntry(const std::string& name);
    // Folder: the selected subfolder, or the listed folder when none is
    // selected. Files: the selected files. Full paths, as bytes.
    std::vector<std::string> Chosen() const;

    QListWidget* List() const { return m_list; }

private:
    void list_folder();
    void open_item(QListWidgetItem* item);
    void go_up();
    bool matches_filter(const std::string& name) const;

    BrowseFor m_what;
    std::string m_folder;
    QLabel* m_where = nullptr;
    QListWidget* m_list = nullptr;
    QComboBox* m_filters = nullptr;
};

// The program's folder browser: opens at root's folder with root selected
// (else at the folder chosen last, else the home folder); returns the chosen
// folder's bytes, or nothing when cancelled.
std::optional<std::string> run_local_folder_browser(QWidget* owner, const std::string& title,
                                                    const std::string& root);
// The program's open dialog: the files picked (bytes), or nothing when
// cancelled. Opens at the folder used last, else the home folder.
std::optional<std::vector<std::string>> run_local_open_dialog(QWidget* owner,
                                                              const QStringList& name_filters);

// A chosen folder as FolderName holds it: native separators, no trailing
// separator except for a root; "" for an empty or relative answer.
std::string folder_name_from(const QString& chosen);

} // namespace zumo
