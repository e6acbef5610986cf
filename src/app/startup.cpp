// The desktop program's start-up: loading the named file, the direct transfer or the wizard, and
// the exit status.

#include "app/startup.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

#include "app/exit_codes.h"
#include "dialogs/preview_dialog.h"
#include "dialogs/server_advanced_dialog.h"
#include "dialogs/tran_prog.h"
#include "engine/error_texts.h"
#include "job/transfer_file.h"
#include "prefs/user_settings.h"
#include "wizard/wizard_launch.h"

namespace bxfr::app {

int StartupExitCode(const StartupOutcome& outcome) {
    if (outcome.loadFailed) return kExitNotLoaded;
    if (outcome.decision != job::StartupDecision::DirectTransfer) return kExitCompleted;
    if (outcome.passwordCancelled) return kExitCancelled;
    return ExitCodeOf(static_cast<progress::TransferStatus>(outcome.transferStatus));
}

namespace {

// Transfer files whose deletions the user has seen in a preview, in the user's key.
constexpr const char* kPreviewedKey = "PreviewedDeletions";

QString PreviewedName(const std::string& transferFile) {
    return transferFile.empty() ? QString()
                                : QFileInfo(QString::fromStdString(transferFile)).absoluteFilePath();
}

// A transfer that deletes shows what it deletes the first time it runs from the desktop.
bool NeedsFirstPreview(const job::TransferJob& job, const QString& name) {
    if (job.deleteMissing != 1) return false;
    return name.isEmpty() || !prefs::OpenUserKey()->value(kPreviewedKey).toStringList().contains(name);
}

void RememberPreview(const QString& name) {
    if (name.isEmpty()) return;
    auto key = prefs::OpenUserKey();
    QStringList seen = key->value(kPreviewedKey).toStringList();
    seen.append(name);
    key->setValue(kPreviewedKey, seen);
}

}  // namespace

bool RunDirectTransfer(job::TransferJob& job, std::int32_t& transferStatus,
                       const dialogs::ConnectorFactory& makeClient, const std::string& transferFile) {
    if (job.promptPassword == 1 && !dialogs::RunPasswordPrompt(job, nullptr)) return false;
    const std::string trustedBefore = job.fingerprint;
    const QString previewed = PreviewedName(transferFile);
    if (NeedsFirstPreview(job, previewed)) {
        if (!dialogs::PreviewTransfer(job, nullptr, makeClient)) {
            transferStatus = static_cast<std::int32_t>(progress::TransferStatus::Cancelled);
            return true;
        }
        RememberPreview(previewed);
    }
    dialogs::RunTransferProgress(job, &transferStatus, nullptr, makeClient);
    // The guard stopped a run that would delete most of the files: the plan shows them and asks.
    if (job.deleteMissing == 1 && job.failureText == engine::FailureSentence(engine::kDeletionsRefused, {}) &&
        dialogs::PreviewTransfer(job, nullptr, makeClient) && job.allowMassDelete) {
        dialogs::RunTransferProgress(job, &transferStatus, nullptr, makeClient);
        job.allowMassDelete = false;
    }
    if (job.fingerprint != trustedBefore && !transferFile.empty()) {
        // Only the trust is new: the file gets the key and keeps everything else as it was.
        job::TransferJob stored;
        if (job::LoadTransferFile(transferFile, stored) == job::kTransferFileLoaded) {
            stored.fingerprint = job.fingerprint;
            job::SaveTransferFile(transferFile, stored);
        }
    }
    return true;
}

StartupOutcome RunStartup(const std::vector<std::string>& args, const StartupHooks& hooks) {
    StartupOutcome outcome;
    job::TransferJob job;
    job::TransferJob baseline;
    job.reportProgress = 1;
    const job::CommandLine commandLine = job::ParseArguments(args);
    int loadResult = job::kTransferFileInvalid;
    if (!commandLine.path.empty()) {
        std::string problem;
        loadResult = job::LoadTransferFile(commandLine.path, job, job::DefaultPasswordCrypto(), &problem);
        if (loadResult != job::kTransferFileLoaded) {
            outcome.loadFailed = true;
            QString text = QString("Failed to load %1").arg(QString::fromStdString(commandLine.path));
            if (!problem.empty()) text += "\n\n" + QString::fromStdString(problem);
            QMessageBox::critical(nullptr, "Brindle FTP", text);
        }
    }
    outcome.decision = job::DecideStartup(commandLine, loadResult, job);
    if (outcome.decision == job::StartupDecision::DirectTransfer) {
        outcome.passwordCancelled =
            !RunDirectTransfer(job, outcome.transferStatus, hooks.makeClient, commandLine.path);
        return outcome;
    }
    const QString file = outcome.decision == job::StartupDecision::WizardWithFile
                             ? QString::fromStdString(commandLine.path)
                             : QString();
    if (outcome.decision == job::StartupDecision::WizardWithoutFile) {
        // A file that failed to load leaves nothing of itself behind.
        job.Reset();
        job.reportProgress = 1;
    }
    if (hooks.runWizard) {
        hooks.runWizard(job, file);
        return outcome;
    }
    prefs::UserSettings settings;
    wizard::RunWizard(job, baseline, settings, outcome.transferStatus, file);
    return outcome;
}

}  // namespace bxfr::app
