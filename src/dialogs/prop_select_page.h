#pragma once

// The advanced settings' Select Files tab: all files, or the listed extensions left out or kept.

#include <QWidget>

#include "job/transfer_job.h"

class QListWidget;
class QPushButton;
class QRadioButton;

namespace bxfr::dialogs {

// "Select Files": all files, all but the listed extensions, or only the listed ones.
// Every change goes into the job at once; the list box is only a view of selectRules.
class PropSelect : public QWidget {
    Q_OBJECT
public:
    PropSelect(job::TransferJob* job, QWidget* parent = nullptr);

    void Activate();

    int m_nSelectedCount = 0;

private:
    void ApplyMode(int mode);
    void FillList();
    void UpdateButtons();
    void Add();
    void Edit();
    void Remove();
    QStringList SelectedTexts() const;

    job::TransferJob* m_pJob;
    QRadioButton* all_;
    QRadioButton* exclude_;
    QRadioButton* include_;
    QListWidget* list_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* remove_;
};

}  // namespace bxfr::dialogs
