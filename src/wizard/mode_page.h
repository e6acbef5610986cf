#pragma once

// The Transfer Mode page: send or get, archive mode, and the advanced settings.

#include "wizard/wiz_page.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace bxfr::wizard {

// "Transfer Mode": send or get, archive mode, and the advanced settings sheet. Its Next puts
// the page of the transfer's source first in the places behind it.
class WizMode : public WizPage {
    Q_OBJECT
public:
    explicit WizMode(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;
    bool OnWizardNext() override;
    bool OnWizardBack() override;
    void StoreFields(job::TransferJob& job) const override;

private:
    void SendState();
    void GetState();
    void OpenAdvanced();

    QRadioButton* send_;
    QCheckBox* archive_;
    QLabel* archiveText_;
    QRadioButton* get_;
    QPushButton* advanced_;
};

}  // namespace bxfr::wizard
