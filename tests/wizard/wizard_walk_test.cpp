// Walks the whole wizard as a user does, against a real FTP server on 127.0.0.1: a send that
// saves its transfer file, then a get that loads that file from the recent-files list.
#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/prop_chmod_dialog.h"
#include "dialogs/prop_script_dialog.h"
#include "dialogs/prop_sel_dialog.h"
#include "dialogs/prop_test_helpers.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/tran_prog.h"
#include "engine/sizes.h"
#include "job/password_crypto.h"
#include "job/transfer_file.h"
#include "prefs/mru_lists.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/temp_dir.h"
#include "wizard/welcome_load_pages.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

using namespace bxfr;
using namespace bxfr::wizard;
using bxfr::test::WhenModal;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;

template <typename T>
T* Child(QObject* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

// Replaces a field's text the way a user does: select it all, type over it.
void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty()) {
        QTest::keyClick(edit, Qt::Key_Delete);
    } else {
        QTest::keyClicks(edit, text);
    }
}

// A path arrives in one piece, as pasted: typed key by key, its first "/" would already start
// a size walk of the whole disk, which the page cannot stop.
void PasteInto(QLineEdit* edit, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
}

Tree ReadTree(const fs::path& root) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            tree[entry.path().lexically_relative(root).generic_string()] = test::ReadFile(entry.path());
    }
    return tree;
}

Tree WithoutTmp(Tree tree) {
    std::erase_if(tree, [](const auto& item) { return fs::path(item.first).extension() == ".tmp"; });
    return tree;
}

// The size line for the whole of `tree`.
QString SizeLine(const Tree& tree) {
    std::uint64_t total = 0;
    for (const auto& [name, bytes] : tree) total += bytes.size();
    return QString::fromStdString(engine::FormatSize(total)) + " to transfer";
}

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

// Watches the modal dialogs of one run: message boxes are recorded and closed, so a failing
// run ends the test instead of hanging it, and a run past its bound is cancelled.
class RunWatch {
public:
    explicit RunWatch(int boundMs) {
        clock_.start();
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, boundMs] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes << box->text();
                box->reject();
            } else if (auto* progress = qobject_cast<dialogs::TranProg*>(modal)) {
                sawProgress = true;
                if (!cancelled && clock_.elapsed() > boundMs) {
                    cancelled = true;
                    progress->reject();
                }
            }
        });
        timer_.start();
    }
    QStringList boxes;
    bool sawProgress = false;
    bool cancelled = false;

private:
    QTimer timer_;
    QElapsedTimer clock_;
};

// The sheet as the wizard launch builds it, shown without its own event loop so that the
// test can press its buttons.
struct Wizard {
    job::TransferJob job;
    job::TransferJob baseline;
    prefs::UserSettings settings;
    std::int32_t status = 0;
    WizardContext context;
    std::unique_ptr<WizardSheet> sheet;

    Wizard() {
        baseline.Reset();
        baseline.CopyFrom(job);
        // runTransfer stays empty: the real progress dialog runs the curl client.
        context = WizardContext{&job, &baseline, &settings, &status, nullptr, {}};
        sheet = std::make_unique<WizardSheet>(context);
        auto* welcome = new WizWelcome(context);
        sheet->SetPlace(PlaceWelcome, welcome);
        sheet->SetPlace(PlaceLoad, new WizLoad(context));
        AddWizardPages(*sheet, context);
        sheet->setStartId(PlaceWelcome);
        sheet->show();
        if (!job::IsCryptoAvailable())
            WhenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        welcome->WarnIfNoCrypto(job::IsCryptoAvailable());
    }

    WizPage* Page() const { return sheet->CurrentWizPage(); }
    void Next() const { Press(QWizard::NextButton); }
    void Back() const { Press(QWizard::CustomButton1); }
    void Press(QWizard::WizardButton which) const {
        QAbstractButton* button = sheet->button(which);
        QVERIFY2(button->isVisible() && button->isEnabled(), "the button is not there to press");
        button->click();
        // Pages the Mode page replaced go on the next turn of the event loop.
        QCoreApplication::processEvents();
    }
};

#define EXPECT_PAGE(wizard, name) QCOMPARE((wizard).Page()->objectName(), QString(name))

