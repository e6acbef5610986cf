// The Transfer page: the transfer file, the log and the last options, saving, and the run.

#include "wizard/transfer_page.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>

#include "dialogs/preview_dialog.h"
#include "dialogs/tran_prog.h"
#include "engine/error_texts.h"
#include "job/transfer_file.h"
#include "prefs/mru_lists.h"

namespace bxfr::wizard {
namespace {

QLabel* ProblemLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setStyleSheet("color: #b00020;");
    label->setWordWrap(true);
    label->hide();
    return label;
}

void ShowProblem(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

// A full path, so that the recent-files list and a later run from elsewhere find the file.
QString FullPath(const QString& text) {
    if (text.trimmed().isEmpty()) return text;
    return QDir::toNativeSeparators(QFileInfo(text).absoluteFilePath());
}

}  // namespace

WizTransfer::WizTransfer(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Transfer"), "save.htm", false, parent) {
    setObjectName("WizTransfer");
    auto* intro = new QLabel(tr("Set options below and then click Next to start the transfer."), this);
    saveTransferFile_ = new QCheckBox(tr("&Save Brindle FTP Transfer file (*.BXT):"), this);
    saveTransferFile_->setObjectName("saveTransferFileBox");
    transferFile_ = new QLineEdit(this);
    transferFile_->setObjectName("transferFileEdit");
    transferFilePick_ = new QPushButton(tr("..."), this);
    transferFilePick_->setObjectName("transferFilePick");
    transferFileProblem_ = ProblemLabel(this, "transferFileProblem");
    autoTransfer_ =
        new QCheckBox(tr("&Automatically start transfer when I double-click this BXT file"), this);
    autoTransfer_->setObjectName("autoTransferBox");
    saveLog_ = new QCheckBox(tr("Save &log file for this transfer:"), this);
    saveLog_->setObjectName("saveLogBox");
    logFile_ = new QLineEdit(this);
    logFile_->setObjectName("logFileEdit");
    logFilePick_ = new QPushButton(tr("..."), this);
    logFilePick_->setObjectName("logFilePick");
    logFileProblem_ = ProblemLabel(this, "logFileProblem");
    ignoreErrors_ = new QCheckBox(tr("&Ignore errors during transfer"), this);
    ignoreErrors_->setObjectName("ignoreErrorsBox");
    verbose_ = new QCheckBox(tr("&Enable detailed logging (verbose mode)"), this);
    verbose_->setObjectName("verboseBox");
    checkUpgrade_ = new QCheckBox(tr("&Check for Brindle FTP updates during transfer"), this);
    checkUpgrade_->setObjectName("checkUpgradeBox");
    sync_ = new QCheckBox(tr("Move only files that &differ from the other side's copy (size or time)"), this);
    sync_->setObjectName("syncBox");
    deleteMissing_ = new QCheckBox(tr("&Delete files on the other side that the source no longer has"), this);
    deleteMissing_->setObjectName("deleteMissingBox");
    deleteWarning_ = ProblemLabel(this, "deleteWarning");
    deleteWarning_->setText(tr("Warning: deletes the files there that the source no longer has."));
    deleteWarning_->setWordWrap(false);
    deleteWarning_->setToolTip(
        tr("Files the source does not have, and folders left empty, are deleted from the other side "
           "(local files go to the trash). The first run shows them before anything happens, and a run "
           "that would delete more than half of the files asks first."));
    preview_ = new QCheckBox(tr("&Preview what will change before the transfer starts"), this);
    preview_->setObjectName("previewBox");
    preview_->setChecked(true);
    for (auto* pick : {transferFilePick_, logFilePick_}) {
        pick->setAccessibleName(tr("Browse"));
        pick->setFixedWidth(pick->fontMetrics().horizontalAdvance("...") + pick->fontMetrics().height() * 2);
    }

    const int indent = saveTransferFile_->sizeHint().height();
    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, indent);
    int row = 0;
    grid->addWidget(saveTransferFile_, row++, 0, 1, 3);
    grid->addWidget(transferFile_, row, 1);
    grid->addWidget(transferFilePick_, row++, 2);
    grid->addWidget(transferFileProblem_, row++, 1, 1, 2);
    grid->addWidget(autoTransfer_, row++, 1, 1, 2);
    grid->setRowMinimumHeight(row++, indent / 2);
    grid->addWidget(saveLog_, row++, 0, 1, 3);
    grid->addWidget(logFile_, row, 1);
    grid->addWidget(logFilePick_, row++, 2);
    grid->addWidget(logFileProblem_, row++, 1, 1, 2);
    grid->setRowMinimumHeight(row++, indent / 2);
    grid->addWidget(ignoreErrors_, row++, 0, 1, 3);
    grid->addWidget(verbose_, row++, 0, 1, 3);
    grid->addWidget(checkUpgrade_, row++, 0, 1, 3);
    grid->addWidget(sync_, row++, 0, 1, 3);
    grid->addWidget(deleteMissing_, row++, 0, 1, 3);
    grid->addWidget(deleteWarning_, row++, 1, 1, 2);
    grid->addWidget(preview_, row++, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    Body()->addWidget(intro);
    Body()->addSpacing(indent / 2);
    Body()->addLayout(grid);

    connect(saveTransferFile_, &QCheckBox::clicked, this, &WizTransfer::UpdateTransferFileControls);
    connect(saveLog_, &QCheckBox::clicked, this, &WizTransfer::UpdateLogControls);
    connect(deleteMissing_, &QCheckBox::toggled, this, &WizTransfer::UpdateDeleteWarning);
    connect(transferFilePick_, &QPushButton::clicked, this, &WizTransfer::PickTransferFile);
    connect(logFilePick_, &QPushButton::clicked, this, &WizTransfer::PickLogFile);
    connect(transferFile_, &QLineEdit::textEdited, this, [this] { ShowProblem(transferFileProblem_, {}); });
    connect(logFile_, &QLineEdit::textEdited, this, [this] { ShowProblem(logFileProblem_, {}); });

    saveTransferFile_->setChecked(true);
    UpdateTransferFileControls();
    saveLog_->setChecked(false);
    UpdateLogControls();
}

void WizTransfer::UpdateTransferFileControls() {
    const bool on = saveTransferFile_->isChecked();
    transferFile_->setEnabled(on);
    transferFilePick_->setEnabled(on);
    autoTransfer_->setEnabled(on);
    if (!on) ShowProblem(transferFileProblem_, {});
}

void WizTransfer::UpdateLogControls() {
    const bool on = saveLog_->isChecked();
    logFile_->setEnabled(on);
    logFilePick_->setEnabled(on);
    if (!on) ShowProblem(logFileProblem_, {});
}

// A transfer that deletes is always previewed from here.
void WizTransfer::UpdateDeleteWarning() {
    const bool deleting = deleteMissing_->isChecked();
    deleteWarning_->setVisible(deleting);
    if (deleting) preview_->setChecked(true);
    preview_->setEnabled(!deleting);
}

void WizTransfer::OnSetActive() {
    // Only a ticked box saves a path into the job; an unticked one keeps its name for later.
    if (!Job().transferFilePath.empty()) {
        saveTransferFile_->setChecked(true);
        transferFile_->setText(QString::fromStdString(Job().transferFilePath));
    } else if (saveTransferFile_->isChecked()) {
        transferFile_->clear();
    }
    UpdateTransferFileControls();
    autoTransfer_->setChecked(Job().autoTransfer == 1);
    ignoreErrors_->setChecked(Job().ignoreErrors == 1);
    verbose_->setChecked(Job().verbose == 1);
    checkUpgrade_->setChecked(Job().checkUpgrade == 1);
    sync_->setChecked(Job().syncMode == 1);
    deleteMissing_->setChecked(Job().deleteMissing == 1);
    UpdateDeleteWarning();
    logFile_->setText(QString::fromStdString(Job().logPath));
    saveLog_->setChecked(!logFile_->text().isEmpty());
    UpdateLogControls();
    ShowProblem(transferFileProblem_, {});
    ShowProblem(logFileProblem_, {});
    (saveTransferFile_->isChecked() ? static_cast<QWidget*>(transferFile_) : saveTransferFile_)->setFocus();
}

void WizTransfer::PickTransferFile() {
    QFileDialog dialog(this, tr("Save Transfer File"), transferFile_->text());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("bxt");
    dialog.setNameFilters(
        {tr("Brindle FTP Transfer Files (*.bxt)"), tr("Brindle FTP INI Files (*.ini)"), tr("All Files (*)")});
    if (!transferFile_->text().isEmpty()) dialog.selectFile(transferFile_->text());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    transferFile_->setText(QDir::toNativeSeparators(dialog.selectedFiles().front()));
    ShowProblem(transferFileProblem_, {});
}

void WizTransfer::PickLogFile() {
    QFileDialog dialog(this, tr("Log File"), logFile_->text());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setDefaultSuffix("log");
    dialog.setNameFilters({tr("Brindle FTP Log Files (*.log)"), tr("All Files (*)")});
    if (!logFile_->text().isEmpty()) dialog.selectFile(logFile_->text());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    logFile_->setText(QDir::toNativeSeparators(dialog.selectedFiles().front()));
    ShowProblem(logFileProblem_, {});
}

void WizTransfer::Store() {
    Job().SetTransferFilePath(saveTransferFile_->isChecked() ? FullPath(transferFile_->text()).toStdString()
                                                             : std::string());
    Job().SetLogPath(saveLog_->isChecked() ? FullPath(logFile_->text()).toStdString() : std::string());
    Job().ignoreErrors = ignoreErrors_->isChecked() ? 1 : 0;
    Job().verbose = verbose_->isChecked() ? 1 : 0;
    Job().checkUpgrade = checkUpgrade_->isChecked() ? 1 : 0;
    Job().syncMode = sync_->isChecked() ? 1 : 0;
    Job().deleteMissing = deleteMissing_->isChecked() ? 1 : 0;
}

bool WizTransfer::OnWizardBack() {
    Store();
    return true;
}

bool WizTransfer::CheckFields() {
    if (saveTransferFile_->isChecked() && transferFile_->text().trimmed().isEmpty()) {
        ShowProblem(transferFileProblem_, tr("Enter the name of the transfer file, or clear the box above."));
        transferFile_->setFocus();
        return false;
    }
    if (saveLog_->isChecked()) {
        const QString log = logFile_->text().trimmed();
        if (log.isEmpty()) {
            ShowProblem(logFileProblem_, tr("Enter the name of the log file, or clear the box above."));
            logFile_->setFocus();
            return false;
        }
        const QFileInfo info(log);
        if (info.isDir()) {
            ShowProblem(logFileProblem_, tr("This is a folder; enter the name of a file."));
            logFile_->setFocus();
            return false;
        }
        if (!info.absoluteDir().exists()) {
            ShowProblem(logFileProblem_, tr("The folder of the log file does not exist."));
            logFile_->setFocus();
            return false;
        }
    }
    return true;
}

bool WizTransfer::Save() {
    Job().autoTransfer = autoTransfer_->isChecked() ? 1 : 0;
    const std::string path = Job().transferFilePath;
    errno = 0;
    if (job::SaveTransferFile(path, Job()) != job::kTransferFileLoaded) {
        // A refusal without a system error (a value that would break the file's lines) still
        // needs a code the user can quote.
        const int error = errno != 0 ? errno : EINVAL;
        const std::string description = engine::DescribeError(static_cast<std::uint32_t>(error), {});
        const QString text =
            QString::asprintf("Failed to save transfer file : Error %i\n\n%s", error, description.c_str());
        ShowProblem(transferFileProblem_, tr("The transfer file could not be saved here."));
        QMessageBox::critical(this, "Brindle FTP", text);
        transferFile_->setFocus();
        return false;
    }
    prefs::AddToMru(path);
    ResetBaseline();
    if (job::PasswordLeftOut(Job())) {
        QMessageBox::warning(this, "Brindle FTP Wizard",
                             "Unable to access cryptographic service provider.\r\nThe password was not "
                             "saved in the transfer file, because it cannot be encrypted.");
    }
    return true;
}

bool WizTransfer::OnWizardNext() {
    if (!CheckFields()) return false;
    Store();
    if (saveTransferFile_->isChecked() && !Save()) return false;
    const std::string trustedBefore = Job().fingerprint;
    if (preview_->isChecked() && !PreviewBeforeRun(Context(), Job(), this)) {
        if (Job().fingerprint != trustedBefore && saveTransferFile_->isChecked()) Save();
        return false;
    }
    RunFromWizard(Context(), Job());
    // A certificate the user trusted on the way belongs in the transfer file too.
    if (Job().fingerprint != trustedBefore && saveTransferFile_->isChecked()) Save();
    return true;
}

bool PreviewBeforeRun(const WizardContext& context, job::TransferJob& job, QWidget* parent) {
    return context.previewTransfer ? context.previewTransfer(job) : dialogs::PreviewTransfer(job, parent);
}

void RunFromWizard(const WizardContext& context, job::TransferJob& job) {
    if (context.runTransfer) {
        context.runTransfer(job, context.transferStatus);
    } else {
        dialogs::RunTransferProgress(job, context.transferStatus, nullptr);
    }
    job.ResetProgress();
    // Deletions the user allowed after a preview were for that run only.
    job.allowMassDelete = false;
}

}  // namespace bxfr::wizard
