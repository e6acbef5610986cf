#pragma once

// The Completing page: how the run ended, the upgrade notice and the log.

#include <QTimer>

#include "wizard/wiz_page.h"

class QLabel;
class QPushButton;

namespace bxfr::wizard {

// "Completing the Brindle FTP Wizard": the outcome of the run, the update notice and the log.
class WizFinal : public WizPage {
    Q_OBJECT
public:
    explicit WizFinal(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;
    // Everything is done by now; closing never asks.
    bool OnQueryCancel() override { return true; }

    static QString StatusText(std::int32_t transferStatus);

private:
    void ViewLog();
    void PreviewAndRun();
    void TellIfInBackground();

    QLabel* status_;
    QLabel* updateText_;
    QLabel* downloadLink_;
    QPushButton* viewLog_;
    QPushButton* preview_;
    QTimer flash_;
};

}  // namespace bxfr::wizard
