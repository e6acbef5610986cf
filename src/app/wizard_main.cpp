// bxfr-wizard: the desktop program. Start-up runs once the event loop does, so that every
// dialog it opens is modal on a running application.

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "app/startup.h"
#include "dialogs/about_dialog.h"
#include "prefs/file_association.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Brindle FTP Wizard");
    QApplication::setApplicationVersion(BXFR_VERSION);
    QApplication::setWindowIcon(bxfr::dialogs::ProgramIcon());
    // Dialogs end the program only through start-up below.
    QApplication::setQuitOnLastWindowClosed(false);
    bxfr::prefs::RegisterFileAssociation();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    // "Transfer Now" is run by scripts and file managers too: the exit status tells how it ended.
    QTimer::singleShot(
        0, &app, [&args] { QApplication::exit(bxfr::app::StartupExitCode(bxfr::app::RunStartup(args))); });
    return app.exec();
}
