// zumo: creates the main window, shows it and runs the message loop.
// Creating the window runs FormCreate, the first showing FormShow, and
// destroying it at the end FormDestroy.
//
// Without a display server a run over files named on the command line
// still works: Qt's offscreen platform stands in, messages go to standard
// error, every question takes the answer that skips, and the exit status
// says whether a file failed.
#include "app/Unit1.h"
#include "app/user_hosts.h"
#include "platform/beep.h"

#include <QApplication>

#include <cstdio>
#include <iostream>
#include <optional>

namespace {

bool has_display()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char* argv[])
{
#ifndef _WIN32
    const bool headless = !has_display();
    if (headless) {
        if (argc < 2) {
            std::fprintf(stderr, "zumo: no display; name the files to process on the "
                                 "command line\n");
            return 2;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#else
    const bool headless = false;
#endif
    QApplication app(argc, argv);
    platform::set_beep_handler(&QApplication::beep);
    std::optional<zumo::StderrUserHost> console;
    if (headless)
        console.emplace(std::cerr);
    int status = 0;
    {
        TForm1 form;
        if (console)
            form.SetUserHost(&*console);
        form.show(); // FormShow performs the command-line run
        if (console) {
            // Nobody could use the window: the run is all there is.
            QCoreApplication::processEvents();
            status = console->MessageCount() > 0 ? 1 : 0;
        } else {
            status = QApplication::exec();
        }
    }
    platform::set_beep_handler({});
    return status;
}
