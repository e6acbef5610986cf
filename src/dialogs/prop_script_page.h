#pragma once

// The advanced settings' Transfer Script tab: the connect, per-file and disconnect commands.

#include <QString>
#include <QWidget>

#include "job/transfer_job.h"

class QPushButton;
class QTreeWidget;

namespace bxfr::dialogs {

// "Transfer Script": the connect, per-file and disconnect commands in one list, grouped by
// type and numbered within it. Ids stay 1, 2, 3 ... in list order after every change.
class PropScript : public QWidget {
    Q_OBJECT
public:
    PropScript(job::TransferJob* job, QWidget* parent = nullptr);

    void Activate();

    int m_nSelectedCount = 0;
    QString m_strSelectedType;
    int m_nLastConnId = 0;
    int m_nLastTranId = 0;
    int m_nLastDiscId = 0;

private:
    void FillList();
    void UpdateButtons();
    void Add();
    void Edit();
    void Remove();
    void MoveCommand(bool up);
    std::list<job::tagBXFR_SCRIPT>* ListOf(const QString& type);
    int LastIdOf(const QString& type) const;
    void KeepCounters();

    job::TransferJob* m_pJob;
    QTreeWidget* list_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* remove_;
    QPushButton* up_;
    QPushButton* down_;
};

}  // namespace bxfr::dialogs
