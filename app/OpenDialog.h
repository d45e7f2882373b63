// TOpenDialog: the window's shared open dialog. Filter is kept in the
// classic form "description|patterns|..." and shown as Qt name filters;
// several files may be picked, and Files holds their full paths after a
// confirmed Execute.
#pragma once

#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

class TOpenDialog
{
public:
    // Shows a dialog with the given name filters (none: all files) and
    // returns the picked files as text, or nothing when cancelled; their
    // bytes are then looked up on disk. Set by a test to answer without a
    // modal dialog; otherwise the program's own dialog answers with bytes.
    using Runner =
        std::function<std::optional<QStringList>(QWidget* owner, const QStringList& name_filters)>;

    explicit TOpenDialog(QWidget* owner);

    std::string Filter;
    std::vector<std::string> Files;

    bool Execute();
    void setRunner(Runner runner) { m_runner = std::move(runner); }

private:
    QWidget* m_owner;
    Runner m_runner;
};

namespace zumo {

// "jpg,png,bmp|*.jpg;*.png;*.bmp" -> {"jpg,png,bmp (*.jpg *.png *.bmp)"}.
// A trailing description without patterns is dropped.
QStringList name_filters_from(const std::string& filter);

std::optional<QStringList> run_open_dialog(QWidget* owner, const QStringList& name_filters);

} // namespace zumo
