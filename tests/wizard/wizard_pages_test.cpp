#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/prop_test_helpers.h"
#include "engine/sizes.h"
#include "job/transfer_file.h"
#include "prefs/mru_lists.h"
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
using bxfr::test::WhenModal;

namespace {

template <typename T>
T* Child(QWidget* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

// Answers the next message box with `button` and keeps its text.
std::shared_ptr<QString> AnswerBox(QMessageBox::StandardButton button) {
    auto text = std::make_shared<QString>();
    WhenModal<QMessageBox>([text, button](QMessageBox* box) {
        *text = box->text();
        box->button(button)->click();
    });
    return text;
}

void Write(const QString& path, std::size_t bytes) {
    std::ofstream(path.toStdString(), std::ios::binary) << std::string(bytes, 'x');
}

QString SizeLine(std::uint64_t bytes) {
    return QString::fromStdString(engine::FormatSize(bytes)) + " to transfer";
}

// A folder walk that waits until the test lets it go, so that a test can make requests while
// it runs; it reports the length of the folder's name as its total. Its state outlives the
// test, and every walk still held is let go at the end, so no thread is left waiting.
class HeldWalk {
public:
    ~HeldWalk() {
        std::lock_guard lock(state_->mutex);
        state_->released += 1000;
        state_->changed.notify_all();
    }
    WizFilesPage::SizeWalk Walk() {
        return [state = state_](job::TransferJob&, const std::string& folder) -> std::uint64_t {
            std::unique_lock lock(state->mutex);
            ++state->started;
            state->changed.wait(lock, [&] { return state->released > 0; });
            --state->released;
            return folder.size();
        };
    }
    void Release() {
        std::lock_guard lock(state_->mutex);
        ++state_->released;
        state_->changed.notify_all();
    }
    int Started() const {
        std::lock_guard lock(state_->mutex);
        return state_->started;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int started = 0;
        int released = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace

class WizardPagesTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void ServerPageAccountsAndRecentServers();
    void ModePageRebuildsThePlacesBehindIt();
    void LocalPageSizeLineKeepsOnlyTheNewestResult();
    void AnOvertakenWalkIsAskedToStop();
    void LocalPageChecksTheSourceAndStores();
    void RemotePageAsDestination();
    void TransferPageSavesOrRefuses();
    void FinalPageTellsTheOutcome();

private:
    std::unique_ptr<QTemporaryDir> temp_;
    std::unique_ptr<job::TransferJob> job_;
    std::unique_ptr<job::TransferJob> baseline_;
    std::unique_ptr<prefs::UserSettings> settings_;
    std::int32_t status_ = 0;
    int runs_ = 0;
    WizardContext context_;
    std::unique_ptr<WizardSheet> sheet_;
};

void WizardPagesTest::init() {
    temp_ = std::make_unique<QTemporaryDir>();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp_->filePath("settings"));
    job_ = std::make_unique<job::TransferJob>();
    job_->reportProgress = 1;
    baseline_ = std::make_unique<job::TransferJob>(*job_);
    settings_ = std::make_unique<prefs::UserSettings>();
    status_ = 0;
    context_ = WizardContext{job_.get(), baseline_.get(), settings_.get(), &status_, nullptr, {}};
    runs_ = 0;
    context_.runTransfer = [this](job::TransferJob&, std::int32_t* status) {
        ++runs_;
        *status = 1;
    };
    sheet_ = std::make_unique<WizardSheet>(context_);
}

void WizardPagesTest::cleanup() {
    sheet_.reset();
    temp_.reset();
}

void WizardPagesTest::ServerPageAccountsAndRecentServers() {
    auto* page = new WizServer(context_);
    sheet_->SetPlace(PlaceServer, page);
    auto* server = Child<QComboBox>(page, "serverBox");
    auto* user = Child<QLineEdit>(page, "userNameEdit");
    auto* password = Child<QLineEdit>(page, "passwordEdit");
    auto* save = Child<QCheckBox>(page, "savePasswordBox");

    page->OnSetActive();
    QVERIFY(Child<QRadioButton>(page, "anonymousRadio")->isChecked());
    QVERIFY(!user->isEnabled() && !password->isEnabled() && !save->isEnabled());
    QVERIFY(save->isChecked());

    // An empty (or blank) address is refused, and nothing is stored.
    server->setEditText("   ");
    auto refusal = AnswerBox(QMessageBox::Ok);
    QVERIFY(!page->OnWizardNext());
    QCOMPARE(*refusal, QString("Invalid Server Address"));
    QVERIFY(Child<QLabel>(page, "problem")->isVisibleTo(page));
    QVERIFY(job_->server.empty());

    // Typed account details count only in the account state.
    Child<QRadioButton>(page, "accountRadio")->click();
    QVERIFY(user->isEnabled() && save->isEnabled());
    user->setText("bob");
    password->setText("secret");
    save->setChecked(false);
    Child<QRadioButton>(page, "anonymousRadio")->click();
    server->setEditText(" ftp.example.test ");
    QVERIFY(page->OnWizardNext());
    QCOMPARE(job_->server, "ftp.example.test");
    QVERIFY(job_->userName.empty() && job_->password.empty());
    QCOMPARE(job_->promptPassword, 1);
    QVERIFY(prefs::ReadServerMru(0).server.empty());  // the list is off

    // With the list on, Next records the server with its account, and choosing an entry
    // brings the account back.
    settings_->serverMruEnabled = 1;
    prefs::AddServerMru("ftp.one.test", "ann", "pw1");
    page->OnSetActive();
    QCOMPARE(server->count(), 1);
    QCOMPARE(server->currentText(), QString("ftp.example.test"));
    QVERIFY(Child<QRadioButton>(page, "anonymousRadio")->isChecked());
    QVERIFY(!save->isChecked());
    server->setCurrentIndex(0);
    emit server->activated(0);
    QCOMPARE(server->currentText(), QString("ftp.one.test"));
    QCOMPARE(user->text(), QString("ann"));
    QCOMPARE(password->text(), QString("pw1"));
    QVERIFY(Child<QRadioButton>(page, "accountRadio")->isChecked());
    user->setText("carl");
    save->setChecked(true);
    QVERIFY(page->OnWizardNext());
    QCOMPARE(job_->userName, "carl");
    QCOMPARE(job_->password, "pw1");
    QCOMPARE(job_->promptPassword, 0);
    QCOMPARE(prefs::ReadServerMru(0), (prefs::ServerMruEntry{"ftp.one.test", "carl", "pw1"}));

    // Back asks once something stored differs from the baseline; No stays.
    auto question = AnswerBox(QMessageBox::No);
    QVERIFY(!page->OnWizardBack());
    QCOMPARE(*question, QString("Some settings have been changed. Are you sure that you want to go back?"));
    *baseline_ = *job_;
    server->setEditText("ftp.other.test");
    QVERIFY(page->OnWizardBack());  // typed on this page only: no question
    QCOMPARE(job_->server, "ftp.other.test");
}

void WizardPagesTest::ModePageRebuildsThePlacesBehindIt() {
    auto* page = new WizMode(context_);
    sheet_->SetPlace(PlaceMode, page);
    ReplaceTailPages(*sheet_, context_, false);
    job_->getMode = 1;
    job_->archiveOnly = 1;
    page->OnSetActive();
    QVERIFY(Child<QRadioButton>(page, "getRadio")->isChecked());
    auto* archive = Child<QCheckBox>(page, "archiveBox");
    QVERIFY(!archive->isEnabled() && archive->isChecked());

    // The permissions page follows the direction on screen.
    auto tabs = std::make_shared<int>(0);
    WhenModal<dialogs::AdvancedSettingsSheet>([tabs](dialogs::AdvancedSettingsSheet* sheet) {
        *tabs = sheet->Tabs()->count();
        sheet->reject();
    });
    Child<QPushButton>(page, "advancedButton")->click();
    QCOMPARE(*tabs, 3);

    archive->setChecked(false);
    QVERIFY(page->OnWizardNext());
    QCOMPARE(job_->getMode, 1);
    QCOMPARE(job_->archiveOnly, 0);
    QCoreApplication::processEvents();
    QVERIFY(qobject_cast<WizRemote*>(sheet_->PageAt(PlaceSource)));
    QVERIFY(qobject_cast<WizLocal*>(sheet_->PageAt(PlaceDestination)));
    QVERIFY(qobject_cast<WizTransfer*>(sheet_->PageAt(PlaceTransfer)));
    QVERIFY(qobject_cast<WizFinal*>(sheet_->PageAt(PlaceFinal)));

    Child<QRadioButton>(page, "sendRadio")->click();
    QVERIFY(archive->isEnabled());
    WhenModal<dialogs::AdvancedSettingsSheet>([tabs](dialogs::AdvancedSettingsSheet* sheet) {
        *tabs = sheet->Tabs()->count();
        sheet->reject();
    });
    Child<QPushButton>(page, "advancedButton")->click();
    QCOMPARE(*tabs, 4);
    QVERIFY(page->OnWizardBack());
    QCOMPARE(job_->getMode, 0);
    QVERIFY(page->OnWizardNext());
    QVERIFY(qobject_cast<WizLocal*>(sheet_->PageAt(PlaceSource)));
    QVERIFY(qobject_cast<WizRemote*>(sheet_->PageAt(PlaceDestination)));
}

void WizardPagesTest::AnOvertakenWalkIsAskedToStop() {
    // A walk of a huge tree, as typing "/" would start: it only ends when asked to.
    SizeCalculation calc;
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    QVERIFY(calc.Start(*job_, [stopped](job::TransferJob& copy) -> std::uint64_t {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            copy.ReportProgress();
            if (copy.progress.cancelRequested) {
                *stopped = true;
                return 1;
            }
            std::this_thread::yield();
        }
        return 0;
    }));
    QSignalSpy ended(&calc, &SizeCalculation::Ended);
    // A newer request overtakes it; it stops long before its own limit.
    QVERIFY(!calc.Start(*job_, [](job::TransferJob&) -> std::uint64_t { return 0; }));
    QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 10000);
    QVERIFY(stopped->load());
    QCOMPARE(ended.at(0).at(0).toBool(), true);
}

