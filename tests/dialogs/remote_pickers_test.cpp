#include <QTcpServer>
#include <QtTest>
#include <QtWidgets>
#include <atomic>

#include "dialogs/remote_pickers.h"
#include "engine/adapters/adapters.h"
#include "engine/transfer_harness.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/qt_helpers.h"

using namespace bxfr;
using bxfr::dialogs::RemotePickerDialog;
using bxfr::test::Child;
using bxfr::test::WhenModal;

namespace {

QStringList Entries(RemotePickerDialog* dialog) {
    QStringList names;
    auto* list = Child<QListWidget>(dialog, "entryList");
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    return names;
}

bool Settle(RemotePickerDialog* dialog) {
    return QTest::qWaitFor([dialog] { return !dialog->IsBusy(); }, 15000);
}

// OK, with the next question about creating a folder answered `answer`; true once it closed.
bool AcceptAnswering(RemotePickerDialog* dialog, QMessageBox::StandardButton answer) {
    auto asked = std::make_shared<bool>(false);
    WhenModal<QMessageBox>([answer, asked](QMessageBox* box) {
        *asked = true;
        box->button(answer)->click();
    });
    dialog->accept();
    return QTest::qWaitFor([&] { return !dialog->isVisible() || (*asked && !dialog->IsBusy()); }, 15000) &&
           !dialog->isVisible();
}

// Opens an entry as a double click would, then waits for the listing it starts.
bool Open(RemotePickerDialog* dialog, const QString& name) {
    auto* list = Child<QListWidget>(dialog, "entryList");
    const auto found = list->findItems(name, Qt::MatchExactly);
    if (found.isEmpty()) qFatal("no entry %s", qPrintable(name));
    emit list->itemActivated(found.front());
    return Settle(dialog);
}

// The engine's client, telling when the picker let go of it.
struct WatchedClient : engine::Connector {
    explicit WatchedClient(std::shared_ptr<std::atomic<bool>> flag) : released(std::move(flag)) {}
    ~WatchedClient() override { *released = true; }
    std::unique_ptr<engine::Connection> Connect(const engine::LoginParams& p) override {
        return inner->Connect(p);
    }
    engine::ServerReply LastReply() const override { return inner->LastReply(); }
    std::unique_ptr<engine::Connector> inner = engine::MakeConnector();
    std::shared_ptr<std::atomic<bool>> released;
};

}  // namespace

class RemotePickersTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FtpTestServer> server_;

    int BrowseForFolder(const std::string& password, std::string* folder) {
        return dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder("127.0.0.1", server_->userName(), password, "",
                                                           server_->port(), 1, folder);
    }
    int PickFile(int getMode, std::string* file) {
        return dialogs::bBXFR_TOOLS_FOLDER_FtpFileDialog(getMode, "127.0.0.1", server_->userName(),
                                                         server_->password(), "", server_->port(), 1, file);
    }

