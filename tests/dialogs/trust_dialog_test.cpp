#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <optional>

#include "dialogs/prop_test_helpers.h"
#include "dialogs/remote_pickers.h"
#include "dialogs/tran_prog.h"
#include "dialogs/trust_dialog.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/sshd_test_server.h"
#include "support/temp_dir.h"

using namespace bxfr;
using bxfr::dialogs::TrustDialog;
namespace fs = std::filesystem;

namespace {

engine::ServerCertificate SelfSigned() {
    engine::ServerCertificate certificate;
    certificate.fingerprint = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
    certificate.subject = "CN = ftp.example.com";
    certificate.issuer = "CN = ftp.example.com";
    certificate.validFrom = "2026-12-01 00:00:00 UTC";
    certificate.validUntil = "2027-12-01 00:00:00 UTC";
    certificate.whyUntrusted = "it is self-signed: no authority this computer trusts vouches for it";
    return certificate;
}

engine::ServerCertificate UnknownHostKey() {
    engine::ServerCertificate key;
    key.keyType = "ssh-ed25519";
    key.fingerprint = "SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0";
    key.whyUntrusted = "it is not in /root/.ssh/known_hosts";
    key.keyBase64 = "AAAAC3NzaC1lZDI1NTE5AAAAIBBBB";
    key.host = "sftp.example.com";
    key.port = 2222;
    return key;
}

job::TransferJob SendOverTls(const test::FtpTestServer& server, const fs::path& local) {
    job::TransferJob job;
    job.SetServer(server.host());
    job.SetPort(server.port());
    job.SetUserName(server.userName());
    job.SetPassword(server.password());
    job.protocol = job::Protocol::Ftpes;
    job.passive = 1;
    job.transferType = 1;
    job.reportProgress = 1;
    job.SetLocalPath(local.string());
    job.SetRemotePath("/www");
    return job;
}

}  // namespace

class TrustDialogTest : public QObject {
    Q_OBJECT

private slots:
    void ShowsTheCertificateAndTrustsOnlyWhenAsked() {
        const engine::ServerCertificate certificate = SelfSigned();
        for (const bool trust : {true, false}) {
            TrustDialog dialog(certificate, "ftp.example.com");
            QCOMPARE(dialog.windowTitle(), QString("Brindle FTP - Server Certificate"));
            QVERIFY(dialog.Heading().contains("ftp.example.com"));
            QVERIFY(dialog.Heading().contains("not trusted"));
            QVERIFY(dialog.Reason().contains("self-signed"));
            for (const char* part : {"Subject: CN = ftp.example.com", "Issuer: CN = ftp.example.com",
                                     "Valid from 2026-12-01 00:00:00 UTC to 2027-12-01 00:00:00 UTC",
                                     "Fingerprint: SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0"}) {
                QVERIFY2(dialog.Details().contains(part), part);
            }
            QVERIFY(dialog.CancelButton()->isDefault());
            QVERIFY(dialog.TrustButton()->isEnabled());
            QCOMPARE(dialog.ConfirmBox(), nullptr);
            QTimer::singleShot(0, &dialog,
                               [&] { (trust ? dialog.TrustButton() : dialog.CancelButton())->click(); });
            QCOMPARE(dialog.exec(), trust ? QDialog::Accepted : QDialog::Rejected);
        }
    }

