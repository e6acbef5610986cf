#include <QtTest>
#include <QtWidgets>
#include <filesystem>
#include <functional>
#include <memory>

#include "dialogs/server_advanced_dialog.h"
#include "dialogs/tran_prog.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/qt_helpers.h"
#include "support/temp_dir.h"

using namespace bxfr;
using bxfr::dialogs::TranProg;
using bxfr::test::Child;
using bxfr::test::SendJob;
using bxfr::test::WhenModal;
namespace fs = std::filesystem;

namespace {

constexpr const char* kBegin = " ***** Brindle FTP Transfer Begins *****";
constexpr const char* kEnd = " ***** Brindle FTP Transfer Ends *****";
constexpr int kBigFile = 8 * 1024 * 1024;  // 32 s at the server's rate

// Runs the dialog modally while `during` acts on it from inside its loop; a failed check
// there cancels the run, and a dialog that never ends stops the test instead of hanging it.
void RunModal(TranProg& dialog, const std::function<void()>& during) {
    QTimer::singleShot(0, &dialog, [&] {
        during();
        if (QTest::currentTestFailed()) dialog.reject();
    });
    QTimer::singleShot(90000, &dialog, [] { qFatal("the progress dialog did not end"); });
    dialog.exec();
}

// A client that fails in a way the engine never does.
struct ThrowingClient : engine::Connector {
    std::unique_ptr<engine::Connection> Connect(const engine::LoginParams&) override { throw 42; }
    engine::ServerReply LastReply() const override { return {}; }
};

}  // namespace

class TranProgTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FtpTestServer> server_;
    std::unique_ptr<test::TempDir> local_;

