#pragma once

// The preview of a run: its plan in a list, deletions apart, with Run and Cancel.

#include <QDialog>

#include "dialogs/remote_pickers.h"
#include "dialogs/tran_prog.h"
#include "job/transfer_job.h"
#include "job/transfer_plan.h"

class QTreeWidget;

namespace bxfr::dialogs {

// "Brindle FTP - Preview": what the run will send or get and why, what it skips, and apart
// from those what it deletes. Run accepts, Cancel rejects.
class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreviewDialog(const job::TransferPlan& plan, QWidget* parent = nullptr);

private:
    QTreeWidget* changes_;
    QTreeWidget* deletions_;
};

// Works out the run's plan with a dry run behind the progress dialog (a certificate trusted on
// the way is kept in the job), shows it, and says whether to run. Deletions the guard would
// refuse are asked about once more; a yes sets the job's allowMassDelete.
bool PreviewTransfer(job::TransferJob& job, QWidget* parent, ConnectorFactory makeClient = {},
                     TrustQuestion askToTrust = {});

}  // namespace bxfr::dialogs
