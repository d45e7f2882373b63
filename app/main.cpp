// zumo: creates the main window, shows it and runs the message loop.
// Creating the window runs FormCreate, the first showing FormShow (the
// command-line run), and destroying it at the end FormDestroy.
//
// Without a display server (or with a DISPLAY where no X server answers and
// a WAYLAND_DISPLAY without its compositor)
// a run over files named on the command line still works: Qt's offscreen platform stands in,
// messages go to standard error, every question takes the answer that skips, and the exit status
// says whether every file was processed. "--undo" reverses the last rename run without a window.
#include "app/Unit1.h"
#include "app/core/CommandLine.h"
#include "app/core/DryRun.h"
#include "app/core/HeadlessHost.h"
#include "app/core/Session.h"
#include "app/core/Settings.h"
#include "app/core/StopSignals.h"
#include "app/program.h"
#include "app/translations.h"
#include "app/user_hosts.h"
#include "imagelib/memory_reuse.h"
#include "platform/beep.h"
#include "rename/RenameJournal.h"
#include "rename/RenameUndo.h"
#include "shell/local_names.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <iostream>
#include <memory>

int main(int argc, char* argv[])
{
    const zumo::StartupDecision decision = zumo::PrepareStartup(argc, argv, std::cout, std::cerr);
    if (decision.exit_now)
        return decision.exit_status;
    if (decision.undo)
        return zumo::UndoFromCommandLine(
            std::cerr, zumo::DefaultJournalFolder(),
            decision.dry_run ? zumo::UndoMode::DryRun : zumo::UndoMode::Act, &std::cout);
    if (decision.dry_run) {
        // No window and no plug-ins: the settings file is read as the window
        // reads it, and nothing is written anywhere.
        int core_argc = 1;
        const QCoreApplication core(core_argc, argv);
        const std::string settings =
            zumo::SettingsFilePath(zumo::LocalPathBytes(QCoreApplication::applicationFilePath()));
        return zumo::DryRun(decision.files, zumo::StoredOptions(settings), std::cout);
    }
    const bool headless = decision.session == zumo::Session::Headless;
    imgctl::reuse_freed_memory();
    const zumo::PrivateRuntimeFolder runtime_folder;

    // Qt sees only the program name, so that no file is taken for one of
    // its own options ("-style").
    int qt_argc = 1;
    QApplication app(qt_argc, argv);
    platform::set_beep_handler(&QApplication::beep);
    const std::unique_ptr<QTranslator> qt_texts = zumo::InstallQtTranslations();

    std::unique_ptr<zumo::HeadlessUserHost> console;
    if (headless)
        console = std::make_unique<zumo::HeadlessUserHost>(
            std::cerr, &zumo::StopRequested, [] { QCoreApplication::processEvents(); });

    zumo::ProgramSetup setup;
    setup.executable_path = zumo::LocalPathBytes(QCoreApplication::applicationFilePath());
    setup.files = decision.files;
    setup.session = decision.session;
    setup.jobs = decision.jobs;
    setup.observer = console.get();
    zumo::Program program(setup);
    try {
        program.LoadPlugins();
    } catch (const std::exception& e) {
        // The window's layout could not be loaded: no window, no settings.
        if (console || decision.list_plugins)
            std::cerr << "zumo: " << e.what() << '\n';
        else
            QMessageBox::critical(nullptr, QStringLiteral("Zumo変換"),
                                  QString::fromLocal8Bit(e.what()));
        platform::set_beep_handler({});
        return 1;
    }

    if (decision.list_plugins) {
        // No window: the settings file is neither read nor written.
        int status = 0;
        try {
            program.ListPlugins(std::cout);
        } catch (const std::exception& e) {
            std::cerr << "zumo: " << e.what() << '\n';
            status = 1;
        }
        platform::set_beep_handler({});
        return status;
    }

    int status = 0;
    {
        TForm1 form(program.Hooks(), console.get());
        form.SetRunObserver(console.get());
        // SIGINT or SIGTERM: a running run stops after its file (it asks
        // StopRequested itself); then the program ends the normal way, so
        // the settings are written. A box waiting for the user is answered
        // the way that skips, so that the run gets there. A second signal
        // ends the program at once.
        zumo::InstallStopSignals();
        QTimer stop_poll;
        QObject::connect(&stop_poll, &QTimer::timeout, &form, [&form] {
            if (!zumo::StopRequested())
                return;
            if (!form.Terminated())
                form.Terminate(zumo::k_exit_stopped);
            zumo::AnswerModalForAStop();
        });
        stop_poll.start(100);
        form.show(); // the command-line run happens here, before the loop
        // The main window may have been closed while that run let events
        // through (a stop signal, the user): closing the main window ends
        // the program, and the loop would wait for a window that is gone.
        if (form.isVisible())
            status = QApplication::exec();
        if (form.Terminated())
            status = form.ExitStatus();
    }
    platform::set_beep_handler({});
    return status;
}