void WizardPagesTest::LocalPageSizeLineKeepsOnlyTheNewestResult() {
    auto* page = new WizLocal(context_);
    sheet_->SetPlace(PlaceSource, page);
    HeldWalk held;
    page->SetFolderSizeWalk(held.Walk());
    auto* folder = Child<QLineEdit>(page, "folderEdit");
    QDir(temp_->path()).mkpath("a");
    QDir(temp_->path()).mkpath("abc");
    QDir(temp_->path()).mkpath("abcdef");

    job_->localPathAsEntered = temp_->filePath("missing").toStdString();
    page->OnSetActive();
    QCOMPARE(page->SizeText(), SizeLine(0));  // shown at once, no thread
    QCOMPARE(page->SizeCalc().StartedRuns(), 0);

    // One run for the first change; two more changes while it runs give exactly one more run,
    // and only its result is shown.
    folder->clear();
    QTest::keyClicks(folder, temp_->filePath("a"));
    QTRY_COMPARE_WITH_TIMEOUT(held.Started(), 1, 5000);
    QCOMPARE(page->SizeText(), QString("Calculating transfer size ..."));
    folder->setText(temp_->filePath("ab"));
    emit folder->textEdited(folder->text());  // does not exist: shown as 0 at once
    QCOMPARE(page->SizeText(), SizeLine(0));
    folder->setText(temp_->filePath("abc"));
    emit folder->textEdited(folder->text());
    folder->setText(temp_->filePath("abcdef"));
    emit folder->textEdited(folder->text());
    QCOMPARE(page->SizeCalc().StartedRuns(), 1);
    held.Release();
    QTRY_COMPARE_WITH_TIMEOUT(held.Started(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(), QString("Calculating transfer size ..."), 5000);
    held.Release();
    const auto last = static_cast<std::uint64_t>(temp_->filePath("abcdef").toStdString().size());
    QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(), SizeLine(last), 5000);
    QCOMPARE(held.Started(), 2);
    QVERIFY(!page->SizeCalc().Running());

    // Choosing a file while a folder runs shows the file; the folder's total comes too late.
    const QString file = temp_->filePath("a/one.txt");
    Write(file, 1500);
    folder->setText(temp_->filePath("abc"));
    emit folder->textEdited(folder->text());
    QTRY_COMPARE_WITH_TIMEOUT(held.Started(), 3, 5000);
    Child<QLineEdit>(page, "fileEdit")->setText(file);
    Child<QRadioButton>(page, "fileRadio")->click();
    QCOMPARE(page->SizeText(), SizeLine(1500));
    held.Release();
    QTRY_VERIFY_WITH_TIMEOUT(!page->SizeCalc().Running(), 5000);
    QCOMPARE(page->SizeText(), SizeLine(1500));

    // An excluded file counts as nothing.
    job_->selectMode = 2;
    job_->AddSelectRule(".txt");
    Child<QRadioButton>(page, "fileRadio")->click();
    QCOMPARE(page->SizeText(), SizeLine(0));
}

