#pragma once

// The Server Details page: the server, its security, the account, and the recent servers.

#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wizard/wiz_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace bxfr::wizard {

// "Server Details": the address and port, the connection security, anonymous access or an
// account (for SFTP always an account, with a private key file if the user has one), and whether
// the password may be stored in the transfer file. An address pasted as a URL
// ("sftp://ann@host:2222") fills the fields it names. Offers the recent servers when the user
// enabled them.
class WizServer : public WizPage {
    Q_OBJECT
public:
    explicit WizServer(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;
    bool OnWizardNext() override;
    bool OnWizardBack() override;
    void StoreFields(job::TransferJob& job) const override;

private:
    void AnonymousState();
    void AccountState();
    // Anonymous for an empty user name, except over SFTP, which has no anonymous access.
    void ChooseAccountState();
    bool SftpChosen() const;
    // Shows what applies to the chosen protocol: the key file row and SFTP's account rules.
    void ShowProtocol();
    // "Passphrase" once a key file is given: the secret then unlocks the key.
    void UpdatePasswordLabel();
    void BrowseKeyFile();
    void OnServerChosen(int index);
    void OpenAdvanced();
    // The port follows the choice while it is the default of the one before.
    void OnSecurityChosen(int index);
    // Splits an address typed as a URL or "host:port" into the fields; false when the text is
    // no address this page can read.
    bool ReadAddress();
    // The port field's number; nothing unless it is 1 to 65535.
    std::optional<std::uint16_t> TypedPort() const;
    void Store();
    // Fills the account fields, keeping the bytes behind them: a user name or password read from
    // a file written on Windows reaches the server unchanged unless the user edits it.
    void ShowAccount(const std::string& userName, const std::string& password);

    QStringList m_arrServers;
    std::vector<std::string> m_arrUserNames;
    std::vector<std::string> m_arrPasswords;
    std::string shownUserName_;
    std::string shownPassword_;
    bool toldNoCipher_ = false;

    QComboBox* server_;
    QLineEdit* port_;
    QComboBox* security_;
    QLabel* securityNote_;
    QLabel* accountText_;
    QRadioButton* anonymous_;
    QRadioButton* account_;
    QLabel* userLabel_;
    QLineEdit* userName_;
    QLabel* keyFileLabel_;
    QLineEdit* keyFile_;
    QPushButton* keyFileBrowse_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QCheckBox* savePassword_;
    QPushButton* advanced_;
    QLabel* problem_;
};

}  // namespace bxfr::wizard
