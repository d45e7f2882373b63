// TShfOperation: the description of one shell file operation (move, copy,
// delete or rename a set of files) as published properties. The main
// window keeps one instance with its layout; the program itself renames,
// copies and moves through the rename engine, so nothing here carries an
// operation out.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zumo {

enum class TwFunc { foMOVE = 0, foCOPY = 1, foDELETE = 2, foRENAME = 3 };

// The option flags, named after the shell's file-operation flags of the
// same meaning.
class TfFlags
{
public:
    bool ALLOWUNDO = false;
    bool FILESONLY = false;
    bool MUILIDESTFILES = false; // several destination files
    bool NOCONFIRMATION = false;
    bool NOCONFIRMMKDIR = false;
    bool RENAMEONCOLLISION = false;
    bool SILENT = false;
    bool SIMPLEPROGRESS = false;

    // The flags a stored layout holds, in published order: SILENT declares
    // false as its default and is stored only when true; the other seven
    // are always stored.
    std::vector<std::pair<std::string, bool>> StoredFlags() const;
};

class TShfOperation
{
public:
    std::vector<std::string>& FromFFList() { return m_from; }
    const std::vector<std::string>& FromFFList() const { return m_from; }
    // Copies the items; the component never shares the caller's list.
    void SetFromFFList(const std::vector<std::string>& files) { m_from = files; }

    TwFunc OperationF = TwFunc::foMOVE;
    std::string ToFolder;

    std::vector<std::string>& ToFiles() { return m_to; }
    const std::vector<std::string>& ToFiles() const { return m_to; }
    void SetToFiles(const std::vector<std::string>& files) { m_to = files; }

    // Created and owned by the component.
    TfFlags& Options() { return m_options; }
    const TfFlags& Options() const { return m_options; }

    // Whether the last operation was aborted; no operation runs here, so
    // it stays false.
    bool fAbort() const { return m_aborted; }

    std::string ProgressTitle;

private:
    std::vector<std::string> m_from;
    std::vector<std::string> m_to;
    TfFlags m_options;
    bool m_aborted = false;
};

} // namespace zumo
