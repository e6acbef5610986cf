// bxfr-screenshots OUTDIR: every dialog and wizard page as a PNG, named after it.

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFont>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include <QTabWidget>

#include "dialogs/about_dialog.h"
#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/preview_dialog.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/tran_prog.h"
#include "dialogs/trust_dialog.h"
#include "engine/error_texts.h"
#include "prefs/user_settings.h"
#include "wizard/final_page.h"
#include "wizard/local_page.h"
#include "wizard/mode_page.h"
#include "wizard/remote_page.h"
#include "wizard/server_page.h"
#include "wizard/transfer_page.h"
#include "wizard/welcome_load_pages.h"
#include "wizard/wizard_sheet.h"

using namespace bxfr;

namespace {

QString outDir;
int saved = 0;

void Save(QWidget* widget, const QString& name) {
    widget->show();
    widget->adjustSize();
    QApplication::processEvents();
    const QString path = QDir(outDir).filePath(name + ".png");
    if (widget->grab().save(path)) {
        std::printf("%s\n", qPrintable(path));
        ++saved;
    }
    widget->hide();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bxfr-screenshots OUTDIR\n");
        return 64;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    QApplication::setFont(QFont("DejaVu Sans", 9));
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());

    job::TransferJob job;
    job.reportProgress = 1;
    job.SetServer("ftp.example.com");
    job.SetUserName("webmaster");
    job.SetRemotePath("/www/htdocs");
    job.SetLocalPath("/home/me/site");
    job.logPath = "/home/me/site-upload.log";
    job::TransferJob baseline = job;
    prefs::UserSettings settings;
    std::int32_t status = 1;
    wizard::WizardContext context{&job, &baseline, &settings, &status, nullptr, {}, {}};
    wizard::WizardSheet sheet(context);

    struct Page {
        const char* name;
        wizard::WizPage* page;
    };
    const Page pages[] = {
        {"wizard-1-welcome", new wizard::WizWelcome(context)},
        {"wizard-2-load", new wizard::WizLoad(context)},
        {"wizard-3-server", new wizard::WizServer(context)},
        {"wizard-4-mode", new wizard::WizMode(context)},
        {"wizard-5-local", new wizard::WizLocal(context)},
        {"wizard-6-remote", new wizard::WizRemote(context)},
        {"wizard-7-transfer", new wizard::WizTransfer(context)},
        {"wizard-8-final", new wizard::WizFinal(context)},
    };
    int place = wizard::PlaceWelcome;
    for (const Page& page : pages) sheet.SetPlace(place++, page.page);
    sheet.show();
    // Each page as the start page: the pages' own checks on Next would stop at questions.
    for (int id = wizard::PlaceWelcome; id <= wizard::PlaceFinal; ++id) {
        sheet.setStartId(id);
        sheet.restart();
        QApplication::processEvents();
        // The size line settles on a thread of its own; shoot what the user sees once it has.
        auto* files = qobject_cast<wizard::WizFilesPage*>(sheet.currentPage());
        if (files && files->SizeCalc().Running()) {
            QEventLoop settle;
            QObject::connect(&files->SizeCalc(), &wizard::SizeCalculation::Ended, &settle, &QEventLoop::quit);
            QTimer::singleShot(5000, &settle, &QEventLoop::quit);
            settle.exec();
            QApplication::processEvents();
        }
        const QString path = QDir(outDir).filePath(QString(pages[id - 1].name) + ".png");
        if (sheet.grab().save(path)) {
            std::printf("%s\n", qPrintable(path));
            ++saved;
        }
    }
    // The Final page after a run that failed, with an update check that could not run.
    status = 0;
    job.failureText = engine::FailureSentence(12029, {"ftp.example.com", 21, {}, false});
    job.checkUpgrade = 1;
    job.upgradeAvailable = -1;
    sheet.setStartId(wizard::PlaceFinal);
    sheet.restart();
    QApplication::processEvents();
    if (sheet.grab().save(QDir(outDir).filePath("wizard-8-final-failed.png"))) ++saved;
    status = 1;
    job.failureText.clear();
    job.checkUpgrade = job.upgradeAvailable = 0;
    // The Server page again as SFTP with a key file shows it.
    job.protocol = job::Protocol::Sftp;
    job.SetPort(22);
    job.keyFile = "/home/me/.ssh/id_ed25519";
    sheet.setStartId(wizard::PlaceServer);
    sheet.restart();
    QApplication::processEvents();
    if (sheet.grab().save(QDir(outDir).filePath("wizard-3-server-sftp.png"))) ++saved;
    sheet.hide();
    dialogs::ServerAdvancedDialog sftpAdvanced(job);
    Save(&sftpAdvanced, "server-advanced-sftp");
    job.protocol = job::Protocol::Ftp;
    job.SetPort(21);
    job.keyFile.clear();

