// Walks the whole wizard as a user does, against a real FTP server on 127.0.0.1: a send that
// saves its transfer file, then a get that loads that file from the recent-files list.
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/preview_dialog.h"
#include "dialogs/prop_chmod_dialog.h"
#include "dialogs/prop_script_dialog.h"
#include "dialogs/prop_sel_dialog.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/tran_prog.h"
#include "engine/sizes.h"
#include "engine/transfer_harness.h"
#include "job/password_crypto.h"
#include "job/transfer_file.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/qt_helpers.h"
#include "support/temp_dir.h"
#include "support/wizard_state.h"
#include "wizard/welcome_load_pages.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

using namespace bxfr;
using namespace bxfr::wizard;
using bxfr::engine::Tree;
using bxfr::engine::TreeOf;
using bxfr::test::Child;
using bxfr::test::WhenModal;
namespace fs = std::filesystem;

namespace {

// Replaces a field's text the way a user does: select it all, type over it.
void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

// A path arrives in one piece, as pasted: typed key by key, its first "/" would already start
// a size walk of the whole disk.
void PasteInto(QLineEdit* edit, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
}

QString SizeLine(const Tree& tree) {
    return QString::fromStdString(engine::FormatSize(engine::BytesIn(tree))) + " to transfer";
}

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

// The sheet as the wizard launch builds it; runTransfer stays empty, so the real progress
// dialog runs the curl client.
struct Wizard : test::WizardState {
    std::unique_ptr<WizardSheet> sheet;

    // `realPreview`: a dry run and the preview dialog before each run, as the program has them.
    explicit Wizard(bool realPreview = false) {
        if (realPreview) context.previewTransfer = nullptr;
        sheet = std::make_unique<WizardSheet>(context);
        baseline.Reset();
        baseline.CopyFrom(job);
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
    template <typename T>
    T* At(const char* name) const {
        return Child<T>(Page(), name);
    }
    // Presses Next or Back and checks where it led.
    void Next(const char* landed) const { Press(QWizard::NextButton, landed); }
    void Back(const char* landed) const { Press(QWizard::CustomButton1, landed); }
    void Press(QWizard::WizardButton which, const char* landed = nullptr) const {
        QAbstractButton* button = sheet->button(which);
        QVERIFY2(button->isVisible() && button->isEnabled(), "the button is not there to press");
        button->click();
        // Pages the Mode page replaced go on the next turn of the event loop.
        QCoreApplication::processEvents();
        if (landed) QCOMPARE(Page()->objectName(), QString(landed));
    }
};

// Next on the Transfer page runs the transfer; the progress dialog closes itself when done.
// A run past a minute is cancelled.
void RunToFinalPage(const Wizard& w) {
    bool sawProgress = false;
    bool cancelled = false;
    QElapsedTimer clock;
    clock.start();
    const test::BoxWatcher boxes([&](QWidget* modal) {
        if (auto* progress = qobject_cast<dialogs::TranProg*>(modal)) {
            sawProgress = true;
            if (!cancelled && clock.elapsed() > 60000) {
                cancelled = true;
                progress->reject();
            }
        }
    });
    w.Next("WizFinal");
    QVERIFY(sawProgress);
    QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join(" | ")));
    QVERIFY(!cancelled);
    QCOMPARE(w.status, 1);
}

}  // namespace