private slots:
    void initTestCase() {
        server_ = std::make_unique<test::FtpTestServer>();
        test::WriteFile(server_->root() / "www" / "index.html", "<html></html>");
        test::WriteFile(server_->root() / "www" / "img" / "a.gif", "GIF89a");
        std::filesystem::create_directories(server_->root() / "docs");
    }

    void FolderPickerBrowsesTheServer() {
        std::string folder = "/www";
        WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
            QVERIFY(Settle(dialog));
            QCOMPARE(Entries(dialog), QStringList{"img"});  // folders only
            QVERIFY(!Child<QLabel>(dialog, "emptyNote")->isVisibleTo(dialog));
            QVERIFY(Open(dialog, "img"));
            QCOMPARE(Child<QLineEdit>(dialog, "folderPath")->text(), QString("/www/img"));
            QVERIFY(Child<QLabel>(dialog, "emptyNote")->isVisibleTo(dialog));
            Child<QPushButton>(dialog, "upButton")->click();
            QVERIFY(Settle(dialog));
            // A folder that is not there keeps the one shown.
            auto* path = Child<QLineEdit>(dialog, "folderPath");
            path->setText("/nowhere");
            Child<QPushButton>(dialog, "goButton")->click();
            QVERIFY(Settle(dialog));
            QCOMPARE(dialog->CurrentFolder(), QString("/www"));
            QVERIFY(!Child<QLabel>(dialog, "status")->text().isEmpty());
            // OK takes the folder the box names: one that is not there only once it was made.
            QVERIFY(!AcceptAnswering(dialog, QMessageBox::No));
            path->setText("upload");
            QVERIFY(AcceptAnswering(dialog, QMessageBox::Yes));
        });
        QCOMPARE(BrowseForFolder(server_->password(), &folder), 1);
        QCOMPARE(folder, "/www/upload");
        QVERIFY(std::filesystem::remove(server_->root() / "www" / "upload"));  // was made, and empty
        WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
            QVERIFY(Settle(dialog));
            Child<QLineEdit>(dialog, "folderPath")->setText("/docs");
            QVERIFY(AcceptAnswering(dialog, QMessageBox::No));  // there: no question
        });
        QCOMPARE(BrowseForFolder(server_->password(), &folder), 1);
        QCOMPARE(folder, "/docs");
    }

    void FilePickerChoosesAFile() {
        // Getting: the proposed path opens its folder with the name filled in; only a listed
        // file can be chosen.
        std::string file = "www/index.html";
        WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
            QVERIFY(Settle(dialog));
            QCOMPARE(Entries(dialog), (QStringList{"img", "index.html"}));
            auto* name = Child<QLineEdit>(dialog, "fileName");
            QCOMPARE(name->text(), QString("index.html"));
            name->setText("missing.html");
            dialog->accept();
            QVERIFY(dialog->isVisible());
            QVERIFY(Open(dialog, "img"));
            Open(dialog, "a.gif");  // a file: chosen at once
        });
        QCOMPARE(PickFile(1, &file), 1);
        QCOMPARE(file, "/www/img/a.gif");

        // Sending: any new name in the folder shown, also one made here.
        file = "upload.bin";
        WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
            QVERIFY(Settle(dialog) && Open(dialog, "docs"));
            WhenModal<QInputDialog>([](QInputDialog* ask) {
                ask->setTextValue("made here");
                ask->accept();
            });
            Child<QPushButton>(dialog, "newFolderButton")->click();
            QVERIFY(Settle(dialog));
            QCOMPARE(dialog->CurrentFolder(), QString("/docs/made here"));
            QVERIFY(Child<QLabel>(dialog, "emptyNote")->isVisibleTo(dialog));
            dialog->accept();
        });
        QCOMPARE(PickFile(0, &file), 1);
        QCOMPARE(file, "/docs/made here/upload.bin");
    }

    void FailedLoginIsToldInTheDialog() {
        std::string folder = "/kept";
        WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
            QVERIFY(Settle(dialog));
            const QString status = Child<QLabel>(dialog, "status")->text();
            QVERIFY2(status.startsWith("Could not log in to 127.0.0.1."), qPrintable(status));
            QVERIFY(!dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
            dialog->reject();
        });
        QCOMPARE(BrowseForFolder("wrong", &folder), 0);
        QCOMPARE(folder, "/kept");  // cancelled: left alone
    }

    void ClosingNeverWaitsForASilentServer() {
        QTcpServer silent;  // accepts connections and never says a word
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        auto released = std::make_shared<std::atomic<bool>>(false);
        engine::LoginParams params;
        params.server = "127.0.0.1";
        params.port = silent.serverPort();
        QElapsedTimer clock;
        {
            RemotePickerDialog dialog(RemotePickerDialog::Kind::Folder, params, QString(),
                                      [released] { return std::make_unique<WatchedClient>(released); });
            dialog.show();
            QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 5000);
            QVERIFY(dialog.IsBusy());
            clock.start();
        }
        QVERIFY2(clock.elapsed() < 5000, "closing waited for the server");
        // The picker's thread lets go of its client once the login gives up.
        silent.close();
        QTRY_VERIFY_WITH_TIMEOUT(released->load(), 15000);
    }

    void ClosingNeverWaitsForTheConnectionToEnd() {
        // A server slow to answer QUIT, as the connection's end sends it.
        const test::FtpTestServer slow({.quitDelaySeconds = 3});
        auto released = std::make_shared<std::atomic<bool>>(false);
        QElapsedTimer clock;
        {
            RemotePickerDialog dialog(RemotePickerDialog::Kind::Folder, engine::LoginTo(slow), QString(),
                                      [released] { return std::make_unique<WatchedClient>(released); });
            dialog.show();
            QVERIFY(Settle(&dialog));
            clock.start();
        }
        QVERIFY2(clock.elapsed() < 5000, "closing waited for the connection to end");
        QVERIFY(!released->load());
        QTRY_VERIFY_WITH_TIMEOUT(released->load(), 20000);
    }
};

QTEST_MAIN(RemotePickersTest)
#include "remote_pickers_test.moc"
