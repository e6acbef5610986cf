// bxfr-wizard: the desktop program. Start-up runs once the event loop does, so that every
// dialog it opens is modal on a running application.

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "app/startup.h"
#include "prefs/file_association.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Brindle FTP Wizard");
    QApplication::setApplicationVersion(BXFR_VERSION);
    QApplication::setWindowIcon(QIcon::fromTheme("bxfr-wizard"));
    // Dialogs end the program only through start-up below.
    QApplication::setQuitOnLastWindowClosed(false);
    bxfr::prefs::RegisterFileAssociation();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    QTimer::singleShot(0, &app, [&args] {
        bxfr::app::RunStartup(args);
        QApplication::quit();
    });
    return app.exec();
}
