#pragma once

#include <QStringList>

#include "wizard/wiz_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace bxfr::wizard {

// "Server Details": the address, anonymous access or an account, and whether the password
// may be stored in the transfer file. Offers the recent servers when the user enabled them.
class WizServer : public WizPage {
    Q_OBJECT
public:
    explicit WizServer(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;
    bool OnWizardNext() override;
    bool OnWizardBack() override;

private:
    void AnonymousState();
    void AccountState();
    void OnServerChosen(int index);
    void OpenAdvanced();
    void Store();

    QStringList m_arrServers;
    QStringList m_arrUserNames;
    QStringList m_arrPasswords;

    QComboBox* server_;
    QRadioButton* anonymous_;
    QRadioButton* account_;
    QLabel* userLabel_;
    QLineEdit* userName_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QCheckBox* savePassword_;
    QPushButton* advanced_;
    QLabel* problem_;
};

}  // namespace bxfr::wizard