void WizardPagesTest::LocalPageChecksTheSourceAndStores() {
    auto* page = new WizLocal(context_);
    sheet_->SetPlace(PlaceSource, page);
    QDir(temp_->path()).mkpath("site/sub");
    Write(temp_->filePath("site/index.html"), 100);
    Write(temp_->filePath("site/sub/b.gif"), 28);
    Write(temp_->filePath("site/skip.tmp"), 7);
    job_->selectMode = 2;
    job_->AddSelectRule("*.tmp");
    job_->localPathAsEntered = temp_->filePath("site").toStdString();
    page->OnSetActive();
    QTRY_COMPARE_WITH_TIMEOUT(page->SizeText(), SizeLine(128), 5000);  // the real walk, rules applied

    auto* folder = Child<QLineEdit>(page, "folderEdit");
    folder->setText(temp_->filePath("nowhere"));
    auto box = AnswerBox(QMessageBox::Ok);
    QVERIFY(!page->OnWizardNext());
    QCOMPARE(*box, QString("Folder does not exist."));

    Child<QRadioButton>(page, "fileRadio")->click();
    Child<QLineEdit>(page, "fileEdit")->setText(temp_->filePath("site"));  // a folder is no file
    box = AnswerBox(QMessageBox::Ok);
    QVERIFY(!page->OnWizardNext());
    QCOMPARE(*box, QString("File does not exist."));

    Child<QLineEdit>(page, "fileEdit")->setText(temp_->filePath("site/index.html"));
    QVERIFY(page->OnWizardNext());
    QCOMPARE(job_->singleFile, 1);
    QCOMPARE(job_->localPathAsEntered, temp_->filePath("site/index.html").toStdString());

    // Back stores without checking, so nothing typed is lost.
    Child<QRadioButton>(page, "folderRadio")->click();
    folder->setText(temp_->filePath("typed but missing"));
    QVERIFY(page->OnWizardBack());
    QCOMPARE(job_->singleFile, 0);
    QCOMPARE(job_->localPathAsEntered, temp_->filePath("typed but missing").toStdString());
    page->OnSetActive();
    QCOMPARE(folder->text(), temp_->filePath("typed but missing"));
    QTRY_VERIFY_WITH_TIMEOUT(!page->SizeCalc().Running(), 5000);
}

