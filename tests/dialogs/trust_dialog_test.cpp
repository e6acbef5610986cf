#include <QtTest>
#include <QtWidgets>
#include <filesystem>
#include <optional>

#include "dialogs/remote_pickers.h"
#include "dialogs/tran_prog.h"
#include "dialogs/trust_dialog.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/qt_helpers.h"
#include "support/scoped_env.h"
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

}  // namespace

class TrustDialogTest : public QObject {
    Q_OBJECT

private slots:
    // Certificate or host key, unknown or changed: what the user needs to decide is shown, Cancel
    // is the default, and a changed one is trusted only once confirmed, never by Return.
    void EachQuestionShowsWhatItAsksAndGuardsAChange() {
        const QString pinned = "Trusted:   SHA256:" + QString(43, 'Q');
        const QString cert = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
        const QString key = "SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0";
        const struct {
            bool hostKey, changed;
            QStringList shown;  // in its heading, reason or details
        } cases[] = {
            {false,
             false,
             {"ftp.example.com", "not trusted", "self-signed", "Fingerprint: " + cert,
              "Subject: CN = ftp.example.com", "Issuer: CN = ftp.example.com",
              "Valid from 2026-12-01 00:00:00 UTC to 2027-12-01 00:00:00 UTC"}},
            {false, true, {"changed", "attacker", pinned, "Presented: " + cert}},
            {true,
             false,
             {"[sftp.example.com]:2222 is not known", "known_hosts", "Key type: ssh-ed25519",
              "Fingerprint: " + key}},
            {true,
             true,
             {"host key of sftp.example.com has changed", "attacker", "Presented: " + key,
              pinned + "\n           (in /root/.ssh/known_hosts line 3)"}},
        };
        for (const auto& slot : cases) {
            engine::ServerCertificate asked = slot.hostKey ? UnknownHostKey() : SelfSigned();
            if (slot.changed) {
                asked.pinned = "SHA256:" + std::string(43, 'Q');
                asked.pinnedIn = slot.hostKey ? "/root/.ssh/known_hosts line 3" : "";
                asked.port = 22;
            }
            TrustDialog dialog(asked, slot.hostKey ? "sftp.example.com" : "ftp.example.com");
            const QString all = dialog.Heading() + "\n" + dialog.Reason() + "\n" + dialog.Details();
            for (const QString& part : slot.shown) QVERIFY2(all.contains(part), qPrintable(part));
            QVERIFY(dialog.CancelButton()->isDefault());
            QCOMPARE(dialog.TrustButton()->isEnabled(), !slot.changed);
            QCOMPARE(dialog.ConfirmBox() != nullptr, slot.changed);
            // A changed key is the administrator's to replace in known_hosts.
            QCOMPARE(dialog.KnownHostsBox() != nullptr, slot.hostKey && !slot.changed);
            bool closedByKey = false;
            if (slot.changed) {
                dialog.ConfirmBox()->setChecked(true);
                QVERIFY(dialog.TrustButton()->isEnabled());
                test::WhenModal<TrustDialog>([&](TrustDialog* d) {
                    QTest::keyClick(d, Qt::Key_Return);
                    closedByKey = !d->isVisible();
                });
                QCOMPARE(dialog.exec(), QDialog::Rejected);
                QVERIFY(closedByKey);
            } else {
                test::WhenModal<TrustDialog>([](TrustDialog* d) { d->TrustButton()->click(); });
                QCOMPARE(dialog.exec(), QDialog::Accepted);
            }
        }
    }

    // Over SFTP a picker logs in with the job's key file and asks about the host key with the
    // same dialog; the trusted key goes back to the job, and into known_hosts after what is there.
    void APickerAsksAboutAHostKeyAndKeepsIt() {
        if (!test::SshdTestServer::Available()) QSKIP("sshd or its test account is missing, or not root");
        const test::TempDir keys;
        test::MakeSshKey(keys.path() / "id_test", "");
        test::WriteFile(keys.path() / ".ssh" / "known_hosts", "other ssh-rsa AAAA");
        const test::SshdTestServer server({.hostKey = {}, .authorizedKey = keys.path() / "id_test.pub"});
        fs::create_directories(server.root() / "docs");
        server.HandOver();
        test::WhenModal<TrustDialog>([](TrustDialog* dialog) {
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
        const test::ScopedEnv home("HOME", keys.path().string());
        // No password: only the key can log in.
        QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder(
                     "127.0.0.1", test::SshdTestServer::User(), "", "", server.port(), 1, &folder, nullptr,
                     {}, {job::Protocol::Sftp, &fingerprint, (keys.path() / "id_test").string()}),
                 1);
        QCOMPARE(fingerprint, server.Fingerprint());
        QVERIFY2(QString::fromStdString(folder).endsWith("/docs/made"), folder.c_str());
        QVERIFY(fs::is_directory(server.root() / "docs" / "made"));
        QCOMPARE(test::ReadFile(keys.path() / ".ssh" / "known_hosts"),
                 "other ssh-rsa AAAA\n" + server.KnownHostsLine() + "\n");
    }
};

QTEST_MAIN(TrustDialogTest)
#include "trust_dialog_test.moc"
