// The program around the window: the plug-in collection SPIs1 made while
// the layout loads, and the hooks that carry the plug-in folder and the
// settings file at creation, the command-line run at the first showing and
// the settings again at destruction.
#pragma once

#include "app/Unit1.h"
#include "app/core/CommandLine.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace zumo {

class TSPIs;

struct ProgramSetup
{
    std::string executable_path;    // the settings file and "spi" sit beside it
    std::vector<std::string> files; // command-line files, in order
    Session session = Session::Interactive;
    RunObserver* observer = nullptr; // follows the command-line run; may be null
    int jobs = 0;                    // --jobs N for the command-line run (0: as CheckBox11 says)
};

class Program
{
public:
    explicit Program(ProgramSetup setup);
    ~Program();

    // Creates SPIs1 and lets it make its automatic search, as loading the
    // window's layout does. Throws what the collection throws; the program
    // then shows the message and ends without a window.
    void LoadPlugins();

    TForm1Hooks Hooks();

    // After LoadPlugins: FormCreate's search of the plug-in folders without
    // a window (nothing is created) and a list of every plug-in loaded, in
    // loading order: its path, API version and title, then a line per file
    // pattern it reads with the pattern's description.
    void ListPlugins(std::ostream& out);

    const std::string& SettingsPath() const { return m_settings_path; }

private:
    void FormCreate(TForm1& form);
    void FormShow(TForm1& form);
    void FormDestroy(TForm1& form);
    // FormCreate step 3: the "spi" folder (work_path), then the plug-in
    // folder of an installation.
    void SearchPluginFolders(const std::string& work_path);

    ProgramSetup m_setup;
    std::string m_settings_path;
    std::unique_ptr<TSPIs> m_spis;
};

} // namespace zumo