void WizardPagesTest::RemotePageAsDestination() {
    auto* page = new WizRemote(context_);
    sheet_->SetPlace(PlaceDestination, page);
    job_->getMode = 0;
    job_->SetRemotePath("");
    page->OnSetActive();
    auto* folder = Child<QLineEdit>(page, "folderEdit");
    QCOMPARE(folder->text(), QString("[login folder]"));
    QVERIFY(!Child<QLabel>(page, "sizeLine")->isVisibleTo(page));
    QVERIFY(!Child<QRadioButton>(page, "fileRadio")->isEnabled());
    QCOMPARE(Child<QLabel>(page, "folderText")->text(), QString("Pick the destination folder."));
    QVERIFY(page->OnWizardNext());
    QVERIFY(job_->remotePathAsEntered.empty());
    QCOMPARE(page->SizeCalc().StartedRuns(), 0);

    // A line break is refused next to the field.
    folder->setText("/www\r\nDELE x");
    QVERIFY(Child<QLabel>(page, "problem")->isVisibleTo(page));
    QVERIFY(!page->OnWizardNext());
    QVERIFY(job_->remotePathAsEntered.empty());
    folder->setText("/www/");
    QVERIFY(!Child<QLabel>(page, "problem")->isVisibleTo(page));
    QVERIFY(page->OnWizardNext());
    QCOMPARE(job_->remotePath, "/www");

    // A single file offers only "File".
    job_->singleFile = 1;
    job_->SetRemotePath("up.txt");
    page->OnSetActive();
    QVERIFY(Child<QRadioButton>(page, "fileRadio")->isChecked());
    QVERIFY(!Child<QRadioButton>(page, "folderRadio")->isEnabled());
    QCOMPARE(Child<QLineEdit>(page, "fileEdit")->text(), QString("up.txt"));
}

