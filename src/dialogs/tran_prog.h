#pragma once

// The Transfer Progress dialog: a run on a worker thread, its progress and log, and Cancel.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/remote_pickers.h"
#include "job/transfer_job.h"
#include "progress/transfer_worker.h"

class QGridLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace bxfr::dialogs {

// "Brindle FTP - Transfer Progress": runs the job on a worker thread and shows its progress,
// refreshed every 500 ms. It closes only once the worker has finished; Cancel asks the engine
// to stop. The outcome goes to *transferStatus (0 Incomplete, 1 Completed, 2 Failed, 3 Cancelled).
class TranProg : public QDialog {
    Q_OBJECT
public:
    TranProg(job::TransferJob& job, std::int32_t* transferStatus, QWidget* parent = nullptr,
             ConnectorFactory makeClient = {});
    ~TranProg() override;

    int exec() override;
    void reject() override;
    void done(int result) override;

    bool LogExpanded() const { return logExpanded_; }
    void ToggleLogPane();
    // One refresh, as the timer does it.
    void Tick();
    // The certificate the run stopped at, for the question whether to trust it.
    const std::optional<engine::ServerCertificate>& UntrustedCertificate() const { return untrusted_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Finish();
    // Moves the text the worker took in since the last call into the pane.
    void AppendNewLog();
    void SetMainTitle(const QString& title);
    void ShowMovingFiles(const progress::ProgressState& state);
    void ShowError(const progress::ProgressState& state);

    // One row of the moving files: name, bytes, bar.
    struct FileRow {
        QLabel* name;
        QLabel* bytes;
        QProgressBar* bar;
    };

    job::TransferJob& job_;
    std::int32_t* transferStatus_;
    std::unique_ptr<engine::Connector> client_;
    std::unique_ptr<progress::TransferWorker> worker_;
    QLabel* status_;
    QLabel* bytes_;
    QLabel* timeLeft_;
    QProgressBar* bar_;
    QGridLayout* fileGrid_;
    std::vector<FileRow> fileRows_;
    QPlainTextEdit* log_;
    QPushButton* toggle_;
    QPushButton* cancel_;
    QTimer* timer_;
    bool barShown_ = false;
    bool logExpanded_ = true;
    bool ended_ = false;
    bool cancelling_ = false;
    std::optional<engine::ServerCertificate> untrusted_;
};

// Runs the progress dialog modally on the job (the direct transfer and the Transfer page). A run
// that stops at an untrusted server certificate asks whether to trust it (`askToTrust`, the
// trust dialog by default) and, when trusted, sets the job's fingerprint and runs again.
using TrustQuestion = std::function<bool(const engine::ServerCertificate&, const std::string& server)>;
void RunTransferProgress(job::TransferJob& job, std::int32_t* transferStatus, QWidget* parent,
                         ConnectorFactory makeClient = {}, TrustQuestion askToTrust = {});

}  // namespace bxfr::dialogs