    void AReplacedCertificateWaitsForTheUsersConfirmation() {
        engine::ServerCertificate certificate = SelfSigned();
        certificate.pinned = "SHA256:" + std::string(43, 'Q');
        TrustDialog dialog(certificate, "ftp.example.com");
        QVERIFY(dialog.Heading().contains("changed"));
        QVERIFY(dialog.Reason().contains("attacker"));
        QVERIFY(dialog.Details().contains(QString("Trusted:   SHA256:") + QString(43, 'Q')));
        QVERIFY(dialog.Details().contains("Presented: SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0"));
        QVERIFY(dialog.CancelButton()->isDefault());
        QVERIFY(!dialog.TrustButton()->isEnabled());
        QVERIFY(dialog.ConfirmBox() != nullptr);
        dialog.ConfirmBox()->setChecked(true);
        QVERIFY(dialog.TrustButton()->isEnabled());
        // Return takes the default button: never the replaced certificate.
        QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Return); });
        QCOMPARE(dialog.exec(), QDialog::Rejected);
    }

    // A host key: its type and fingerprint instead of a certificate's fields; an unknown one is
    // trusted with one click, a changed one only after the confirmation, never by Return.
    void ShowsAHostKeyAndGuardsAChangedOne() {
        engine::ServerCertificate key = UnknownHostKey();
        {
            TrustDialog dialog(key, "sftp.example.com");
            QCOMPARE(dialog.windowTitle(), QString("Brindle FTP - Server Host Key"));
            QCOMPARE(dialog.Heading(),
                     QString("<b>The host key of [sftp.example.com]:2222 is not known</b>"));
            QVERIFY(dialog.Reason().contains("known_hosts"));
            QCOMPARE(dialog.Details(),
                     QString("Key type: ssh-ed25519\n"
                             "Fingerprint: SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0\n"));
            QCOMPARE(dialog.TrustButton()->text(), QString("&Trust for this transfer"));
            QVERIFY(dialog.TrustButton()->isEnabled());
            QVERIFY(dialog.CancelButton()->isDefault());
            QCOMPARE(dialog.ConfirmBox(), nullptr);
            // Asked for, the key goes into known_hosts as OpenSSH writes it, after what is there.
            const test::TempDir home;
            test::WriteFile(home.path() / ".ssh" / "known_hosts", "other ssh-rsa AAAA");
            const QByteArray before = qgetenv("HOME");
            qputenv("HOME", QByteArray::fromStdString(home.path().string()));
            dialog.KnownHostsBox()->setChecked(true);
            QTimer::singleShot(0, &dialog, [&] { dialog.TrustButton()->click(); });
            QCOMPARE(dialog.exec(), QDialog::Accepted);
            qputenv("HOME", before);
            QCOMPARE(test::ReadFile(home.path() / ".ssh" / "known_hosts"),
                     std::string("other ssh-rsa AAAA\n[sftp.example.com]:2222 ssh-ed25519 "
                                 "AAAAC3NzaC1lZDI1NTE5AAAAIBBBB\n"));
        }
        key.pinned = "SHA256:" + std::string(43, 'Q');
        key.pinnedIn = "/root/.ssh/known_hosts line 3";
        key.port = 22;
        TrustDialog dialog(key, "sftp.example.com");
        QCOMPARE(dialog.KnownHostsBox(), nullptr);  // a changed key is the administrator's to replace
        QCOMPARE(dialog.Heading(), QString("<b>Warning: the host key of sftp.example.com has changed</b>"));
        QVERIFY(dialog.Reason().contains("attacker"));
        QVERIFY(dialog.Details().contains(QString("Trusted:   SHA256:") + QString(43, 'Q') +
                                          "\n           (in /root/.ssh/known_hosts line 3)"));
        QVERIFY(dialog.Details().contains("Presented: SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0"));
        QVERIFY(!dialog.TrustButton()->isEnabled());
        QVERIFY(dialog.ConfirmBox() != nullptr);
        dialog.ConfirmBox()->setChecked(true);
        QVERIFY(dialog.TrustButton()->isEnabled());
        QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Return); });
        QCOMPARE(dialog.exec(), QDialog::Rejected);
    }

    // The progress dialog's run stops at the certificate, the question comes instead of an
    // error box, and a trusted certificate is kept in the job and the run goes again.
    void TheRunAsksAndGoesOnOnceTrusted() {
        const test::FtpTestServer server({.tls = "explicit"});
        const test::TempDir local;
        test::WriteFile(local.path() / "index.html", "<p>over TLS</p>\n");
        int boxes = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxes;
                box->accept();
            }
        });
        watch.start(10);

        for (const bool trust : {false, true}) {
            job::TransferJob job = SendOverTls(server, local.path());
            std::int32_t status = -1;
            std::optional<engine::ServerCertificate> asked;
            std::string askedFor;
            dialogs::RunTransferProgress(
                job, &status, nullptr, {},
                [&](const engine::ServerCertificate& certificate, const std::string& host) {
                    asked = certificate;
                    askedFor = host;
                    return trust;
                });
            QCOMPARE(askedFor, std::string("127.0.0.1"));
            QVERIFY(asked.has_value());
            QCOMPARE(asked->fingerprint, server.Fingerprint());
            QCOMPARE(job.fingerprint, trust ? server.Fingerprint() : std::string());
            QCOMPARE(status, trust ? 1 : 0);
        }
        QCOMPARE(boxes, 0);
        QCOMPARE(server.LoginCount(), 1);
        QCOMPARE(test::ReadFile(server.root() / "www" / "index.html"), std::string("<p>over TLS</p>\n"));
    }

    void APickerAsksTheSameWayAndKeepsTheTrustedCertificate() {
        const test::FtpTestServer server({.tls = "implicit"});
        fs::create_directories(server.root() / "docs");
        std::string fingerprint;
        for (const bool trust : {false, true}) {
            engine::LoginParams params;
            params.server = server.host();
            params.port = server.port();
            params.protocol = job::Protocol::Ftps;
            params.userName = server.userName();
            params.password = server.password();
            params.passive = true;
            dialogs::RemotePickerDialog dialog(dialogs::RemotePickerDialog::Kind::Folder, params, QString(),
                                               {});
            int asked = 0;
            dialog.SetTrustQuestion([&](const engine::ServerCertificate& certificate) {
                ++asked;
                fingerprint = certificate.fingerprint;
                return trust;
            });
            dialog.show();
            QVERIFY(QTest::qWaitFor([&] { return asked > 0 && !dialog.IsBusy(); }, 15000));
            auto* list = dialog.findChild<QListWidget*>("entryList");
            QCOMPARE(list->count(), trust ? 1 : 0);
            QCOMPARE(dialog.TrustedFingerprint(), trust ? server.Fingerprint() : std::string());
        }
        QCOMPARE(fingerprint, server.Fingerprint());
        QCOMPARE(server.LoginCount(), 1);
    }

    // Over SFTP a picker logs in with the job's key file and asks about the host key with the
    // same dialog, and the trusted key goes back to the job.
    void APickerAsksAboutAHostKeyAndKeepsIt() {
        if (!test::SshdTestServer::Available()) QSKIP("sshd or its test account is missing, or not root");
        const test::TempDir keys;
        test::MakeSshKey(keys.path() / "id_test", "");
        const test::SshdTestServer server({.hostKey = {}, .authorizedKey = keys.path() / "id_test.pub"});
        fs::create_directories(server.root() / "docs");
        server.HandOver();
        QString title;
        test::WhenModal<TrustDialog>([&title](TrustDialog* dialog) {
            title = dialog->windowTitle();
            dialog->KnownHostsBox()->setChecked(true);
            dialog->TrustButton()->click();
        });
        // OK on a folder typed in that is not there yet: made once the user agrees.
        test::WhenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); }, 15000);
        // Takes the picker's listing once it is there, without waiting inside another dialog's loop.
        QElapsedTimer clock;
        clock.start();
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            auto* picker = qobject_cast<dialogs::RemotePickerDialog*>(QApplication::activeModalWidget());
            if (!picker) return;
            if (!picker->IsBusy() && picker->findChild<QListWidget*>("entryList")->count() == 1) {
                picker->findChild<QLineEdit*>("folderPath")->setText("docs/made");
                picker->accept();
            } else if (clock.elapsed() > 15000) {
                picker->reject();
            }
        });
        watch.start(10);
        std::string folder;
        std::string fingerprint;
        // The key is unknown whatever the user's own known_hosts holds.
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QByteArray::fromStdString(keys.path().string()));
        // No password: only the key can log in.
        QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder(
                     "127.0.0.1", test::SshdTestServer::User(), "", "", server.port(), 1, &folder, nullptr,
                     {}, {job::Protocol::Sftp, &fingerprint, (keys.path() / "id_test").string()}),
                 1);
        qputenv("HOME", home);
        QCOMPARE(title, QString("Brindle FTP - Server Host Key"));
        QCOMPARE(fingerprint, server.Fingerprint());
        QVERIFY2(QString::fromStdString(folder).endsWith("/docs/made"), folder.c_str());
        QVERIFY(fs::is_directory(server.root() / "docs" / "made"));
        QCOMPARE(test::ReadFile(keys.path() / ".ssh" / "known_hosts"), server.KnownHostsLine() + "\n");
    }
};

QTEST_MAIN(TrustDialogTest)
#include "trust_dialog_test.moc"