void WizardPagesTest::TransferPageSavesOrRefuses() {
    auto* page = new WizTransfer(context_);
    sheet_->SetPlace(PlaceTransfer, page);
    job_->SetServer("ftp.example.test");
    job_->logPath = temp_->filePath("run.log").toStdString();
    page->OnSetActive();
    auto* saveLog = Child<QCheckBox>(page, "saveLogBox");
    QVERIFY(saveLog->isChecked() && Child<QLineEdit>(page, "logFileEdit")->isEnabled());
    QVERIFY(Child<QCheckBox>(page, "saveTransferFileBox")->isChecked());

    // No name at all is pointed out next to the field.
    QVERIFY(!page->OnWizardNext());
    QVERIFY(Child<QLabel>(page, "transferFileProblem")->isVisibleTo(page));

    // A folder that cannot be written to: the save fails, nothing runs.
    auto* file = Child<QLineEdit>(page, "transferFileEdit");
    file->setText(temp_->filePath("no such folder/job.bxt"));
    auto box = AnswerBox(QMessageBox::Ok);
    QVERIFY(!page->OnWizardNext());
    QVERIFY2(box->startsWith("Failed to save transfer file : Error 2\n\n"), qPrintable(*box));
    QVERIFY(prefs::ReadMru(0).empty());

    const QString path = temp_->filePath("job.bxt");
    file->setText(path);
    Child<QCheckBox>(page, "autoTransferBox")->setChecked(true);
    Child<QCheckBox>(page, "verboseBox")->setChecked(true);
    QVERIFY(page->OnWizardNext());
    QCOMPARE(runs_, 1);
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(prefs::ReadMru(0), path.toStdString());
    QVERIFY(*job_ == *baseline_);
    QCOMPARE(job_->autoTransfer, 1);
    job::TransferJob loaded;
    QCOMPARE(job::LoadTransferFile(path.toStdString(), loaded), 0);
    QCOMPARE(loaded.verbose, 1);
    QCOMPARE(loaded.logPath, job_->logPath);

    // Cleared boxes store empty paths and leave autoTransfer as it was.
    Child<QCheckBox>(page, "saveTransferFileBox")->click();
    QVERIFY(!file->isEnabled() && !Child<QCheckBox>(page, "autoTransferBox")->isEnabled());
    saveLog->click();
    QVERIFY(page->OnWizardNext());
    QVERIFY(job_->transferFilePath.empty());
    QVERIFY(job_->logPath.empty());
    QCOMPARE(job_->autoTransfer, 1);
}

void WizardPagesTest::FinalPageTellsTheOutcome() {
    auto* page = new WizFinal(context_);
    sheet_->SetPlace(PlaceFinal, page);
    const std::pair<int, const char*> outcomes[] = {
        {0, "Transfer incomplete - click Back to adjust settings."},
        {1, "Transfer completed sucessfully. Click Finish to exit the Wizard."},
        {2, "Transfer failed. Click Finish to exit the wizard or Back to adjust settings."},
        {3, "Transfer cancelled. Click Finish to exit the wizard or Back to adjust settings."},
        {9, "Status unknown - click Finish to exit the Wizard."},
    };
    for (const auto& [status, text] : outcomes) {
        status_ = status;
        page->OnSetActive();
        QCOMPARE(Child<QLabel>(page, "statusText")->text(), QString(text));
    }
    QVERIFY(!Child<QLabel>(page, "updateText")->isVisibleTo(page));
    QVERIFY(!Child<QPushButton>(page, "viewLogButton")->isVisibleTo(page));

    job_->checkUpgrade = 1;
    job_->logPath = "/tmp/x.log";
    page->OnSetActive();
    QCOMPARE(Child<QLabel>(page, "updateText")->text(), QString("No updates are available."));
    QVERIFY(!Child<QLabel>(page, "downloadLink")->isVisibleTo(page));
    QVERIFY(Child<QPushButton>(page, "viewLogButton")->isVisibleTo(page));
    job_->upgradeAvailable = 1;
    page->OnSetActive();
    QCOMPARE(Child<QLabel>(page, "updateText")->text(),
             QString("An updated version of Brindle FTP is available."));
    QVERIFY(Child<QLabel>(page, "downloadLink")->isVisibleTo(page));
    QVERIFY(page->OnQueryCancel());
}

QTEST_MAIN(WizardPagesTest)
#include "wizard_pages_test.moc"
