#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include "dialogs/help_window.h"
#include "dialogs/prop_test_helpers.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/tran_prog.h"
#include "engine/sizes.h"
#include "progress/progress_view.h"
#include "progress/transfer_worker.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/temp_dir.h"

using namespace bxfr;
using bxfr::dialogs::TranProg;
using bxfr::test::WhenModal;
namespace fs = std::filesystem;

namespace {

constexpr const char* kBegin = " ***** Brindle FTP Transfer Begins *****";
constexpr const char* kEnd = " ***** Brindle FTP Transfer Ends *****";
constexpr long long kRate = 256 * 1024;
constexpr int kBigFile = 8 * 1024 * 1024;  // 32 s at kRate

template <typename T>
T* Child(QWidget* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

void AimAt(job::TransferJob& job, const test::FtpTestServer& server, const fs::path& local,
           const std::string& remote) {
    job.SetServer(server.host());
    job.SetPort(server.port());
    job.SetUserName(server.options().user);
    job.SetPassword(server.options().password);
    job.passive = 1;
    job.transferType = 1;
    job.reportProgress = 1;  // as start-up and the load page set it
    job.SetLocalPath(local.string());
    job.SetRemotePath(remote);
}

// Runs the dialog modally while `during` acts on it from inside its loop. A failed check
// there cancels the run, and a dialog that never ends stops the test rather than hanging it.
qint64 RunModal(TranProg& dialog, const std::function<void()>& during) {
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, &dialog, [&] {
        during();
        if (QTest::currentTestFailed()) dialog.reject();
    });
    QTimer::singleShot(90000, &dialog, [] { qFatal("the progress dialog did not end"); });
    dialog.exec();
    return clock.elapsed();
}

// Answers every message box while it lives, keeping their texts; unlike WhenModal it never
// outlives the test that made it.
class BoxWatch {
public:
    BoxWatch() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        timer_.start(10);
    }
    QStringList texts;

private:
    QTimer timer_;
};

// A client that fails in a way the engine never does.
class ThrowingClient : public engine::FtpClient {
public:
    explicit ThrowingClient(bool standard) : standard_(standard) {}
    std::unique_ptr<engine::FtpConnection> Connect(const engine::FtpLoginParams&) override {
        if (standard_) throw std::logic_error("unexpected failure");
        throw 42;
    }
    engine::FtpReply LastReply() const override { return {}; }
    std::string FetchUrl(const std::string&, std::size_t) override { return {}; }

private:
    bool standard_;
};

}  // namespace

class TranProgTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void SendsATreeAndShowsItsBytes();
    void CancelStopsWithinALongFile();
    void KeysAndCloseNeverEndARunningDialog();
    void FailedLoginShowsTheErrorBox();
    void IgnoredErrorsShowNoBox();
    void OddExceptionsStillFinishTheRun();
    void LogPaneToggles();
    void ViewWaitsForBytesAndCounts64Bit();
    void ServerAdvancedSplitsTheProxy();
    void ServerAdvancedRefusesBadPorts();
    void PasswordPromptStoresOnlyOnOk();
    void HelpTopicsAreBuiltIn();

private:
    std::unique_ptr<test::FtpTestServer> server_;
    std::unique_ptr<test::TempDir> local_;
};

void TranProgTest::initTestCase() {
    test::FtpServerOptions options;
    options.maxRateBytesPerSecond = kRate;
    server_ = std::make_unique<test::FtpTestServer>(options);
    local_ = std::make_unique<test::TempDir>();
    const fs::path tree = local_->path() / "tree";
    test::WriteFile(tree / "a.txt", std::string(100 * 1024, 'a'));
    test::WriteFile(tree / "sub" / "b.bin", std::string(300 * 1024, 'b'));
    test::WriteFile(tree / "sub" / "deeper" / "c.bin", std::string(500 * 1024, '\0'));
    test::WriteFile(local_->path() / "big" / "big.bin", std::string(kBigFile, 'z'));
}

void TranProgTest::cleanupTestCase() {
    server_.reset();
    local_.reset();
}

