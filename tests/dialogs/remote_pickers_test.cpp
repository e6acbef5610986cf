#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "dialogs/prop_test_helpers.h"
#include "dialogs/remote_pickers.h"
#include "support/ftp_test_server.h"

using namespace bxfr;
using bxfr::dialogs::RemotePickerDialog;
using bxfr::test::WhenModal;

namespace {

template <typename T>
T* Child(QWidget* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

QStringList Entries(RemotePickerDialog* dialog) {
    QStringList names;
    auto* list = Child<QListWidget>(dialog, "entryList");
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    return names;
}

bool Settle(RemotePickerDialog* dialog) {
    QElapsedTimer clock;
    clock.start();
    while (dialog->IsBusy() && clock.elapsed() < 15000) QTest::qWait(10);
    return !dialog->IsBusy();
}

void Activate(RemotePickerDialog* dialog, const QString& name) {
    auto* list = Child<QListWidget>(dialog, "entryList");
    const auto found = list->findItems(name, Qt::MatchExactly);
    if (found.isEmpty()) qFatal("no entry %s", qPrintable(name));
    emit list->itemActivated(found.front());
}

// The engine's client with short timeouts, which tells when the picker let go of it.
class ShortClient : public engine::FtpClient {
public:
    explicit ShortClient(std::shared_ptr<std::atomic<bool>> released)
        : inner_(engine::MakeCurlFtpClient()), released_(std::move(released)) {}
    ~ShortClient() override { *released_ = true; }
    std::unique_ptr<engine::FtpConnection> Connect(const engine::FtpLoginParams& params) override {
        auto quick = params;
        quick.connectTimeout = std::chrono::seconds(3);
        quick.idleTimeout = std::chrono::seconds(3);
        return inner_->Connect(quick);
    }
    engine::FtpReply LastReply() const override { return inner_->LastReply(); }
    std::string FetchUrl(const std::string& url, std::size_t maxBytes) override {
        return inner_->FetchUrl(url, maxBytes);
    }

private:
    std::unique_ptr<engine::FtpClient> inner_;
    std::shared_ptr<std::atomic<bool>> released_;
};

}  // namespace

class RemotePickersTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void FolderPickerBrowsesTheServer();
    void FilePickerChoosesAFile();
    void FailedLoginIsToldInTheDialog();
    void ClosingNeverWaitsForASilentServer();

private:
    std::unique_ptr<test::FtpTestServer> server_;
};

void RemotePickersTest::initTestCase() {
    server_ = std::make_unique<test::FtpTestServer>();
    const auto root = server_->root();
    std::filesystem::create_directories(root / "www" / "img");
    std::filesystem::create_directories(root / "docs");
    std::ofstream(root / "www" / "index.html") << "<html></html>";
    std::ofstream(root / "www" / "img" / "a.gif") << "GIF89a";
    std::ofstream(root / "readme.txt") << "hello";
}

void RemotePickersTest::cleanupTestCase() { server_.reset(); }

void RemotePickersTest::FolderPickerBrowsesTheServer() {
    std::string folder = "[login folder]";
    auto seen = std::make_shared<QStringList>();
    WhenModal<RemotePickerDialog>([seen](RemotePickerDialog* dialog) {
        QVERIFY(Settle(dialog));
        *seen << Entries(dialog).join(',');
        QCOMPARE(dialog->CurrentFolder(), QString("/"));
        Activate(dialog, "www");
        QVERIFY(Settle(dialog));
        *seen << Entries(dialog).join(',');
        QCOMPARE(Child<QLineEdit>(dialog, "folderPath")->text(), QString("/www"));
        Activate(dialog, "img");
        QVERIFY(Settle(dialog));
        QCOMPARE(dialog->CurrentFolder(), QString("/www/img"));
        Child<QPushButton>(dialog, "upButton")->click();
        QVERIFY(Settle(dialog));
        QCOMPARE(dialog->CurrentFolder(), QString("/www"));
        // A folder that is not there keeps the one shown.
        Child<QLineEdit>(dialog, "folderPath")->setText("/nowhere");
        Child<QPushButton>(dialog, "goButton")->click();
        QVERIFY(Settle(dialog));
        QCOMPARE(dialog->CurrentFolder(), QString("/www"));
        QVERIFY(!Child<QLabel>(dialog, "status")->text().isEmpty());
        dialog->accept();
    });
    const int chosen = dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder(
        "127.0.0.1", server_->userName(), server_->password(), "", server_->port(), 1, &folder);
    QCOMPARE(chosen, 1);
    QCOMPARE(folder, "/www");
    // Folders only; files are not offered when picking a folder.
    QCOMPARE(*seen, (QStringList{"docs,www", "img"}));

    // Starting in a given folder, and cancelling leaves the text alone.
    WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
        QVERIFY(Settle(dialog));
        QCOMPARE(dialog->CurrentFolder(), QString("/www/img"));
        dialog->reject();
    });
    folder = "/www/img";
    QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder(
                 "127.0.0.1", server_->userName(), server_->password(), "", server_->port(), 0, &folder),
             0);
    QCOMPARE(folder, "/www/img");
}

