#pragma once

// The advanced settings' Permissions (chmod) tab: the job's permission rules and their buttons.

#include <QWidget>

#include "job/transfer_job.h"

class QPushButton;
class QTreeWidget;

namespace bxfr::dialogs {

// "Permissions (chmod)": the job's permission rules, one row each, sorted by pattern.
// The rows are only a view, matched back to rules by their texts.
class PropChmod : public QWidget {
    Q_OBJECT
public:
    PropChmod(job::TransferJob* job, QWidget* parent = nullptr);

    void Activate();

    int m_nSelectedCount = 0;

private:
    void FillList();
    void UpdateButtons();
    void Add();
    void Edit();
    void Remove();
    std::list<job::tagBXFR_CHMOD>::iterator FindRule(int row);

    job::TransferJob* m_pJob;
    QTreeWidget* list_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* remove_;
};

}  // namespace bxfr::dialogs