void TranProgTest::SendsATreeAndShowsItsBytes() {
    // Slow replies make even a small tree span a few refreshes.
    test::FtpServerOptions options;
    options.replyDelaySeconds = 0.1;
    test::FtpTestServer server(options);
    job::TransferJob job;
    AimAt(job, server, local_->path() / "tree", "tree");
    const fs::path logPath = local_->path() / "run.log";
    job.SetLogPath(logPath.string());
    QWidget main;
    main.setWindowTitle("Brindle FTP Wizard");
    std::int32_t status = -1;
    TranProg dialog(job, &status, &main);
    QCOMPARE(status, 1);  // set when the dialog opens
    auto* bytes = Child<QLabel>(&dialog, "byteLine");
    QSet<QString> lines, titles;
    const qint64 took = RunModal(dialog, [&] {
        QVERIFY(dialog.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(
            (lines.insert(bytes->text()), titles.insert(main.windowTitle()), !dialog.isVisible()), 30000);
    });
    QCOMPARE(status, 1);
    const QString total = QString::fromStdString(engine::FormatSize(900 * 1024));
    QCOMPARE(total, QString("900.00 KB"));
    bool shown = false;
    for (const QString& line : lines)
        shown |= line.startsWith("Sent ") && line.contains(" of " + total + " ");
    QVERIFY2(shown, qPrintable(QStringList(lines.values()).join(" | ") + " in " + QString::number(took)));
    bool percent = false;
    for (const QString& title : titles) percent |= title.startsWith("BXFR: ") && title.endsWith('%');
    QVERIFY(percent);
    QCOMPARE(main.windowTitle(), QString("Brindle FTP Wizard"));

    QCOMPARE(test::ReadFile(server.root() / "tree" / "a.txt"), std::string(100 * 1024, 'a'));
    QCOMPARE(test::ReadFile(server.root() / "tree" / "sub" / "deeper" / "c.bin"),
             std::string(500 * 1024, '\0'));

    // The pane gets each message once, however many ticks the run took, and no banner.
    const QString pane = Child<QPlainTextEdit>(&dialog, "logText")->toPlainText();
    QCOMPARE(pane.count("Connecting to 127.0.0.1 ..."), 1);
    QVERIFY(!pane.contains("*****"));
    QVERIFY(pane.contains("c.bin"));
    const std::string log = test::ReadFile(logPath);
    const auto begin = log.find(kBegin), connecting = log.find("Connecting to 127.0.0.1 ..."),
               end = log.rfind(kEnd);
    QVERIFY(begin != std::string::npos && connecting != std::string::npos && end != std::string::npos);
    QVERIFY(begin < connecting && connecting < end);
    QVERIFY(job.messageCallback == nullptr);  // the callbacks pointed into the dialog's worker
}

void TranProgTest::CancelStopsWithinALongFile() {
    job::TransferJob job;
    AimAt(job, *server_, local_->path() / "big", "cancel");
    std::int32_t status = -1;
    TranProg dialog(job, &status);
    auto* bytes = Child<QLabel>(&dialog, "byteLine");
    auto* cancel = Child<QPushButton>(&dialog, "cancelButton");
    QElapsedTimer sinceCancel;
    const qint64 took = RunModal(dialog, [&] {
        QVERIFY(cancel->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(
            bytes->text().startsWith("Sent ") && !bytes->text().startsWith("Sent 0 Bytes"), 20000);
        QVERIFY(bytes->text().contains(" of 8.00 MB "));
        QVERIFY(Child<QProgressBar>(&dialog, "progressBar")->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(
            Child<QLabel>(&dialog, "timeLeftLine")->text().startsWith("Estimated time left: "), 5000);
        QTest::mouseClick(cancel, Qt::LeftButton);
        sinceCancel.start();
        QVERIFY(!cancel->isEnabled());
        QVERIFY(dialog.isVisible());
        QTest::mouseClick(cancel, Qt::LeftButton);  // disabled: no second request
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 15000);
    });
    QCOMPARE(status, 3);
    QVERIFY2(sinceCancel.elapsed() < 8000, qPrintable(QString::number(sinceCancel.elapsed())));
    QVERIFY2(took < 25000, qPrintable(QString::number(took)));
    QVERIFY(Child<QPlainTextEdit>(&dialog, "logText")->toPlainText().contains("was cut short"));
    std::error_code ec;
    QVERIFY(fs::file_size(server_->root() / "cancel" / "big.bin", ec) <
            static_cast<std::uintmax_t>(kBigFile));
}

void TranProgTest::KeysAndCloseNeverEndARunningDialog() {
    job::TransferJob job;
    AimAt(job, *server_, local_->path() / "big", "keys");
    std::int32_t status = -1;
    TranProg dialog(job, &status);
    auto* cancel = Child<QPushButton>(&dialog, "cancelButton");
    auto* bytes = Child<QLabel>(&dialog, "byteLine");
    RunModal(dialog, [&] {
        QTRY_VERIFY_WITH_TIMEOUT(
            bytes->text().startsWith("Sent ") && !bytes->text().startsWith("Sent 0 Bytes"), 20000);
        QWidget* target = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(&dialog, Qt::Key_Enter);
        QVERIFY(dialog.isVisible());
        QVERIFY(cancel->isEnabled());
        dialog.done(QDialog::Accepted);  // only the end of the run may end it
        QVERIFY(dialog.isVisible());
        QVERIFY(cancel->isEnabled());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QVERIFY(!cancel->isEnabled());  // Esc asks to cancel
        QVERIFY(!dialog.close());
        QVERIFY(dialog.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 15000);
    });
    QCOMPARE(status, 3);
}

void TranProgTest::FailedLoginShowsTheErrorBox() {
    job::TransferJob job;
    AimAt(job, *server_, local_->path() / "tree", "never");
    job.SetPassword("wrong");
    const fs::path logPath = local_->path() / "failed.log";
    job.SetLogPath(logPath.string());
    std::int32_t status = -1;
    auto seen = std::make_shared<QString>();
    auto title = std::make_shared<QString>();
    WhenModal<QMessageBox>(
        [seen, title](QMessageBox* box) {
            *seen = box->text();
            *title = box->windowTitle();
            QCOMPARE(box->icon(), QMessageBox::Critical);
            box->accept();
        },
        20000);
    TranProg dialog(job, &status);
    RunModal(dialog, [&] { QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 25000); });
    QVERIFY2(seen->startsWith("An error has occurred during transfer : Error 1201"), qPrintable(*seen));
    QCOMPARE(*title, QString("Brindle FTP"));
    QCOMPARE(status, 0);
    const QStringList pane = Child<QPlainTextEdit>(&dialog, "logText")->toPlainText().split('\n');
    QCOMPARE(pane.value(0), QString("Connecting to 127.0.0.1 ..."));
    // The run ended in an error: the end banner is not written.
    const std::string log = test::ReadFile(logPath);
    QVERIFY(log.find(kBegin) != std::string::npos);
    QVERIFY(log.find(kEnd) == std::string::npos);
}

void TranProgTest::IgnoredErrorsShowNoBox() {
    job::TransferJob job;
    AimAt(job, *server_, local_->path() / "tree", "never");
    job.SetPassword("wrong");
    job.ignoreErrors = 1;
    std::int32_t status = -1;
    BoxWatch boxes;
    TranProg dialog(job, &status);
    RunModal(dialog, [&] { QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 25000); });
    QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join(" | ")));
    // The login never happened: Failed, never Completed.
    QCOMPARE(status, 2);
}

