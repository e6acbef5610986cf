// Page rules the whole-wizard walk does not reach.
#include <QtTest>
#include <QtWidgets>
#include <atomic>
#include <chrono>
#include <fstream>
#include <semaphore>
#include <thread>

#include "engine/sizes.h"
#include "job/transfer_file.h"
#include "prefs/mru_lists.h"
#include "support/qt_helpers.h"
#include "support/wizard_state.h"
#include "wizard/final_page.h"
#include "wizard/local_page.h"
#include "wizard/mode_page.h"
#include "wizard/remote_page.h"
#include "wizard/server_page.h"
#include "wizard/size_calculation.h"
#include "wizard/transfer_page.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

using namespace bxfr;
using namespace bxfr::wizard;
using bxfr::test::AnswerBox;
using bxfr::test::Child;
using bxfr::test::WhenModal;

namespace {

// Picks a security choice as the user does.
void Choose(QComboBox* security, job::Protocol protocol) {
    const int index = security->findData(static_cast<int>(protocol));
    security->setCurrentIndex(index);
    emit security->activated(index);
}

// One sheet with fresh settings; the transfer runner only counts its runs.
struct Fixture : test::WizardState {
    QTemporaryDir temp;
    int runs = 0;
    std::unique_ptr<WizardSheet> sheet;

    Fixture() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp.filePath("settings"));
        job.reportProgress = baseline.reportProgress = 1;
        context.runTransfer = [this](job::TransferJob&, std::int32_t* s) {
            ++runs;
            *s = 1;
        };
        sheet = std::make_unique<WizardSheet>(context);
    }
    template <typename Page>
    Page* Add(int place) {
        auto* page = new Page(context);
        sheet->SetPlace(place, page);
        page->OnSetActive();
        return page;
    }
    std::string Path(const char* name) const { return temp.filePath(name).toStdString(); }
};

}  // namespace

class WizardPagesTest : public QObject {
    Q_OBJECT
private slots:
    void ServerPageAccountsAndRecentServers() {
        Fixture f;
        auto* page = f.Add<WizServer>(PlaceServer);
        auto* server = Child<QComboBox>(page, "serverBox");
        auto* user = Child<QLineEdit>(page, "userNameEdit");
        // Esc asks as soon as anything was typed, stored by Next or not.
        QVERIFY(page->OnQueryCancel());
        server->setEditText("ftp.typed.test");
        auto asked = AnswerBox(QMessageBox::No);
        QVERIFY(!page->OnQueryCancel());
        QVERIFY(asked->startsWith("Some settings have been changed."));
        server->setEditText("   ");
        auto refusal = AnswerBox(QMessageBox::Ok);
        QVERIFY(!page->OnWizardNext());
        QCOMPARE(*refusal, QString("Invalid Server Address"));
        QVERIFY(f.job.server.empty());

        // Typed account details count only in the account state; with the list off nothing is
        // recorded.
        Child<QRadioButton>(page, "accountRadio")->click();
        user->setText("bob");
        Child<QRadioButton>(page, "anonymousRadio")->click();
        server->setEditText(" ftp.example.test ");
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.server, "ftp.example.test");
        QVERIFY(f.job.userName.empty());
        QVERIFY(prefs::ReadServerMru(0).server.empty());