// Next on the Transfer page runs the transfer; the progress dialog closes itself when done.
void RunToFinalPage(const Wizard& w) {
    RunWatch run(60000);
    w.Next();
    QVERIFY(run.sawProgress);
    QVERIFY2(run.boxes.isEmpty(), qPrintable(run.boxes.join(" | ")));
    QVERIFY(!run.cancelled);
    EXPECT_PAGE(w, "WizFinal");
    QCOMPARE(w.status, 1);
    QCOMPARE(Child<QLabel>(w.Page(), "statusText")->text(),
             QString("Transfer completed sucessfully. Click Finish to exit the Wizard."));
}

}  // namespace

class WizardWalkTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void SendWalk();
    void GetWalk();

private:
    void OpenServerAdvanced(Wizard& w);
    void AddOneRuleOfEachKind(Wizard& w);

    std::unique_ptr<test::TempDir> temp_;
    std::unique_ptr<test::FtpTestServer> server_;
    fs::path source_;
    fs::path bxt_;
    fs::path log_;
    Tree sent_;
};

void WizardWalkTest::initTestCase() {
    temp_ = std::make_unique<test::TempDir>();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Q(temp_->path() / "settings"));
    // Never the maker's site, even if a box were left ticked.
    qputenv("BXFR_UPGRADE_URL", "http://127.0.0.1:9/");
    server_ = std::make_unique<test::FtpTestServer>();
    source_ = temp_->path() / "source";
    bxt_ = temp_->path() / "walk.bxt";
    log_ = temp_->path() / "walk.log";
    std::string binary;
    for (int i = 0; i < 40000; ++i) binary += static_cast<char>((i * 7919 + i / 256) & 0xff);
    test::WriteFile(source_ / "index.html", "<html>\r\n<body>hello</body>\r\n</html>\r\n");
    test::WriteFile(source_ / "skip.tmp", "scratch");
    test::WriteFile(source_ / "sub" / "data.bin", binary);
    test::WriteFile(source_ / "sub" / "old.tmp", "x");
    test::WriteFile(source_ / "sub" / "deeper" / "page.html", "<p>deep</p>\n");
    test::WriteFile(source_ / "sub" / "deeper" / "notes.txt", "line one\nline two\r\n");
    sent_ = WithoutTmp(ReadTree(source_));
}

void WizardWalkTest::cleanupTestCase() {
    server_.reset();
    temp_.reset();
}

