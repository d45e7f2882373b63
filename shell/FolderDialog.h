// TFolderDlg: lets the user choose one folder in a modal folder browser over
// the owner window. FolderName holds the folder of the last Execute and is
// shared state: later readers of the same dialog see it, and a cancelled
// Execute empties it.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class QWidget;

class TFolderDlg : public QObject
{
    Q_OBJECT

public:
    // The browser shown by Execute: returns the chosen folder, or nothing
    // when the user cancelled. Replaceable so that a test or another
    // platform can answer without a modal dialog.
    using Browser = std::function<std::optional<QString>(QWidget* owner, const QString& title,
                                                         const QString& root)>;

    explicit TFolderDlg(QWidget* owner);

    std::string Title;      // instruction text; empty shows none
    std::string Root;       // folder selected when the browser opens; empty selects nothing
    std::string FolderName; // folder of the last Execute; empty after a cancel

    // True when a folder was confirmed. A drive's or the file system's root
    // keeps its trailing separator ("C:\", "/"); any other folder has none.
    // A confirmed entry that is not a file-system folder counts as a cancel.
    bool Execute();

    void setBrowser(Browser browser) { m_browser = std::move(browser); }

private:
    QWidget* m_owner;
    Browser m_browser;
};

namespace zumo {

// The folder browser of the platform (Qt's directory chooser).
std::optional<QString> run_folder_browser(QWidget* owner, const QString& title,
                                          const QString& root);

// A chosen folder as FolderName holds it: native separators, no trailing
// separator except for a root; "" for an empty or relative answer.
std::string folder_name_from(const QString& chosen);

} // namespace zumo
