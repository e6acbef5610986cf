#pragma once

// The Transfer Advanced Settings sheet: its tabs edit a copy of the job, kept only on OK.

#include <QDialog>

#include "job/transfer_job.h"

class QTabWidget;

namespace bxfr::dialogs {

class PropBinAscii;
class PropSelect;
class PropChmod;
class PropScript;

// "Brindle FTP - Transfer Advanced Settings": transfer type, file selection, permissions
// (when sending) and scripts, all on a private copy of the job. Nothing reaches the caller's
// job unless the whole sheet is confirmed.
class AdvancedSettingsSheet : public QDialog {
    Q_OBJECT
public:
    AdvancedSettingsSheet(const job::TransferJob& job, bool sendMode, QWidget* parent = nullptr);

    const job::TransferJob& Copy() const { return copy_; }
    QTabWidget* Tabs() const { return tabs_; }

private:
    void ActivatePage(int index);

    job::TransferJob copy_;
    QTabWidget* tabs_;
    PropBinAscii* type_;
    PropSelect* select_;
    PropChmod* chmod_ = nullptr;
    PropScript* script_;
};

// Runs the sheet; on OK the job's settings are replaced by the edited copy. True on OK.
bool EditAdvancedSettings(job::TransferJob& job, bool sendMode, QWidget* parent);

}  // namespace bxfr::dialogs