    dialogs::ServerAdvancedDialog serverAdvanced(job);
    Save(&serverAdvanced, "server-advanced");
    dialogs::PasswordPrompt prompt(job);
    Save(&prompt, "password-prompt");
    engine::ServerCertificate certificate;
    certificate.fingerprint = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
    certificate.subject = "CN = ftp.example.com, O = Example Hosting";
    certificate.issuer = certificate.subject;
    certificate.validFrom = "2026-12-01 00:00:00 UTC";
    certificate.validUntil = "2027-12-01 00:00:00 UTC";
    certificate.whyUntrusted = "it is self-signed: no authority this computer trusts vouches for it";
    dialogs::TrustDialog trust(certificate, "ftp.example.com");
    Save(&trust, "trust-certificate");
    certificate.pinned = "SHA256:4Qm1tYV2Y7h9cCq0bqgQWnQm6lU1u8tq7cYb3mVvZ0E";
    dialogs::TrustDialog replaced(certificate, "ftp.example.com");
    Save(&replaced, "trust-certificate-replaced");
    engine::ServerCertificate hostKey;
    hostKey.keyType = "ssh-ed25519";
    hostKey.fingerprint = "SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0";
    hostKey.whyUntrusted = "it is not in ~/.ssh/known_hosts";
    hostKey.keyBase64 = "AAAAC3NzaC1lZDI1NTE5AAAAIHKfQ0pn7s0bWlCk6sT3nY1pCnq2q9kRjv0uOq3YbPz1";
    hostKey.host = "sftp.example.com";
    hostKey.port = 2222;
    dialogs::TrustDialog trustKey(hostKey, "sftp.example.com");
    Save(&trustKey, "trust-host-key");
    hostKey.pinned = certificate.pinned;
    hostKey.pinnedIn = "~/.ssh/known_hosts line 3";
    dialogs::TrustDialog changedKey(hostKey, "sftp.example.com");
    Save(&changedKey, "trust-host-key-changed");
    dialogs::AboutDialog about;
    Save(&about, "about");
    about.ToggleDetails();
    Save(&about, "about-details");
    dialogs::SettingsDialog settingsDialog(settings);
    Save(&settingsDialog, "settings");
    dialogs::AdvancedSettingsSheet advanced(job, true);
    for (int i = 0; i < advanced.Tabs()->count(); ++i) {
        advanced.Tabs()->setCurrentIndex(i);
        Save(&advanced, QString("advanced-%1").arg(i + 1));
    }
    dialogs::TranProg progress(job, &status);
    Save(&progress, "progress");
    progress.ToggleLogPane();
    Save(&progress, "progress-log");
    // The preview of a SYNC and DELETE send, and the Transfer page that asks for one.
    job::TransferPlan plan;
    plan.items = {{job::PlanAction::Send, "index.html", 14320, "newer"},
                  {job::PlanAction::Send, "news/2026-12.html", 5210, "new"},
                  {job::PlanAction::Send, "img/logo.png", 48113, "size differs"},
                  {job::PlanAction::Skip, "about.html", 9034, "unchanged"},
                  {job::PlanAction::Skip, "drafts/notes.tmp", 311, "excluded by the selection rules"},
                  {job::PlanAction::Delete, "news/2025-11.html", 4870, "not in the source"},
                  {job::PlanAction::Delete, "old/", 0, "left empty"}};
    plan.notes = {"permission rule: *.cgi gets 755"};
    dialogs::PreviewDialog preview(plan);
    Save(&preview, "preview");
    job.deleteMissing = job.syncMode = 1;
    sheet.setStartId(wizard::PlaceFinal - 1);
    sheet.restart();
    QApplication::processEvents();
    if (sheet.grab().save(QDir(outDir).filePath("wizard-7-transfer-delete.png"))) ++saved;
    return saved > 0 ? 0 : 1;
}