class WizardWalkTest : public QObject {
    Q_OBJECT
    test::TempDir temp_;
    std::unique_ptr<test::FtpTestServer> server_;
    const fs::path source_ = temp_.path() / "source";
    const fs::path bxt_ = temp_.path() / "walk.bxt";
    const fs::path log_ = temp_.path() / "walk.log";
    Tree sent_;

private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Q(temp_.path() / "settings"));
        // Never the maker's site, even if a box were left ticked.
        qputenv("BXFR_UPGRADE_URL", "http://127.0.0.1:9/");
        server_ = std::make_unique<test::FtpTestServer>();
        std::string binary;
        for (int i = 0; i < 40000; ++i) binary += static_cast<char>((i * 7919 + i / 256) & 0xff);
        // Mixed line ends: any text-mode conversion would show in the comparison.
        test::WriteFile(source_ / "index.html", "<html>\r\n<body>hello</body>\r\n</html>\r\n");
        test::WriteFile(source_ / "skip.tmp", "scratch");
        test::WriteFile(source_ / "sub" / "data.bin", binary);
        test::WriteFile(source_ / "sub" / "deeper" / "page.html", "<p>deep</p>\n");
        test::WriteFile(source_ / "sub" / "deeper" / "notes.txt", "line one\nline two\r\n");
        sent_ = TreeOf(source_, false);
        sent_.erase("skip.tmp");
    }

    void SendWalk() {
        Wizard w;
        w.Next("WizLoad");
        w.Next("WizServer");
        w.At<QRadioButton>("accountRadio")->click();
        TypeInto(w.At<QLineEdit>("passwordEdit"), "secret");
        // Pasted whole, an address gives its user and port to their fields.
        const QString port = QString::number(server_->port());
        TypeInto(w.At<QComboBox>("serverBox")->lineEdit(), "ftp://user@127.0.0.1:" + port);
        WhenModal<dialogs::ServerAdvancedDialog>([port](dialogs::ServerAdvancedDialog* d) {
            QCOMPARE(Child<QLineEdit>(d, "port")->text(), port);
            QVERIFY(Child<QCheckBox>(d, "passive")->isChecked());  // new transfers are passive
            d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        w.At<QPushButton>("advancedButton")->click();
        w.Next("WizMode");
        w.Back("WizServer");
        QCOMPARE(w.At<QComboBox>("serverBox")->currentText(), QString("127.0.0.1"));
        QCOMPARE(w.At<QLineEdit>("portEdit")->text(), port);
        QCOMPARE(w.At<QLineEdit>("userNameEdit")->text(), QString("user"));
        QCOMPARE(w.At<QLineEdit>("passwordEdit")->text(), QString("secret"));
        w.Next("WizMode");

        // Binary for every file, *.tmp excluded, *.html made 600, HELP sent after the login.
        WhenModal<dialogs::AdvancedSettingsSheet>([](dialogs::AdvancedSettingsSheet* sheet) {
            Child<QRadioButton>(sheet, "binaryRadio")->click();
            sheet->Tabs()->setCurrentIndex(1);
            Child<QRadioButton>(sheet->Tabs()->currentWidget(), "excludeRadio")->click();
            WhenModal<dialogs::AddSel>([](dialogs::AddSel* d) {
                TypeInto(Child<QLineEdit>(d, "extensionEdit"), "*.tmp");
                d->accept();
            });
            Child<QPushButton>(sheet->Tabs()->currentWidget(), "addButton")->click();
            sheet->Tabs()->setCurrentIndex(2);
            WhenModal<dialogs::AddChmod>([](dialogs::AddChmod* d) {
                TypeInto(Child<QLineEdit>(d, "extensionEdit"), "*.html");
                TypeInto(Child<QLineEdit>(d, "numberEdit"), "600");
                d->accept();
            });
            Child<QPushButton>(sheet->Tabs()->currentWidget(), "addButton")->click();
            sheet->Tabs()->setCurrentIndex(3);
            WhenModal<dialogs::AddScript>([](dialogs::AddScript* d) {
                Child<QComboBox>(d, "typeBox")->setCurrentIndex(0);  // on connect
                TypeInto(Child<QLineEdit>(d, "commandEdit"), "HELP");
                // HELP answers on the control connection: a data connection opened for it and
                // closed unused makes pyftpdlib send a stray 226 that a later command then reads.
                Child<QCheckBox>(d, "expectBox")->setChecked(false);
                d->accept();
            });
            Child<QPushButton>(sheet->Tabs()->currentWidget(), "addButton")->click();
            sheet->findChild<QDialogButtonBox*>(QString(), Qt::FindDirectChildrenOnly)
                ->button(QDialogButtonBox::Ok)
                ->click();
        });
        w.At<QPushButton>("advancedButton")->click();
        w.Next("WizLocal");

        // The size line counts the selected files only.
        PasteInto(w.At<QLineEdit>("folderEdit"), Q(source_));
        QTRY_COMPARE_WITH_TIMEOUT(w.At<QLabel>("sizeLine")->text(), SizeLine(sent_), 10000);
        w.Next("WizRemote");
        TypeInto(w.At<QLineEdit>("folderEdit"), "/site");
        w.Back("WizLocal");
        w.Next("WizRemote");
        QCOMPARE(w.At<QLineEdit>("folderEdit")->text(), QString("/site"));
        w.Next("WizTransfer");
        TypeInto(w.At<QLineEdit>("transferFileEdit"), Q(bxt_));
        w.At<QCheckBox>("saveLogBox")->click();
        TypeInto(w.At<QLineEdit>("logFileEdit"), Q(log_));
        w.At<QCheckBox>("checkUpgradeBox")->click();
        w.Back("WizRemote");
        w.Next("WizTransfer");
        QCOMPARE(w.At<QLineEdit>("transferFileEdit")->text(), Q(bxt_));
        QCOMPARE(w.At<QLineEdit>("logFileEdit")->text(), Q(log_));
        QVERIFY(!w.At<QCheckBox>("checkUpgradeBox")->isChecked());
        RunToFinalPage(w);
        if (QTest::currentTestFailed()) return;
        w.Press(QWizard::FinishButton);

        // On the server: the tree without *.tmp, byte for byte, *.html made 600.
        const fs::path site = server_->root() / "site";
        QVERIFY(TreeOf(site, false) == sent_);
        for (const char* html : {"index.html", "sub/deeper/page.html"})
            QVERIFY2((fs::status(site / html).permissions() & fs::perms::all) ==
                         (fs::perms::owner_read | fs::perms::owner_write),
                     html);
        // Once on every connection the files moved on, before its first file.
        QCOMPARE(std::ranges::count(server_->Commands(), std::string("HELP")), server_->LoginCount());
        QVERIFY(test::ReadFile(log_).find("Connecting to 127.0.0.1") != std::string::npos);

        // The saved file gives the same job back, without the password in the clear.
        job::TransferJob loaded;
        loaded.reportProgress = 1;
        QCOMPARE(job::LoadTransferFile(bxt_.string(), loaded), job::kTransferFileLoaded);
        loaded.SetTransferFilePath(bxt_.string());
        QVERIFY(loaded == w.job);
        QVERIFY(loaded.selectRules == w.job.selectRules && loaded.chmodRules == w.job.chmodRules);
        QVERIFY(loaded.connScript == w.job.connScript);
        if (job::IsCryptoAvailable()) QVERIFY(test::ReadFile(bxt_).find("secret") == std::string::npos);
    }

    // Loads the send walk's file from the recent list and gets the tree back.
    void GetWalk() {
        if (!fs::exists(bxt_)) QSKIP("needs the transfer file of the send walk");
        const fs::path site = server_->root() / "site";
        test::WriteFile(site / "extra.tmp", "left on the server");
        Tree onServer = TreeOf(site, false);
        onServer.erase("extra.tmp");
        const fs::path back = temp_.path() / "back";
        fs::create_directories(back);

        Wizard w;
        w.Next("WizLoad");
        auto* recent = w.At<QComboBox>("transferFileCombo");
        QCOMPARE(recent->itemText(0), Q(bxt_));
        w.At<QRadioButton>("loadRadio")->click();
        recent->setCurrentIndex(0);
        w.Next("WizServer");
        w.Next("WizMode");
        w.At<QRadioButton>("getRadio")->click();
        // Remote is the source now; its size comes from the server, rules applied.
        w.Next("WizRemote");
        QTRY_COMPARE_WITH_TIMEOUT(w.At<QLabel>("sizeLine")->text(), SizeLine(onServer), 20000);
        w.Next("WizLocal");
        PasteInto(w.At<QLineEdit>("folderEdit"), Q(back));
        w.Next("WizTransfer");
        w.At<QCheckBox>("saveTransferFileBox")->click();  // run without saving, even after going back
        w.Back("WizLocal");
        w.Back("WizRemote");
        w.Back("WizMode");
        w.Next("WizRemote");
        w.Next("WizLocal");
        w.Next("WizTransfer");
        QVERIFY(!w.At<QCheckBox>("saveTransferFileBox")->isChecked());
        RunToFinalPage(w);
        if (QTest::currentTestFailed()) return;
        w.Press(QWizard::FinishButton);

        QVERIFY(TreeOf(back, false) == onServer);
        job::TransferJob stillSend;
        QCOMPARE(job::LoadTransferFile(bxt_.string(), stillSend), job::kTransferFileLoaded);
        QCOMPARE(stillSend.getMode, 0);  // not written again
    }

    // The send walk's file again with SYNC and DELETE: the real preview lists the one deletion
    // apart, Run removes it, and the file the rules exclude stays.
    void MirrorWalk() {
        if (!fs::exists(bxt_) || !job::IsCryptoAvailable())
            QSKIP("needs the send walk's file with its password");
        fs::remove(source_ / "sub" / "deeper" / "notes.txt");
        Wizard w(true);
        w.Next("WizLoad");
        w.At<QRadioButton>("loadRadio")->click();
        w.At<QComboBox>("transferFileCombo")->setCurrentIndex(0);
        for (const char* page : {"WizServer", "WizMode", "WizLocal", "WizRemote", "WizTransfer"})
            w.Next(page);
        w.At<QCheckBox>("syncBox")->click();
        w.At<QCheckBox>("deleteMissingBox")->click();
        QVERIFY(w.At<QLabel>("deleteWarning")->isVisibleTo(w.Page()));
        QVERIFY(!w.At<QCheckBox>("previewBox")->isEnabled());
        QStringList deletions;
        QString summary;
        const test::BoxWatcher boxes([&](QWidget* modal) {
            if (auto* preview = qobject_cast<dialogs::PreviewDialog*>(modal)) {
                summary = Child<QLabel>(preview, "planSummary")->text();
                auto* list = Child<QTreeWidget>(preview, "planDeletions");
                for (int i = 0; i < list->topLevelItemCount(); ++i)
                    deletions << list->topLevelItem(i)->text(1);
                Child<QPushButton>(preview, "runButton")->click();
            }
        });
        w.Next("WizFinal");
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join(" | ")));
        QVERIFY2(deletions == QStringList{"sub/deeper/notes.txt"},
                 qPrintable(summary + " / " + deletions.join(",")));
        QVERIFY2(summary.startsWith("0 files to send"), qPrintable(summary));
        QCOMPARE(w.status, 1);
        QVERIFY(!fs::exists(server_->root() / "site" / "sub" / "deeper" / "notes.txt"));
        QVERIFY(fs::exists(server_->root() / "site" / "extra.tmp"));
        w.Press(QWizard::FinishButton);
    }
};

QTEST_MAIN(WizardWalkTest)
#include "wizard_walk_test.moc"
