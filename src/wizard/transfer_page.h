#pragma once

// The Transfer page: the transfer file, the log and the last options, then the run.

#include "wizard/wiz_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace bxfr::wizard {

// "Transfer": the last options, then Next saves the transfer file and runs the transfer
// behind the progress dialog.
class WizTransfer : public WizPage {
    Q_OBJECT
public:
    explicit WizTransfer(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;
    bool OnWizardNext() override;
    bool OnWizardBack() override;

private:
    void UpdateTransferFileControls();
    void UpdateLogControls();
    void PickTransferFile();
    void PickLogFile();
    void Store();
    bool CheckFields();
    bool Save();
    void UpdateDeleteWarning();

    QCheckBox* saveTransferFile_;
    QLineEdit* transferFile_;
    QPushButton* transferFilePick_;
    QLabel* transferFileProblem_;
    QCheckBox* autoTransfer_;
    QCheckBox* saveLog_;
    QLineEdit* logFile_;
    QPushButton* logFilePick_;
    QLabel* logFileProblem_;
    QCheckBox* ignoreErrors_;
    QCheckBox* verbose_;
    QCheckBox* checkUpgrade_;
    QCheckBox* sync_;
    QCheckBox* deleteMissing_;
    QLabel* deleteWarning_;
    QCheckBox* preview_;
};

// Shows the run's plan through the context's hook or the preview dialog; true to run.
bool PreviewBeforeRun(const WizardContext& context, job::TransferJob& job, QWidget* parent);
// Runs the job behind the progress dialog (or the context's runner) and clears what the run used up.
void RunFromWizard(const WizardContext& context, job::TransferJob& job);

}  // namespace bxfr::wizard