private slots:
    void initTestCase() {
        test::FtpServerOptions options;
        options.maxRateBytesPerSecond = 256 * 1024;
        server_ = std::make_unique<test::FtpTestServer>(options);
        local_ = std::make_unique<test::TempDir>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((local_->path() / "settings").string()));
        const fs::path tree = local_->path() / "tree";
        test::WriteFile(tree / "sub" / "b.bin", std::string(400 * 1024, 'b'));
        test::WriteFile(tree / "sub" / "deeper" / "c.bin", std::string(500 * 1024, '\0'));
        test::WriteFile(local_->path() / "big" / "big.bin", std::string(kBigFile, 'z'));
    }

    void SendsATreeAndShowsItsBytes() {
        // Slow replies make even a small tree span a few refreshes.
        test::FtpServerOptions options;
        options.replyDelaySeconds = 0.1;
        test::FtpTestServer server(options);
        job::TransferJob job = SendJob(server, local_->path() / "tree", "tree");
        const fs::path logPath = local_->path() / "run.log";
        job.SetLogPath(logPath.string());
        std::int32_t status = -1;
        TranProg dialog(job, &status);
        auto* bytes = Child<QLabel>(&dialog, "byteLine");
        QStringList lines;
        RunModal(dialog,
                 [&] { QTRY_VERIFY_WITH_TIMEOUT((lines << bytes->text(), !dialog.isVisible()), 30000); });
        QCOMPARE(status, 1);
        QVERIFY2(!lines.filter(QRegularExpression("^Sent .* of 900.00 KB ")).isEmpty(),
                 qPrintable(lines.join(" | ")));
        QCOMPARE(test::ReadFile(server.root() / "tree" / "sub" / "deeper" / "c.bin"),
                 std::string(500 * 1024, '\0'));

        // The pane gets each message once, however many ticks the run took; banners go to the file.
        const QString pane = Child<QPlainTextEdit>(&dialog, "logText")->toPlainText();
        QCOMPARE(pane.count("Connecting to 127.0.0.1 ..."), 1);
        QVERIFY(!pane.contains("*****"));
        QVERIFY2(pane.split('\n').filter(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d ")).size() ==
                     pane.count('\n') + 1,
                 qPrintable(pane));
        QVERIFY2(
            pane.contains(QRegularExpression("Summary: 2 files moved, 0 skipped, 0 failed; 900.00 KB in ")),
            qPrintable(pane));
        const std::string log = test::ReadFile(logPath);
        const auto begin = log.find(kBegin), connecting = log.find("Connecting to 127.0.0.1 ..."),
                   end = log.rfind(kEnd);
        QVERIFY(begin < connecting && connecting < end && end != std::string::npos);
        QVERIFY(log.find("Summary: 2 files moved") < end);
        QVERIFY(job.messageCallback == nullptr);  // the callbacks pointed into the dialog's worker

        // The pane stays as the user left it, for the next run too.
        QVERIFY(!dialog.LogExpanded());
        Child<QPushButton>(&dialog, "toggleLog")->click();
        TranProg next(job, &status);
        QVERIFY(next.LogExpanded());
        Child<QPushButton>(&next, "toggleLog")->click();
    }

    void OnlyCancelEndsARunningFile() {
        job::TransferJob job = SendJob(*server_, local_->path() / "big", "cancel");
        test::WriteFile(server_->root() / "cancel" / "big.bin", "the copy on the site");
        std::int32_t status = -1;
        TranProg dialog(job, &status);
        auto* bytes = Child<QLabel>(&dialog, "byteLine");
        auto* cancel = Child<QPushButton>(&dialog, "cancelButton");
        QElapsedTimer sinceCancel;
        RunModal(dialog, [&] {
            QTRY_VERIFY_WITH_TIMEOUT(bytes->text().contains(QRegularExpression("^Sent [1-9].* of 8.00 MB ")),
                                     20000);
            // The row names the file that moves, whatever the log has been told yet.
            QCOMPARE(Child<QLabel>(&dialog, "movingName0")->toolTip(),
                     QString::fromStdString((local_->path() / "big" / "big.bin").string()));
            QVERIFY(Child<QLabel>(&dialog, "movingBytes0")->text().endsWith(" of 8.00 MB"));
            QVERIFY(!Child<QLabel>(&dialog, "movingName1")->isVisible());
            QTest::keyClick(dialog.focusWidget() ? dialog.focusWidget() : &dialog, Qt::Key_Return);
            QTest::keyClick(&dialog, Qt::Key_Enter);
            dialog.done(QDialog::Accepted);  // only the end of the run may end it
            QVERIFY(dialog.isVisible() && cancel->isEnabled());
            QTest::mouseClick(cancel, Qt::LeftButton);
            sinceCancel.start();
            QVERIFY(!cancel->isEnabled());
            QCOMPARE(Child<QLabel>(&dialog, "statusText")->text(), QString("Cancelling…"));
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(!dialog.close());
            QVERIFY(dialog.isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 15000);
        });
        QCOMPARE(status, 3);
        QVERIFY2(sinceCancel.elapsed() < 5000, qPrintable(QString::number(sinceCancel.elapsed())));
        QVERIFY(Child<QPlainTextEdit>(&dialog, "logText")
                    ->toPlainText()
                    .contains("was not sent; the server keeps its previous copy"));
        // The old copy is whole and the part that was on its way is gone.
        QCOMPARE(test::ReadFile(server_->root() / "cancel" / "big.bin"), std::string("the copy on the site"));
        QCOMPARE(std::distance(fs::directory_iterator(server_->root() / "cancel"), fs::directory_iterator()),
                 1);
    }

    void FailuresEndWithTheirStatus() {
        // A refused login shows the box (status 0) unless errors are ignored; so does a client
        // failing in a way the engine never does, with its reason in the log too.
        struct Case {
            bool ignore, throwing;
            int status;
            const char* box;
        };
        for (const Case& c :
             {Case{false, false, 0,
                   "The server did not accept the user name and password: "
                   "check them on the Server page. | Error 12014: Incorrect password: 530"},
              Case{true, false, 2, nullptr},
              Case{false, true, 0,
                   "The transfer stopped on an error (Internal error): the details "
                   "and the log tell more. | Error 12004 (Internal error): unknown failure"}}) {
            job::TransferJob job = SendJob(*server_, local_->path() / "tree", "never");
            job.SetPassword("wrong");
            job.ignoreErrors = c.ignore;
            const fs::path logPath = local_->path() / "failed.log";
            job.SetLogPath(logPath.string());
            std::int32_t status = -1;
            test::BoxWatcher boxes;
            dialogs::ConnectorFactory factory;
            if (c.throwing) factory = [] { return std::make_unique<ThrowingClient>(); };
            TranProg dialog(job, &status, nullptr, factory);
            RunModal(dialog, [&] { QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 25000); });
            QCOMPARE(status, c.status);
            QCOMPARE(boxes.texts.size(), c.box ? 1 : 0);
            if (!c.box) continue;
            QVERIFY2(boxes.texts.front().startsWith(c.box), qPrintable(boxes.texts.front()));
            const std::string log = test::ReadFile(logPath);
            QVERIFY(log.find(kEnd) == std::string::npos);  // only success ends it
            if (c.throwing) {
                QVERIFY(log.find("unexpected failure: unknown failure") != std::string::npos);
                QVERIFY(
                    Child<QPlainTextEdit>(&dialog, "logText")->toPlainText().contains("unexpected failure"));
            }
        }
    }

    void ServerAdvancedSplitsJoinsAndRefuses() {
        // The proxy in the job, as split into the fields; a field typed into; the proxy and port
        // after OK, or nullptr when it is refused.
        struct Case {
            const char *proxy, *shownAddress, *shownPort, *field, *text, *stored;
            std::uint16_t port;
        };
        const Case cases[] = {
            {"", "", "0", "port", "1", "", 1},
            {"proxy.lan", "proxy.lan", "0", "port", "65535", "proxy.lan:0", 65535},
            {"proxy.lan:", "proxy.lan", "0", "proxyPort", "3128", "proxy.lan:3128", 21},
            {"proxy.lan:x1", "proxy.lan", "0", "proxyAddress", "", "", 21},  // no address, no proxy
            {"proxy.lan:8080", "proxy.lan", "8080", "port", "21x", nullptr, 0},
            {"proxy.lan:8080", "proxy.lan", "8080", "port", "0", nullptr, 0},
            {"proxy.lan:8080", "proxy.lan", "8080", "port", "65536", nullptr, 0},
            {"proxy.lan:8080", "proxy.lan", "8080", "proxyPort", "70000", nullptr, 0},
            // A SOCKS5 proxy keeps its kind; an IPv6 address its brackets.
            {"socks5://[::1]:1080", "::1", "1080", "port", "22", "socks5://[::1]:1080", 22},
        };
        for (const Case& c : cases) {
            const QByteArray row = QByteArray(c.proxy) + " / " + c.field + "=" + c.text;
            job::TransferJob job;
            job.SetPort(21);
            job.SetProxy(c.proxy);
            const job::TransferJob before = job;
            dialogs::ServerAdvancedDialog dialog(job);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            QCOMPARE(Child<QLineEdit>(&dialog, "proxyAddress")->text(), QString(c.shownAddress));
            QCOMPARE(Child<QLineEdit>(&dialog, "proxyPort")->text(), QString(c.shownPort));
            auto* edit = Child<QLineEdit>(&dialog, c.field);
            edit->setText(c.text);
            test::BoxWatcher boxes;
            dialog.accept();
            QVERIFY2(boxes.texts.size() == (c.stored ? 0 : 1) && dialog.isVisible() == !c.stored, row);
            if (!c.stored) {
                QCOMPARE(edit->selectedText(), QString(c.text));  // the offending field is picked out
                QVERIFY2(job == before, row);
                continue;
            }
            QCOMPARE(job.proxy, std::string(c.stored));
            QCOMPARE(job.accessType, *c.stored ? 3u : 0u);
            QCOMPARE(job.port, c.port);
        }

        // SFTP has no passive mode to offer; the proxy and the connections stay.
        for (const bool sftp : {false, true}) {
            job::TransferJob own;
            own.protocol = sftp ? job::Protocol::Sftp : job::Protocol::Ftp;
            own.SetPort(22);
            own.passive = 1;
            dialogs::ServerAdvancedDialog advanced(own);
            advanced.show();
            QVERIFY(QTest::qWaitForWindowExposed(&advanced));
            QCOMPARE(Child<QCheckBox>(&advanced, "passive")->isVisible(), !sftp);
            Child<QLineEdit>(&advanced, "proxyAddress")->setText("proxy.lan");
            Child<QLineEdit>(&advanced, "proxyPort")->setText("3128");
            Child<QSpinBox>(&advanced, "connections")->setValue(3);
            Child<QSpinBox>(&advanced, "speedLimit")->setValue(500);
            advanced.accept();
            QCOMPARE(own.proxy, std::string("proxy.lan:3128"));
            QCOMPARE(own.passive, 1);
            QCOMPARE(own.connections, 3);
            QCOMPARE(own.speedLimit, 500);
        }
    }

    void PasswordPromptStoresOnlyOnOk() {
        job::TransferJob job;
        job.SetServer("ftp.example.com");
        job.SetUserName("bob");
        job.SetPassword("old");
        for (bool ok : {false, true}) {
            WhenModal<dialogs::PasswordPrompt>([ok](dialogs::PasswordPrompt* prompt) {
                auto* password = Child<QLineEdit>(prompt, "password");
                QVERIFY(password->text().isEmpty());  // whatever the job holds
                QCOMPARE(password->echoMode(), QLineEdit::Password);
                password->setText("new");
                ok ? prompt->accept() : prompt->reject();
            });
            QCOMPARE(dialogs::RunPasswordPrompt(job, nullptr), ok);
            QCOMPARE(job.password, std::string(ok ? "new" : "old"));
        }

        // With a key file the one secret asked for is the key's passphrase.
        job.keyFile = "/home/bob/.ssh/id_ed25519";
        WhenModal<dialogs::PasswordPrompt>([](dialogs::PasswordPrompt* prompt) {
            QCOMPARE(Child<QLineEdit>(prompt, "keyFile")->text(), QString("/home/bob/.ssh/id_ed25519"));
            Child<QLineEdit>(prompt, "password")->setText("unlock");
            prompt->accept();
        });
        QVERIFY(dialogs::RunPasswordPrompt(job, nullptr));
        QCOMPARE(job.password, std::string("unlock"));
    }
};

QTEST_MAIN(TranProgTest)
#include "tran_prog_test.moc"