        // With the list on, choosing an entry brings its account back, and Next records it.
        f.settings.serverMruEnabled = 1;
        prefs::AddServerMru("ftp.one.test", "ann", "pw1");
        page->OnSetActive();
        server->setCurrentIndex(0);
        emit server->activated(0);
        QVERIFY(Child<QRadioButton>(page, "accountRadio")->isChecked());
        QCOMPARE(Child<QLineEdit>(page, "passwordEdit")->text(), QString("pw1"));
        user->setText("carl");
        Child<QCheckBox>(page, "savePasswordBox")->setChecked(true);
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.promptPassword, 0);
        QCOMPARE(prefs::ReadServerMru(0), (prefs::ServerMruEntry{"ftp.one.test", "carl", "pw1"}));

        // Back asks once something stored differs from the baseline; No stays.
        auto question = AnswerBox(QMessageBox::No);
        QVERIFY(!page->OnWizardBack());
        QVERIFY(question->contains("go back"));
        f.baseline = f.job;
        server->setEditText("ftp.other.test");
        QVERIFY(page->OnWizardBack());  // typed on this page only: no question
        QCOMPARE(f.job.server, "ftp.other.test");
    }

    void ServerPageKeepsTheBytesOfAFile() {
        // As read from a transfer file written on Windows, in Windows-1252.
        Fixture f;
        f.job.SetServer("ftp.example.test");
        f.job.SetUserName("J\xFCrgen");
        f.job.SetPassword("p\xE4ss");
        auto* page = f.Add<WizServer>(PlaceServer);
        QCOMPARE(Child<QLineEdit>(page, "userNameEdit")->text(), QString::fromUtf8("J\u00fcrgen"));
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.userName, "J\xFCrgen");
        QCOMPARE(f.job.password, "p\xE4ss");
        // What the user types is what the server gets.
        Child<QLineEdit>(page, "passwordEdit")->setText(QString::fromUtf8("p\u00e4ss!"));
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.password, "p\xC3\xA4ss!");
        QCOMPARE(f.job.userName, "J\xFCrgen");
    }

    // The port follows the choice unless set by hand, a loaded job keeps it, and a certificate
    // trusted for one server does not pass to another.
    void ServerPageChoosesTheConnectionSecurity() {
        Fixture f;
        f.job.SetServer("ftp.example.test");
        auto* page = f.Add<WizServer>(PlaceServer);
        auto* security = Child<QComboBox>(page, "securityBox");
        QCOMPARE(security->currentData().toInt(), static_cast<int>(job::Protocol::Ftp));

        Choose(security, job::Protocol::Ftps);
        QCOMPARE(f.job.port, 990);
        Choose(security, job::Protocol::Ftpes);
        QCOMPARE(f.job.port, 21);
        Child<QLineEdit>(page, "portEdit")->setText("2121");
        Choose(security, job::Protocol::Ftps);
        QCOMPARE(f.job.port, 2121);
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.protocol, job::Protocol::Ftps);

        // A job as loaded shows its choice and keeps its trusted certificate.
        f.job.fingerprint = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
        const job::TransferJob loaded = f.job;
        security->setCurrentIndex(0);
        page->OnSetActive();
        QCOMPARE(security->currentData().toInt(), static_cast<int>(job::Protocol::Ftps));
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.fingerprint, loaded.fingerprint);
        Child<QComboBox>(page, "serverBox")->setEditText("ftp.other.test");
        QVERIFY(page->OnWizardNext());
        QVERIFY(f.job.fingerprint.empty());
        // Back to plain FTP, a pin would only make the run refuse to send the password in clear.
        f.job.fingerprint = loaded.fingerprint;
        Choose(security, job::Protocol::Ftp);
        QVERIFY(f.job.fingerprint.empty());
    }

    // SFTP: port 22, an account (never anonymous), a key file whose secret is a passphrase, and
    // nothing of it left in the job once the user goes back to FTP.
    void ServerPageOffersSftpWithAKeyFile() {
        Fixture f;
        f.job.SetServer("sftp.example.test");
        f.job.protocol = job::Protocol::Ftpes;
        f.job.fingerprint = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";  // a TLS certificate's
        auto* page = f.Add<WizServer>(PlaceServer);
        auto* security = Child<QComboBox>(page, "securityBox");
        auto* keyFile = Child<QLineEdit>(page, "keyFileEdit");
        auto* anonymous = Child<QRadioButton>(page, "anonymousRadio");

        Choose(security, job::Protocol::Sftp);
        QCOMPARE(f.job.port, 22);
        QVERIFY(f.job.fingerprint.empty());
        const QString key = f.temp.filePath("id_ed25519");
        QVERIFY(QFile(key).open(QIODevice::WriteOnly));
        // Typed, as Browse would leave it: the file dialog itself is Qt's, and racy offscreen.
        keyFile->setText(key);

        auto refusal = AnswerBox(QMessageBox::Ok);
        QVERIFY(!page->OnWizardNext());  // no user name: SFTP has no anonymous login
        QVERIFY(refusal->contains("user name"));
        Child<QLineEdit>(page, "userNameEdit")->setText("ann");
        Child<QLineEdit>(page, "passwordEdit")->setText("unlock");
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.protocol, job::Protocol::Sftp);
        QCOMPARE(f.job.keyFile, key.toStdString());
        QCOMPARE(f.job.userName, "ann");
        QCOMPARE(f.job.password, "unlock");

        // Shown again, the page takes the key from the job, and SFTP still has no anonymous login.
        keyFile->clear();
        security->setCurrentIndex(0);
        f.job.SetUserName({});
        page->OnSetActive();
        QCOMPARE(security->currentData().toInt(), static_cast<int>(job::Protocol::Sftp));
        QCOMPARE(keyFile->text(), key);
        QVERIFY(anonymous->isHidden() && !anonymous->isChecked());

        Choose(security, job::Protocol::Ftpes);
        QCOMPARE(f.job.port, 21);
        Child<QLineEdit>(page, "userNameEdit")->setText("ann");
        QVERIFY(page->OnWizardNext());
        QVERIFY(f.job.keyFile.empty());
    }

    // Changes made while a walk runs give exactly one more run, and only its result is shown.
    void SizeLineKeepsOnlyTheNewestResult() {
        Fixture f;
        for (const char* name : {"a", "abc", "abcdef"}) QDir(f.temp.path()).mkpath(name);
        f.job.localPathAsEntered = f.Path("missing");
        auto* page = f.Add<WizLocal>(PlaceSource);
        QTRY_VERIFY_WITH_TIMEOUT(!page->SizeCalc().Running(), 5000);  // the missing folder's check
        const int runsBefore = page->SizeCalc().StartedRuns();
        // A walk that waits until let go and reports the length of the folder's name; every
        // walk still held is let go at the end.
        auto gate = std::make_shared<std::counting_semaphore<>>(0);
        auto started = std::make_shared<std::atomic<int>>(0);
        const std::shared_ptr<void> letGo(nullptr, [gate](void*) { gate->release(1000); });
        page->SetFolderSizeWalk(
            [gate, started](job::TransferJob&, const std::string& folder) -> std::uint64_t {
                ++*started;
                gate->acquire();
                return folder.size();
            });
        auto* folder = Child<QLineEdit>(page, "folderEdit");
        for (const char* name : {"a", "abc", "abcdef"}) {
            folder->setText(QString::fromStdString(f.Path(name)));
            emit folder->textEdited(folder->text());
        }
        QCOMPARE(page->SizeCalc().StartedRuns(), runsBefore + 1);
        QTRY_COMPARE_WITH_TIMEOUT(started->load(), 1, 5000);
        QCOMPARE(page->SizeText(), QString("Calculating transfer size ..."));
        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(started->load(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(), QString("Calculating transfer size ..."), 5000);
        gate->release();
        const QString last =
            QString::fromStdString(engine::FormatSize(f.Path("abcdef").size())) + " to transfer";
        QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(), last, 5000);
        QCOMPARE(started->load(), 2);
    }

    void AnOvertakenWalkIsAskedToStop() {
        // A walk of a huge tree, as typing "/" would start: it only ends when asked to.
        Fixture f;
        SizeCalculation calc;
        auto stopped = std::make_shared<std::atomic<bool>>(false);
        QVERIFY(calc.Start(f.job, [stopped](job::TransferJob& copy) -> std::uint64_t {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (std::chrono::steady_clock::now() < limit && !copy.progress.cancelRequested) {
                copy.ReportProgress();
                std::this_thread::yield();
            }
            *stopped = copy.progress.cancelRequested;
            return 1;
        }));
        QSignalSpy ended(&calc, &SizeCalculation::Ended);
        QVERIFY(!calc.Start(f.job, [](job::TransferJob&) -> std::uint64_t { return 0; }));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 10000);
        QVERIFY(stopped->load());
        QCOMPARE(ended.at(0).at(0).toBool(), true);
    }

    void LocalPageChecksTheSourceAndStores() {
        Fixture f;
        QDir(f.temp.path()).mkpath("site");
        std::ofstream(f.Path("site/index.html")) << "x";
        auto* page = f.Add<WizLocal>(PlaceSource);
        auto* folder = Child<QLineEdit>(page, "folderEdit");
        folder->setText(QString::fromStdString(f.Path("nowhere")));
        auto box = AnswerBox(QMessageBox::Ok);
        QVERIFY(!page->OnWizardNext());
        QCOMPARE(*box, QString("Folder does not exist."));
        Child<QRadioButton>(page, "fileRadio")->click();
        auto* file = Child<QLineEdit>(page, "fileEdit");
        file->setText(QString::fromStdString(f.Path("site")));  // a folder is no file
        box = AnswerBox(QMessageBox::Ok);
        QVERIFY(!page->OnWizardNext());
        QCOMPARE(*box, QString("File does not exist."));
        file->setText(QString::fromStdString(f.Path("site/index.html")));
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.singleFile, 1);
        QCOMPARE(f.job.localPathAsEntered, f.Path("site/index.html"));

        // Back stores without checking, so nothing typed is lost.
        Child<QRadioButton>(page, "folderRadio")->click();
        folder->setText(QString::fromStdString(f.Path("typed but missing")));
        QVERIFY(page->OnWizardBack());
        QCOMPARE(f.job.singleFile, 0);
        QCOMPARE(f.job.localPathAsEntered, f.Path("typed but missing"));
        QTRY_VERIFY_WITH_TIMEOUT(!page->SizeCalc().Running(), 5000);
    }

    void LocalPageLooksAtTheDiskOffTheWindowThread() {
        Fixture f;
        std::ofstream(f.Path("a.bin")) << "12345";
        auto* page = f.Add<WizLocal>(PlaceSource);
        // Typing asks nothing of the file system here (a dead network mount would hang it): the
        // size line waits for the size thread.
        Child<QRadioButton>(page, "fileRadio")->click();
        auto* file = Child<QLineEdit>(page, "fileEdit");
        file->setText(QString::fromStdString(f.Path("a.bin")));
        emit file->textEdited(file->text());
        QCOMPARE(page->SizeText(), QString("Calculating transfer size ..."));
        QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(),
                                  QString::fromStdString(engine::FormatSize(5)) + " to transfer", 5000);
    }

    void RemotePageRefusesALineBreak() {
        Fixture f;
        auto* page = f.Add<WizRemote>(PlaceDestination);
        auto* folder = Child<QLineEdit>(page, "folderEdit");
        // It would end the path and start a command on the control connection.
        folder->setText("/www\r\nDELE x");
        QVERIFY(Child<QLabel>(page, "problem")->isVisibleTo(page));
        QVERIFY(!page->OnWizardNext());
        QVERIFY(f.job.remotePathAsEntered.empty());
        folder->setText("/www/");
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.job.remotePath, "/www");
    }

    void TransferPageSavesOrRefuses() {
        Fixture f;
        f.job.SetServer("ftp.example.test");
        auto* page = f.Add<WizTransfer>(PlaceTransfer);
        QVERIFY(!page->OnWizardNext());  // no name at all: shown next to the field
        QVERIFY(Child<QLabel>(page, "transferFileProblem")->isVisibleTo(page));

        // A folder that cannot be written to: the save fails, nothing runs.
        auto* file = Child<QLineEdit>(page, "transferFileEdit");
        file->setText(QString::fromStdString(f.Path("no such folder/job.bxt")));
        auto box = AnswerBox(QMessageBox::Ok);
        QVERIFY(!page->OnWizardNext());
        QVERIFY2(box->startsWith("Failed to save transfer file : Error 2\n\n"), qPrintable(*box));
        QVERIFY(prefs::ReadMru(0).empty());
        QCOMPARE(f.runs, 0);

        file->setText(QString::fromStdString(f.Path("job.bxt")));
        QVERIFY(page->OnWizardNext());
        QCOMPARE(f.runs, 1);
        QVERIFY(QFileInfo::exists(file->text()));
        QCOMPARE(prefs::ReadMru(0), f.Path("job.bxt"));
        QVERIFY(f.job == f.baseline);

        // SYNC and DELETE go into the file; DELETE always previews, and a cancelled preview stays.
        bool run = false;
        f.context.previewTransfer = [&](job::TransferJob&) { return run; };
        auto* mirror = f.Add<WizTransfer>(PlaceTransfer);
        Child<QCheckBox>(mirror, "syncBox")->click();
        Child<QCheckBox>(mirror, "previewBox")->click();
        Child<QCheckBox>(mirror, "deleteMissingBox")->click();
        QVERIFY(Child<QCheckBox>(mirror, "previewBox")->isChecked());
        QVERIFY(!mirror->OnWizardNext());
        run = true;
        QVERIFY(mirror->OnWizardNext());
        job::TransferJob saved;
        QCOMPARE(job::LoadTransferFile(f.Path("job.bxt"), saved), job::kTransferFileLoaded);
        QVERIFY(saved.syncMode == 1 && saved.deleteMissing == 1);
    }

    // Only a run that completed may say so.
    void FinalPageNeverCallsAFailureCompleted() {
        Fixture f;
        auto* page = f.Add<WizFinal>(PlaceFinal);
        for (const int status : {0, 1, 2, 3, 9}) {
            f.status = status;
            page->OnSetActive();
            QCOMPARE(Child<QLabel>(page, "statusText")->text().contains("completed"), status == 1);
        }
        // A failed run says why; a check that could not run says nothing at all.
        f.status = 0;
        f.job.failureText = "Nothing answers at 127.0.0.1 port 2121: check the server name and port.";
        f.job.checkUpgrade = 1;
        f.job.upgradeAvailable = -1;
        page->OnSetActive();
        QVERIFY(Child<QLabel>(page, "statusText")
                    ->text()
                    .endsWith("\n\nNothing answers at 127.0.0.1 port 2121: "
                              "check the server name and port."));
        QVERIFY(Child<QLabel>(page, "updateText")->isHidden());
        f.job.upgradeAvailable = 1;
        page->OnSetActive();
        QVERIFY(!Child<QLabel>(page, "updateText")->isHidden());

        // Without a desktop handler for the log (offscreen has none), it opens in a viewer of ours.
        { std::ofstream(f.Path("run.log")) << "2026-01-01 10:00:00: Connecting to 127.0.0.1 ...\n"; }
        f.job.SetLogPath(f.Path("run.log"));
        page->OnSetActive();
        Child<QPushButton>(page, "viewLogButton")->click();
        auto* viewer = page->window()->findChild<QDialog*>("logViewer");
        QVERIFY(viewer && viewer->isVisible());
        QVERIFY(viewer->findChild<QPlainTextEdit*>()->toPlainText().contains("Connecting to 127.0.0.1"));
        viewer->close();

        // On demand: the preview, then the run only when the preview says so.
        bool runIt = false;
        int ran = 0;
        f.context.previewTransfer = [&](job::TransferJob&) { return runIt; };
        f.context.runTransfer = [&](job::TransferJob&, std::int32_t* s) { *s = ++ran; };
        auto* again = f.Add<WizFinal>(PlaceFinal);
        for (const bool yes : {false, true}) {
            runIt = yes;
            Child<QPushButton>(again, "previewButton")->click();
        }
        QCOMPARE(ran, 1);
        QVERIFY(Child<QLabel>(again, "statusText")->text().contains("completed"));
    }
};

QTEST_MAIN(WizardPagesTest)
#include "wizard_pages_test.moc"