void TranProgTest::OddExceptionsStillFinishTheRun() {
    // Through the dialog: a standard exception without an error code ends as Failed, no box.
    {
        job::TransferJob job;
        job.SetServer("127.0.0.1");
        std::int32_t status = -1;
        BoxWatch boxes;
        TranProg dialog(job, &status, nullptr, [] { return std::make_unique<ThrowingClient>(true); });
        RunModal(dialog, [&] { QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 10000); });
        QCOMPARE(status, 2);
        QVERIFY(boxes.texts.isEmpty());
    }
    // And one that is no standard exception at all.
    job::TransferJob job;
    job.SetServer("127.0.0.1");
    ThrowingClient client(false);
    progress::TransferWorker worker(job, client);
    worker.Start();
    QVERIFY(worker.WaitFinished(std::chrono::seconds(10)));
    const progress::ProgressState state = worker.Snapshot();
    QVERIFY(state.finished);
    QVERIFY(state.runResult != 0);
    QCOMPARE(progress::OutcomeOf(state, false), progress::TransferStatus::Failed);
    // The messages so far are handed over once.
    QVERIFY(QString::fromStdString(worker.TakeLogText()).contains("Connecting to 127.0.0.1 ..."));
    QVERIFY(worker.TakeLogText().empty());
    QVERIFY(worker.Snapshot().logText.empty());
}

