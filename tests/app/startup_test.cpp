#include <QtTest>
#include <QtWidgets>
#include <memory>

#include "app/startup.h"
#include "dialogs/preview_dialog.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/trust_dialog.h"
#include "prefs/mru_lists.h"
#include "prefs/user_settings.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/qt_helpers.h"
#include "support/wizard_state.h"
#include "wizard/welcome_load_pages.h"
#include "wizard/wizard_sheet.h"

using namespace bxfr;
using bxfr::test::AnswerBox;
using bxfr::test::WhenModal;

namespace {

std::string TransferFile(const test::FtpTestServer& server, const std::string& extra) {
    return "[BXFR]\r\nSERVER=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
           "\r\nUSER=user\r\nPASSIVE=1\r\n" + extra;
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> temp_;
    std::string Path(const QString& name) const { return temp_->filePath(name).toStdString(); }

private slots:
    void init() {
        temp_ = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp_->filePath("settings"));
    }

    void DecisionsFromCommandLines() {
        const std::string plain = Path("plain me.bxt"), broken = Path("broken.bxt");
        test::WriteFile(plain, "[BXFR]\r\nSERVER=127.0.0.1\r\n");
        test::WriteFile(broken, std::string("\0\x01garbage", 9));
        QString shown = "unset";
        std::string server = "unset";
        app::StartupHooks hooks;
        hooks.runWizard = [&](job::TransferJob& job, const QString& file) {
            shown = file;
            server = job.server;
            QCOMPARE(job.reportProgress, 1);
        };
        // A path with a blank arrives as one argument; "/e" opens it in the wizard.
        const app::StartupOutcome edit = app::RunStartup({plain, "/e"}, hooks);
        QCOMPARE(edit.decision, job::StartupDecision::WizardWithFile);
        QCOMPARE(app::StartupExitCode(edit), 0);
        QCOMPARE(shown, QString::fromStdString(plain));
        // A file that fails to load is told, and the wizard starts empty.
        auto box = AnswerBox(QMessageBox::Ok);
        const app::StartupOutcome outcome = app::RunStartup({broken, "/t"}, hooks);
        QVERIFY(outcome.loadFailed);
        QCOMPARE(*box, QString::fromStdString("Failed to load " + broken));
        QCOMPARE(outcome.decision, job::StartupDecision::WizardWithoutFile);
        QCOMPARE(shown, QString());
        QCOMPARE(server, std::string());
        QCOMPARE(app::StartupExitCode(outcome), 3);
    }

    void DirectTransferRunsBehindTheProgressDialog() {
        test::FtpTestServer server;
        test::WriteFile(Path("site/sub/b.bin"), std::string("\0\xff", 2));
        const std::string file = Path("send.bxt");
        test::WriteFile(file, TransferFile(server, "PASS=secret\r\nSERVERPATH=/up\r\nLOCALPATH=" +
                                                       Path("site") + "\r\n[BXFRWIZ]\r\nAUTOXFER=1\r\n"));
        bool wizard = false;
        app::StartupHooks hooks;
        hooks.runWizard = [&wizard](job::TransferJob&, const QString&) { wizard = true; };
        const app::StartupOutcome outcome = app::RunStartup({file}, hooks);
        QCOMPARE(outcome.decision, job::StartupDecision::DirectTransfer);
        QCOMPARE(outcome.transferStatus, 1);
        QCOMPARE(app::StartupExitCode(outcome), 0);
        QVERIFY(!wizard);
        QCOMPARE(test::ReadFile(server.root() / "up" / "sub" / "b.bin"), std::string("\0\xff", 2));

        // "Transfer Now" tells a script how the run ended, with the codes of bxfr: a refused login
        // with errors ignored shows no box, but it failed.
        const std::string refused = Path("refused.bxt");
        test::WriteFile(refused,
                        TransferFile(server, "PASS=wrong\r\nIGNORE=1\r\nLOCALPATH=" + Path("site") + "\r\n"));
        const app::StartupOutcome failed = app::RunStartup({refused, "/t"}, hooks);
        QCOMPARE(failed.transferStatus, 2);
        QCOMPARE(app::StartupExitCode(failed), 1);
    }

