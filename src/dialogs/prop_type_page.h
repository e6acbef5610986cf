#pragma once

// The advanced settings' Transfer Type tab: binary or text chosen per file, or forced for all.

#include <QWidget>

#include "job/transfer_job.h"

class QRadioButton;

namespace bxfr::dialogs {

// "Transfer Type": per file, always binary or always text. Writes the job at every click.
class PropBinAscii : public QWidget {
    Q_OBJECT
public:
    PropBinAscii(job::TransferJob* job, QWidget* parent = nullptr);

    // Rebuilds the page from the job; a type other than 1 or 2 becomes 0.
    void Activate();

private:
    void Choose(int type);

    job::TransferJob* m_pJob;
    QRadioButton* automatic_;
    QRadioButton* binary_;
    QRadioButton* text_;
};

}  // namespace bxfr::dialogs
