#pragma once

// The wizard's first two pages: Welcome, and Open Previous Transfer.

#include <QString>

#include "wizard/wiz_page.h"

class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace bxfr::wizard {

// "Welcome to the Brindle FTP Wizard": what the wizard does, the version, About and Settings.
class WizWelcome : public WizPage {
    Q_OBJECT
public:
    explicit WizWelcome(const WizardContext& context, QWidget* parent = nullptr);

    // Asks once per start whether to keep warning that passwords cannot be encrypted;
    // `available` is the crypto library's answer.
    void WarnIfNoCrypto(bool available);
    QString VersionLine() const;

private:
    QLabel* version_;
};

// "Open Previous Transfer": a new transfer, or one loaded from a transfer file.
class WizLoad : public WizPage {
    Q_OBJECT
public:
    explicit WizLoad(const WizardContext& context, QWidget* parent = nullptr);

    // The file named on the command line: shown, with "Load Previous Transfer" chosen.
    void SetTransferFile(const QString& path);
    QString TransferFile() const;
    bool NewTransfer() const;

    void OnSetActive() override;
    bool OnWizardNext() override;

private:
    void SetNewTransfer(bool fresh);
    void Browse();

    QRadioButton* new_;
    QRadioButton* load_;
    QComboBox* file_;
    QPushButton* browse_;
};

}  // namespace bxfr::wizard