    // A transfer that deletes shows its plan the first time it runs from the desktop: Cancel runs
    // nothing, Run runs it, and the next double-click runs at once.
    void DirectTransferThatDeletesIsPreviewedTheFirstTime() {
        test::FtpTestServer server;
        test::WriteFile(Path("site/a.txt"), "a");
        for (const char* name : {"a.txt", "b.txt", "c.txt", "gone.txt"})
            test::WriteFile(server.root() / "up" / name, name);
        const std::string file = Path("mirror.bxt");
        test::WriteFile(file, TransferFile(server, "PASS=secret\r\nSERVERPATH=/up\r\nDELETE=1\r\nLOCALPATH=" +
                                                       Path("site") + "\r\n"));
        test::WriteFile(Path("site/b.txt"), "b");
        test::WriteFile(Path("site/c.txt"), "c");
        struct Turn {
            bool run;
            int previews;
        };
        for (const Turn turn : {Turn{false, 1}, Turn{true, 1}, Turn{true, 0}}) {
            int previews = 0;
            test::BoxWatcher boxes([&](QWidget* modal) {
                if (auto* preview = qobject_cast<dialogs::PreviewDialog*>(modal)) {
                    ++previews;
                    turn.run ? preview->accept() : preview->reject();
                }
            });
            test::WriteFile(server.root() / "up" / "gone.txt", "gone");
            const app::StartupOutcome outcome = app::RunStartup({file, "/t"});
            QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join(" | ")));
            QCOMPARE(outcome.transferStatus, turn.run ? 1 : 3);
            QCOMPARE(std::filesystem::exists(server.root() / "up" / "gone.txt"), !turn.run);
            QCOMPARE(previews, turn.previews);
        }
        // Later, a run the guard stops shows the error, then the plan and the question; yes runs it.
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            std::filesystem::remove(Path("site") + "/" + name);
        QStringList told;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* preview = qobject_cast<dialogs::PreviewDialog*>(modal)) preview->accept();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                told << box->text();
                box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes)->click() : box->accept();
            }
        });
        answer.start(10);
        const app::StartupOutcome allowed = app::RunStartup({file, "/t"});
        QCOMPARE(allowed.transferStatus, 1);
        QVERIFY2(told.size() == 2 && told[1].contains("Delete them anyway?"), qPrintable(told.join(" | ")));
        QVERIFY(std::filesystem::is_empty(server.root() / "up"));
    }

    // A double-clicked file that meets an untrusted certificate: the question comes, the run goes
    // on once trusted, and the file keeps the trust so the next run (or bxfr) need not ask.
    void DirectTransferKeepsATrustedCertificateInItsFile() {
        test::FtpTestServer server({.tls = "implicit"});
        test::WriteFile(Path("tls/a.txt"), "over TLS\n");
        const std::string file = Path("tls.bxt");
        test::WriteFile(file, TransferFile(server, "PASS=secret\r\nSERVERPATH=/up\r\nLOCALPATH=" +
                                                       Path("tls") + "\r\nPROTOCOL=ftps\r\n"));
        auto shown = std::make_shared<QString>();
        WhenModal<dialogs::TrustDialog>([shown](dialogs::TrustDialog* dialog) {
            *shown = dialog->Details();
            dialog->TrustButton()->click();
        });
        const app::StartupOutcome outcome = app::RunStartup({file, "/t"});
        QCOMPARE(outcome.transferStatus, 1);
        QVERIFY2(shown->contains(QString::fromStdString(server.Fingerprint())), qPrintable(*shown));
        QCOMPARE(test::ReadFile(server.root() / "up" / "a.txt"), std::string("over TLS\n"));
        const std::string saved = test::ReadFile(file);
        QVERIFY2(saved.find("FINGERPRINT=" + server.Fingerprint() + "\r\n") != std::string::npos,
                 saved.c_str());

        // The next run asks nothing.
        const app::StartupOutcome again = app::RunStartup({file, "/t"});
        QCOMPARE(again.transferStatus, 1);
        QCOMPARE(server.LoginCount(), 2);
    }

    void CancelledPasswordPromptConnectsNowhere() {
        test::FtpTestServer server;
        const std::string file = Path("ask.bxt");
        test::WriteFile(file, TransferFile(server, "PASSPROMPT=1\r\nLOCALPATH=" + Path("") + "\r\n"));
        WhenModal<dialogs::PasswordPrompt>([](dialogs::PasswordPrompt* prompt) {
            QCOMPARE(prompt->findChild<QLineEdit*>("server")->text(), QString("127.0.0.1"));
            prompt->reject();
        });
        const app::StartupOutcome outcome = app::RunStartup({file, "/t"});
        QCOMPARE(outcome.decision, job::StartupDecision::DirectTransfer);
        QVERIFY(outcome.passwordCancelled);
        QCOMPARE(app::StartupExitCode(outcome), 2);
        QVERIFY(server.Commands().empty());
    }

    void WizardPagesLoadAndAskBeforeExit() {
        test::WizardState w;
        wizard::WizardSheet sheet(w.context);
        auto* welcome = new wizard::WizWelcome(w.context);
        sheet.SetPlace(wizard::PlaceWelcome, welcome);
        auto* load = new wizard::WizLoad(w.context);
        sheet.SetPlace(wizard::PlaceLoad, load);

        const std::string kept = Path("kept.bxt"), gone = Path("gone.bxt");
        test::WriteFile(kept, "[BXFR]\r\nSERVER=ftp.example.test\r\nVERBOSE=1\r\n");
        prefs::AddToMru(gone);
        prefs::AddToMru(kept);
        load->OnSetActive();
        auto* combo = load->findChild<QComboBox*>("transferFileCombo");
        QCOMPARE(combo->count(), 1);  // a file no longer there is not offered
        QCOMPARE(combo->itemText(0), QString::fromStdString(kept));

        // A new transfer starts from defaults, whatever was loaded before.
        w.job.SetServer("left over");
        QVERIFY(load->OnWizardNext());
        QVERIFY(w.job.server.empty());
        QVERIFY(w.job == w.baseline);

        load->findChild<QRadioButton*>("loadRadio")->click();
        combo->setEditText(temp_->filePath("nothing here.bxt"));
        auto box = AnswerBox(QMessageBox::Ok);
        QVERIFY(!load->OnWizardNext());
        QCOMPARE(*box, QString("Invalid Transfer File"));

        combo->setEditText(QString::fromStdString(kept));
        QVERIFY(load->OnWizardNext());
        QCOMPARE(w.job.server, std::string("ftp.example.test"));
        QCOMPARE(w.job.verbose, 1);
        QCOMPARE(prefs::ReadMru(0), kept);
        QVERIFY(w.job == w.baseline);

        // Cancel asks only after a change.
        QVERIFY(welcome->OnQueryCancel());
        w.job.SetServer("changed");
        auto exitBox = AnswerBox(QMessageBox::No);
        QVERIFY(!welcome->OnQueryCancel());
        QVERIFY(exitBox->contains("exit"));

        // The crypto warning: "No" is remembered and never asked again.
        auto warning = AnswerBox(QMessageBox::No);
        welcome->WarnIfNoCrypto(false);
        QVERIFY2(warning->contains("will not be saved"), qPrintable(*warning));
        QCOMPARE(prefs::UserSettings().GetShowCryptoWarning(), 0);
        const test::BoxWatcher again;
        welcome->WarnIfNoCrypto(false);
        QVERIFY(again.texts.isEmpty());
    }

    // "Clear List" acts at once, even when the settings dialog is then cancelled.
    void ClearListActsAtOnce() {
        prefs::UserSettings reopened;
        reopened.SetServerMruEnabled(1);
        reopened.Save();
        prefs::AddServerMru("ftp.example.test", "me", "pw");
        WhenModal<dialogs::SettingsDialog>([](dialogs::SettingsDialog* dialog) {
            AnswerBox(QMessageBox::Ok);
            dialog->findChild<QCheckBox*>("mruEnabled")->setChecked(false);
            dialog->findChild<QPushButton*>("clearList")->click();
            dialog->reject();
        });
        QVERIFY(!dialogs::EditUserSettings(reopened, nullptr));
        QCOMPARE(prefs::ReadServerMru(0).server, std::string());
        QCOMPARE(prefs::UserSettings().GetServerMruEnabled(), 1);
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