void TranProgTest::LogPaneToggles() {
    job::TransferJob job;
    std::int32_t status = -1;
    TranProg dialog(job, &status);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* toggle = Child<QPushButton>(&dialog, "toggleLog");
    auto* log = Child<QPlainTextEdit>(&dialog, "logText");
    QVERIFY(!dialog.LogExpanded());
    QCOMPARE(toggle->text(), QString(">>>"));
    QVERIFY(!log->isVisibleTo(&dialog));
    const int collapsed = dialog.height();
    QTest::mouseClick(toggle, Qt::LeftButton);
    QVERIFY(dialog.LogExpanded());
    QCOMPARE(toggle->text(), QString("<<<"));
    QVERIFY(log->isVisibleTo(&dialog));
    QTRY_VERIFY_WITH_TIMEOUT(dialog.height() > collapsed, 2000);
    QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(toggle->text(), QString(">>>"));
    QVERIFY(!log->isVisibleTo(&dialog));
    QVERIFY(log->maximumBlockCount() > 0);  // the pane is capped
    // Never started, so it may close, and nothing touched the status after the opening.
    dialog.hide();
    QCOMPARE(status, 1);
}

void TranProgTest::ViewWaitsForBytesAndCounts64Bit() {
    const auto now = std::chrono::steady_clock::now();
    progress::ProgressState state;
    state.start = now - std::chrono::seconds(10);
    state.totalBytes = 6ULL << 30;
    progress::ProgressView view = progress::ComputeView(state, false, now);
    QVERIFY(view.timeLeftLine.empty());  // nothing moved: no estimate
    QCOMPARE(view.percent, 0);
    QCOMPARE(view.byteLine, std::string("Sent 0 Bytes of 6.00 GB  (0.00 KB/Sec)"));

    state.doneBytes = 5ULL << 30;  // beyond 32 bits
    view = progress::ComputeView(state, true, now);
    QCOMPARE(view.percent, 83);
    QCOMPARE(view.byteLine, std::string("Recieved 5.00 GB of 6.00 GB  (524288.00 KB/Sec)"));
    QCOMPARE(view.timeLeftLine, std::string("Estimated time left: 00:00:02"));
    QCOMPARE(progress::FormatTimeLeft(90061), std::string("25:01:01"));
}