void RemotePickersTest::FilePickerChoosesAFile() {
    // Getting: the proposed path opens its folder with the name filled in; only a listed file
    // can be chosen.
    std::string file = "www/index.html";
    WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
        QVERIFY(Settle(dialog));
        QCOMPARE(dialog->CurrentFolder(), QString("/www"));
        QCOMPARE(Entries(dialog), (QStringList{"img", "index.html"}));
        auto* name = Child<QLineEdit>(dialog, "fileName");
        QCOMPARE(name->text(), QString("index.html"));
        name->setText("missing.html");
        dialog->accept();
        QVERIFY(dialog->isVisible());
        Activate(dialog, "img");
        QVERIFY(Settle(dialog));
        Activate(dialog, "a.gif");  // a file: chosen at once
    });
    QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_FtpFileDialog(1, "127.0.0.1", server_->userName(),
                                                       server_->password(), "", server_->port(), 1, &file),
             1);
    QCOMPARE(file, "/www/img/a.gif");

    // Sending: any new name in the folder shown.
    file = "upload.bin";
    WhenModal<RemotePickerDialog>([](RemotePickerDialog* dialog) {
        QVERIFY(Settle(dialog));
        QCOMPARE(Child<QLineEdit>(dialog, "fileName")->text(), QString("upload.bin"));
        Activate(dialog, "docs");
        QVERIFY(Settle(dialog));
        dialog->accept();
    });
    QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_FtpFileDialog(0, "127.0.0.1", server_->userName(),
                                                       server_->password(), "", server_->port(), 1, &file),
             1);
    QCOMPARE(file, "/docs/upload.bin");
}

void RemotePickersTest::FailedLoginIsToldInTheDialog() {
    std::string folder;
    auto status = std::make_shared<QString>();
    WhenModal<RemotePickerDialog>([status](RemotePickerDialog* dialog) {
        QVERIFY(Settle(dialog));
        *status = Child<QLabel>(dialog, "status")->text();
        QVERIFY(!dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
        QVERIFY(!Child<QListWidget>(dialog, "entryList")->isEnabled());
        dialog->reject();
    });
    QCOMPARE(dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder("127.0.0.1", server_->userName(), "wrong", "",
                                                         server_->port(), 1, &folder),
             0);
    QVERIFY2(status->startsWith("Could not log in to 127.0.0.1."), qPrintable(*status));
    QVERIFY(folder.empty());
}

void RemotePickersTest::ClosingNeverWaitsForASilentServer() {
    // Accepts connections and never says a word.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    auto released = std::make_shared<std::atomic<bool>>(false);
    engine::FtpLoginParams params;
    params.server = "127.0.0.1";
    params.port = silent.serverPort();
    QElapsedTimer clock;
    {
        RemotePickerDialog dialog(RemotePickerDialog::Kind::Folder, params, QString(),
                                  [released] { return std::make_unique<ShortClient>(released); });
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 5000);
        QVERIFY(dialog.IsBusy());
        QVERIFY(Child<QWidget>(&dialog, "busy")->isVisible());
        clock.start();
    }
    QVERIFY2(clock.elapsed() < 1000, "closing waited for the server");
    // The picker's thread lets go of its client once the login gives up.
    QTRY_VERIFY_WITH_TIMEOUT(released->load(), 15000);
}

QTEST_MAIN(RemotePickersTest)
#include "remote_pickers_test.moc"