void WizardWalkTest::OpenServerAdvanced(Wizard& w) {
    const QString port = QString::number(server_->port());
    WhenModal<dialogs::ServerAdvancedDialog>([port](dialogs::ServerAdvancedDialog* d) {
        TypeInto(Child<QLineEdit>(d, "port"), port);
        Child<QCheckBox>(d, "passive")->click();
        d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    Child<QPushButton>(w.Page(), "advancedButton")->click();
}

// Binary for every file, *.tmp excluded, *.html made 600, HELP sent after the login.
void WizardWalkTest::AddOneRuleOfEachKind(Wizard& w) {
    WhenModal<dialogs::AdvancedSettingsSheet>([](dialogs::AdvancedSettingsSheet* sheet) {
        QCOMPARE(sheet->Tabs()->count(), 4);
        Child<QRadioButton>(sheet, "binaryRadio")->click();

        sheet->Tabs()->setCurrentIndex(1);
        auto* select = sheet->Tabs()->currentWidget();
        Child<QRadioButton>(select, "excludeRadio")->click();
        WhenModal<dialogs::AddSel>([](dialogs::AddSel* d) {
            TypeInto(Child<QLineEdit>(d, "extensionEdit"), "*.tmp");
            d->accept();
        });
        Child<QPushButton>(select, "addButton")->click();

        sheet->Tabs()->setCurrentIndex(2);
        auto* chmod = sheet->Tabs()->currentWidget();
        WhenModal<dialogs::AddChmod>([](dialogs::AddChmod* d) {
            TypeInto(Child<QLineEdit>(d, "extensionEdit"), "*.html");
            TypeInto(Child<QLineEdit>(d, "numberEdit"), "600");
            d->accept();
        });
        Child<QPushButton>(chmod, "addButton")->click();

        sheet->Tabs()->setCurrentIndex(3);
        auto* script = sheet->Tabs()->currentWidget();
        WhenModal<dialogs::AddScript>([](dialogs::AddScript* d) {
            Child<QComboBox>(d, "typeBox")->setCurrentIndex(0);  // on connect
            TypeInto(Child<QLineEdit>(d, "commandEdit"), "HELP");
            Child<QCheckBox>(d, "expectBox")->setChecked(true);
            d->accept();
        });
        Child<QPushButton>(script, "addButton")->click();
        sheet->findChild<QDialogButtonBox*>(QString(), Qt::FindDirectChildrenOnly)
            ->button(QDialogButtonBox::Ok)
            ->click();
    });
    Child<QPushButton>(w.Page(), "advancedButton")->click();
}

void WizardWalkTest::SendWalk() {
    QElapsedTimer clock;
    clock.start();
    Wizard w;
    EXPECT_PAGE(w, "WizWelcome");
    QVERIFY(!w.sheet->button(QWizard::CustomButton1)->isEnabled());
    w.Next();
    EXPECT_PAGE(w, "WizLoad");
    QVERIFY(Child<QRadioButton>(w.Page(), "newRadio")->isChecked());
    w.Next();

    // Server: what was typed and stored here goes when Back leads to the Load page, whose
    // Next starts afresh.
    EXPECT_PAGE(w, "WizServer");
    TypeInto(Child<QComboBox>(w.Page(), "serverBox")->lineEdit(), "ftp.typo.test");
    w.Back();
    EXPECT_PAGE(w, "WizLoad");
    w.Next();
    QCOMPARE(Child<QComboBox>(w.Page(), "serverBox")->currentText(), QString());

    TypeInto(Child<QComboBox>(w.Page(), "serverBox")->lineEdit(), "127.0.0.1");
    Child<QRadioButton>(w.Page(), "accountRadio")->click();
    TypeInto(Child<QLineEdit>(w.Page(), "userNameEdit"), "user");
    TypeInto(Child<QLineEdit>(w.Page(), "passwordEdit"), "secret");
    QVERIFY(Child<QCheckBox>(w.Page(), "savePasswordBox")->isChecked());
    OpenServerAdvanced(w);
    QCOMPARE(w.job.port, server_->port());
    QCOMPARE(w.job.passive, 1);
    w.Next();
    EXPECT_PAGE(w, "WizMode");
    w.Back();
    EXPECT_PAGE(w, "WizServer");
    QCOMPARE(Child<QComboBox>(w.Page(), "serverBox")->currentText(), QString("127.0.0.1"));
    QCOMPARE(Child<QLineEdit>(w.Page(), "userNameEdit")->text(), QString("user"));
    QCOMPARE(Child<QLineEdit>(w.Page(), "passwordEdit")->text(), QString("secret"));
    // With changes stored, Back to the Load page asks; No stays.
    auto question = std::make_shared<QString>();
    WhenModal<QMessageBox>([question](QMessageBox* box) {
        *question = box->text();
        box->button(QMessageBox::No)->click();
    });
    w.Back();
    EXPECT_PAGE(w, "WizServer");
    QCOMPARE(*question, QString("Some settings have been changed. Are you sure that you want to go back?"));
    w.Next();

    EXPECT_PAGE(w, "WizMode");
    QVERIFY(Child<QRadioButton>(w.Page(), "sendRadio")->isChecked());
    AddOneRuleOfEachKind(w);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(w.job.transferType, 1);
    QCOMPARE(w.job.selectMode, 2);
    QCOMPARE(w.job.selectRules.size(), 1u);
    QCOMPARE(w.job.chmodRules.front(), (job::tagBXFR_CHMOD{"*.html", 600}));
    QCOMPARE(w.job.connScript.front().command, std::string("HELP"));
    w.Next();

    // Local: the size line counts the selected files only; Back and Next keep the folder.
    EXPECT_PAGE(w, "WizLocal");
    PasteInto(Child<QLineEdit>(w.Page(), "folderEdit"), Q(source_));
    QTRY_COMPARE_WITH_TIMEOUT(Child<QLabel>(w.Page(), "sizeLine")->text(), SizeLine(sent_), 10000);
    w.Back();
    EXPECT_PAGE(w, "WizMode");
    w.Next();
    EXPECT_PAGE(w, "WizLocal");
    QCOMPARE(Child<QLineEdit>(w.Page(), "folderEdit")->text(), Q(source_));
    QTRY_COMPARE_WITH_TIMEOUT(Child<QLabel>(w.Page(), "sizeLine")->text(), SizeLine(sent_), 10000);
    w.Next();

    EXPECT_PAGE(w, "WizRemote");
    QCOMPARE(Child<QLineEdit>(w.Page(), "folderEdit")->text(), QString("[login folder]"));
    TypeInto(Child<QLineEdit>(w.Page(), "folderEdit"), "/site");
    w.Back();
    EXPECT_PAGE(w, "WizLocal");
    w.Next();
    EXPECT_PAGE(w, "WizRemote");
    QCOMPARE(Child<QLineEdit>(w.Page(), "folderEdit")->text(), QString("/site"));
    w.Next();

    // Transfer: every field survives a Back and a Next.
    EXPECT_PAGE(w, "WizTransfer");
    QVERIFY(Child<QCheckBox>(w.Page(), "saveTransferFileBox")->isChecked());
    QVERIFY(Child<QCheckBox>(w.Page(), "checkUpgradeBox")->isChecked());  // a new transfer asks
    TypeInto(Child<QLineEdit>(w.Page(), "transferFileEdit"), Q(bxt_));
    Child<QCheckBox>(w.Page(), "saveLogBox")->click();
    TypeInto(Child<QLineEdit>(w.Page(), "logFileEdit"), Q(log_));
    Child<QCheckBox>(w.Page(), "checkUpgradeBox")->click();
    Child<QCheckBox>(w.Page(), "verboseBox")->click();
    w.Back();
    EXPECT_PAGE(w, "WizRemote");
    w.Next();
    EXPECT_PAGE(w, "WizTransfer");
    QCOMPARE(Child<QLineEdit>(w.Page(), "transferFileEdit")->text(), Q(bxt_));
    QCOMPARE(Child<QLineEdit>(w.Page(), "logFileEdit")->text(), Q(log_));
    QVERIFY(Child<QCheckBox>(w.Page(), "saveLogBox")->isChecked());
    QVERIFY(!Child<QCheckBox>(w.Page(), "checkUpgradeBox")->isChecked());
    QVERIFY(Child<QCheckBox>(w.Page(), "verboseBox")->isChecked());

    RunToFinalPage(w);
    if (QTest::currentTestFailed()) return;
    QVERIFY(Child<QPushButton>(w.Page(), "viewLogButton")->isVisible());
    QVERIFY(!Child<QLabel>(w.Page(), "updateText")->isVisible());
    w.Press(QWizard::FinishButton);
    QVERIFY(!w.sheet->isVisible());
    QCOMPARE(w.sheet->result(), int(QDialog::Accepted));

    // On the server: the tree without *.tmp, byte for byte, *.html made 600.
    const fs::path site = server_->root() / "site";
    QVERIFY(ReadTree(site) == sent_);
    for (const char* html : {"index.html", "sub/deeper/page.html"})
        QVERIFY2((fs::status(site / html).permissions() & fs::perms::all) ==
                     (fs::perms::owner_read | fs::perms::owner_write),
                 html);
    const auto commands = server_->Commands();
    auto sent = [&](const std::string& prefix) {
        return static_cast<int>(
            std::ranges::count_if(commands, [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    };
    QCOMPARE(sent("HELP"), 1);
    QCOMPARE(sent("SITE chmod 600 "), 2);
    // Every file goes in binary (a script command may be carried under another type).
    std::string type;
    for (const auto& command : commands) {
        if (command.rfind("TYPE ", 0) == 0) type = command;
        if (command.rfind("STOR ", 0) == 0) QCOMPARE(type, std::string("TYPE I"));
    }
    QCOMPARE(sent("STOR "), static_cast<int>(sent_.size()));

    // The saved file gives the same job back, and the run left the job as it found it.
    job::TransferJob loaded;
    loaded.reportProgress = 1;
    QCOMPARE(job::LoadTransferFile(bxt_.string(), loaded), job::kTransferFileLoaded);
    loaded.SetTransferFilePath(bxt_.string());
    QVERIFY(loaded == w.job);
    QVERIFY(loaded.selectRules == w.job.selectRules);
    QVERIFY(loaded.chmodRules == w.job.chmodRules);
    QVERIFY(loaded.connScript == w.job.connScript);
    if (job::IsCryptoAvailable()) QVERIFY(test::ReadFile(bxt_).find("secret") == std::string::npos);
    QCOMPARE(prefs::ReadMru(0), bxt_.string());
    QVERIFY(fs::is_regular_file(log_));
    QVERIFY(test::ReadFile(log_).find("Connecting to 127.0.0.1") != std::string::npos);
    qInfo("send walk: %lld ms", static_cast<long long>(clock.elapsed()));
}

void WizardWalkTest::GetWalk() {
    if (!fs::exists(bxt_)) QSKIP("needs the transfer file of the send walk");
    QElapsedTimer clock;
    clock.start();
    const fs::path site = server_->root() / "site";
    test::WriteFile(site / "extra.tmp", "left on the server");
    const Tree onServer = WithoutTmp(ReadTree(site));
    const fs::path back = temp_->path() / "back";
    fs::create_directories(back);
    const auto logBefore = fs::file_size(log_);

    Wizard w;
    w.Next();
    EXPECT_PAGE(w, "WizLoad");
    auto* recent = Child<QComboBox>(w.Page(), "transferFileCombo");
    QVERIFY(recent->count() >= 1);
    QCOMPARE(recent->itemText(0), Q(bxt_));
    Child<QRadioButton>(w.Page(), "loadRadio")->click();
    recent->setCurrentIndex(0);
    w.Next();

    EXPECT_PAGE(w, "WizServer");
    QCOMPARE(Child<QComboBox>(w.Page(), "serverBox")->currentText(), QString("127.0.0.1"));
    QVERIFY(Child<QRadioButton>(w.Page(), "accountRadio")->isChecked());
    QCOMPARE(Child<QLineEdit>(w.Page(), "passwordEdit")->text(), QString("secret"));
    QCOMPARE(w.job.port, server_->port());
    w.Next();

    EXPECT_PAGE(w, "WizMode");
    Child<QRadioButton>(w.Page(), "getRadio")->click();
    QVERIFY(!Child<QCheckBox>(w.Page(), "archiveBox")->isEnabled());
    auto tabs = std::make_shared<int>(0);
    WhenModal<dialogs::AdvancedSettingsSheet>([tabs](dialogs::AdvancedSettingsSheet* sheet) {
        *tabs = sheet->Tabs()->count();
        sheet->reject();
    });
    Child<QPushButton>(w.Page(), "advancedButton")->click();
    QCOMPARE(*tabs, 3);  // no permissions when getting
    w.Next();

    // Remote is the source now; its size comes from the server, rules applied.
    EXPECT_PAGE(w, "WizRemote");
    QCOMPARE(Child<QLineEdit>(w.Page(), "folderEdit")->text(), QString("/site"));
    QCOMPARE(Child<QLabel>(w.Page(), "folderText")->text(),
             QString("Pick a folder to recieve (including all sub-folders)."));
    QTRY_COMPARE_WITH_TIMEOUT(Child<QLabel>(w.Page(), "sizeLine")->text(), SizeLine(onServer), 20000);
    w.Next();

    EXPECT_PAGE(w, "WizLocal");
    QVERIFY(!Child<QLabel>(w.Page(), "sizeLine")->isVisible());
    PasteInto(Child<QLineEdit>(w.Page(), "folderEdit"), Q(back));
    w.Next();

    EXPECT_PAGE(w, "WizTransfer");
    QCOMPARE(Child<QLineEdit>(w.Page(), "transferFileEdit")->text(), Q(bxt_));
    QVERIFY(Child<QCheckBox>(w.Page(), "saveLogBox")->isChecked());
    Child<QCheckBox>(w.Page(), "saveTransferFileBox")->click();  // run without saving
    QVERIFY(!Child<QLineEdit>(w.Page(), "transferFileEdit")->isEnabled());
    RunToFinalPage(w);
    if (QTest::currentTestFailed()) return;
    w.Press(QWizard::FinishButton);
    QVERIFY(!w.sheet->isVisible());

    QVERIFY(ReadTree(back) == onServer);
    QVERIFY(ReadTree(back) == sent_);
    QVERIFY(w.job.transferFilePath.empty());
    job::TransferJob stillSend;
    QCOMPARE(job::LoadTransferFile(bxt_.string(), stillSend), job::kTransferFileLoaded);
    QCOMPARE(stillSend.getMode, 0);  // not written again
    QVERIFY(fs::file_size(log_) > logBefore);
    qInfo("get walk: %lld ms", static_cast<long long>(clock.elapsed()));
}

QTEST_MAIN(WizardWalkTest)
#include "wizard_walk_test.moc"