void TranProgTest::ServerAdvancedSplitsTheProxy() {
    struct Case {
        const char* proxy;
        const char* address;
        const char* port;
    };
    for (const Case& c :
         {Case{"", "", "0"}, Case{"proxy.lan", "proxy.lan", "0"}, Case{"proxy.lan:", "proxy.lan", "0"},
          Case{"proxy.lan:3128", "proxy.lan", "3128"}, Case{"proxy.lan:x1", "proxy.lan", "0"}}) {
        job::TransferJob job;
        job.SetProxy(c.proxy);
        dialogs::ServerAdvancedDialog dialog(job);
        QCOMPARE(Child<QLineEdit>(&dialog, "proxyAddress")->text(), QString(c.address));
        QCOMPARE(Child<QLineEdit>(&dialog, "proxyPort")->text(), QString(c.port));
    }
    // No colon: OK stores the address, a colon and 0, through the named proxy.
    job::TransferJob job;
    job.SetProxy("proxy.lan");
    job.SetPort(2121);
    {
        dialogs::ServerAdvancedDialog dialog(job);
        QCOMPARE(Child<QLineEdit>(&dialog, "port")->text(), QString("2121"));
        Child<QCheckBox>(&dialog, "passive")->setChecked(true);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(job.proxy, std::string("proxy.lan:0"));
    QCOMPARE(job.accessType, 3u);
    QCOMPARE(job.passive, 1);
    // A cleared address clears the proxy whatever the port field holds.
    {
        dialogs::ServerAdvancedDialog dialog(job);
        Child<QLineEdit>(&dialog, "proxyAddress")->clear();
        Child<QLineEdit>(&dialog, "proxyPort")->setText("3128");
        dialog.accept();
    }
    QCOMPARE(job.proxy, std::string());
    QCOMPARE(job.accessType, 0u);
    QCOMPARE(job.port, std::uint16_t(2121));
    // Cancel touches nothing.
    {
        dialogs::ServerAdvancedDialog dialog(job);
        Child<QLineEdit>(&dialog, "port")->setText("99");
        Child<QCheckBox>(&dialog, "passive")->setChecked(false);
        dialog.reject();
    }
    QCOMPARE(job.port, std::uint16_t(2121));
    QCOMPARE(job.passive, 1);
}

void TranProgTest::ServerAdvancedRefusesBadPorts() {
    job::TransferJob job;
    job.SetPort(21);
    job.SetProxy("proxy.lan:8080");
    const job::TransferJob before = job;
    for (const char* field : {"port", "proxyPort"}) {
        const bool server = field == std::string("port");
        for (const char* text :
             {"21x", "-1", " 2 1", server ? "" : "99999", server ? "0" : "70000", "65536"}) {
            dialogs::ServerAdvancedDialog dialog(job);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            auto* edit = Child<QLineEdit>(&dialog, field);
            edit->setText(text);
            BoxWatch boxes;
            dialog.accept();
            QVERIFY2(boxes.texts.size() == 1, text);
            QVERIFY2(dialog.isVisible(), text);
            QCOMPARE(edit->selectedText(), QString(text));  // the offending field is picked out
            QVERIFY(job == before);
            QCOMPARE(job.proxy, before.proxy);
        }
    }
    // The ends of the range are fine.
    for (std::uint16_t port : {std::uint16_t(1), std::uint16_t(65535)}) {
        dialogs::ServerAdvancedDialog dialog(job);
        Child<QLineEdit>(&dialog, "port")->setText(QString::number(port));
        dialog.accept();
        QCOMPARE(job.port, port);
    }
}

void TranProgTest::PasswordPromptStoresOnlyOnOk() {
    job::TransferJob job;
    job.SetServer("ftp.example.com");
    job.SetUserName("bob");
    job.SetPassword("old");
    {
        dialogs::PasswordPrompt prompt(job);
        auto* server = Child<QLineEdit>(&prompt, "server");
        auto* user = Child<QLineEdit>(&prompt, "user");
        auto* password = Child<QLineEdit>(&prompt, "password");
        QCOMPARE(server->text(), QString("ftp.example.com"));
        QCOMPARE(user->text(), QString("bob"));
        QVERIFY(server->isReadOnly() && user->isReadOnly());
        QCOMPARE(server->focusPolicy(), Qt::NoFocus);
        QVERIFY(password->text().isEmpty());  // whatever the job holds
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        password->setText("typed");
        prompt.reject();
    }
    QCOMPARE(job.password, std::string("old"));
    WhenModal<dialogs::PasswordPrompt>([](dialogs::PasswordPrompt* prompt) { prompt->accept(); });
    QVERIFY(dialogs::RunPasswordPrompt(job, nullptr));
    QCOMPARE(job.password, std::string());
    WhenModal<dialogs::PasswordPrompt>([](dialogs::PasswordPrompt* prompt) {
        Child<QLineEdit>(prompt, "password")->setText("new");
        prompt->reject();
    });
    QVERIFY(!dialogs::RunPasswordPrompt(job, nullptr));
    QCOMPARE(job.password, std::string());
}

void TranProgTest::HelpTopicsAreBuiltIn() {
    for (const char* topic : {"welcome.htm", "open.htm", "server.htm", "transfer.htm", "local.htm",
                              "remote.htm", "save.htm", "complete.htm"})
        QVERIFY2(!dialogs::HelpTopicHtml(topic).trimmed().isEmpty(), topic);
    for (const char* topic : {"", "unknown.htm", "../x", "../help/server.htm", "help.qrc"})
        QVERIFY2(dialogs::HelpTopicHtml(topic).isEmpty(), topic);
}

QTEST_MAIN(TranProgTest)
#include "tran_prog_test.moc"
