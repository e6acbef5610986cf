// The Server Details page: the server, its security, the account or key file, the recent servers,
// and their checks.

#include "wizard/server_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "dialogs/server_advanced_dialog.h"
#include "job/password_crypto.h"
#include "job/server_address.h"
#include "job/text_encoding.h"
#include "prefs/mru_lists.h"

namespace bxfr::wizard {
namespace {

QString Shown(const std::string& bytes) { return QString::fromStdString(job::DisplayText(bytes)); }

// The bytes behind the field: those it was filled with while it still shows them, else the text
// as typed.
std::string FieldBytes(const QLineEdit* edit, const std::string& shown) {
    return edit->text() == Shown(shown) ? shown : edit->text().toStdString();
}

}  // namespace

WizServer::WizServer(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Server Details"), "server.htm", false, parent) {
    setObjectName("WizServer");
    auto* addressText = new QLabel(
        tr("Enter the address of the server. This can be a host name (for example ftp.example.com), an IP "
           "address (for example 192.0.2.10) or an address such as sftp://user@host:2222."),
        this);
    addressText->setWordWrap(true);
    server_ = new QComboBox(this);
    server_->setObjectName("serverBox");
    server_->setEditable(true);
    server_->setInsertPolicy(QComboBox::NoInsert);
    server_->setDuplicatesEnabled(true);
    auto* serverLabel = new QLabel(tr("&Server:"), this);
    serverLabel->setBuddy(server_);
    port_ = new QLineEdit(this);
    port_->setObjectName("portEdit");
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), port_));
    port_->setMaximumWidth(port_->fontMetrics().horizontalAdvance("655350") + port_->fontMetrics().height());
    auto* portLabel = new QLabel(tr("Po&rt:"), this);
    portLabel->setBuddy(port_);
    security_ = new QComboBox(this);
    security_->setObjectName("securityBox");
    security_->addItem(tr("FTP over TLS, explicit (port 21): encrypted"),
                       static_cast<int>(job::Protocol::Ftpes));
    security_->addItem(tr("FTP over TLS, implicit (port 990): encrypted"),
                       static_cast<int>(job::Protocol::Ftps));
    security_->addItem(tr("SFTP (SSH, port 22): encrypted"), static_cast<int>(job::Protocol::Sftp));
    security_->addItem(tr("Plain FTP: password and files in clear"), static_cast<int>(job::Protocol::Ftp));
    auto* securityLabel = new QLabel(tr("Connection se&curity:"), this);
    securityLabel->setBuddy(security_);
    securityNote_ = new QLabel(tr("Anyone on the way can read the password and the files."), this);
    securityNote_->setObjectName("securityNote");
    securityNote_->setStyleSheet("color: #b00020;");
    problem_ = new QLabel(this);
    problem_->setObjectName("problem");
    problem_->setStyleSheet("color: #b00020;");
    problem_->setWordWrap(true);
    problem_->hide();

    accountText_ = new QLabel(this);
    accountText_->setWordWrap(true);
    anonymous_ = new QRadioButton(tr("&Anonymous access (no username or password required)"), this);
    anonymous_->setObjectName("anonymousRadio");
    account_ = new QRadioButton(tr("&Enter account details:"), this);
    account_->setObjectName("accountRadio");
    userName_ = new QLineEdit(this);
    userName_->setObjectName("userNameEdit");
    userLabel_ = new QLabel(tr("&Username:"), this);
    userLabel_->setBuddy(userName_);
    keyFile_ = new QLineEdit(this);
    keyFile_->setObjectName("keyFileEdit");
    keyFileLabel_ = new QLabel(tr("Private &key file:"), this);
    keyFileLabel_->setBuddy(keyFile_);
    keyFileBrowse_ = new QPushButton(tr("&Browse..."), this);
    keyFileBrowse_->setObjectName("keyFileBrowse");
    password_ = new QLineEdit(this);
    password_->setObjectName("passwordEdit");
    password_->setEchoMode(QLineEdit::Password);
    passwordLabel_ = new QLabel(tr("&Password:"), this);
    passwordLabel_->setObjectName("passwordLabel");
    passwordLabel_->setBuddy(password_);
    savePassword_ = new QCheckBox(tr("Sa&ve encrypted password in Brindle FTP Transfer file (*.BXT)"), this);
    savePassword_->setObjectName("savePasswordBox");
    advanced_ = new QPushButton(tr("&Advanced ..."), this);
    advanced_->setObjectName("advancedButton");

    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(serverLabel);
    serverRow->addWidget(server_, 1);
    serverRow->addWidget(portLabel);
    serverRow->addWidget(port_);
    auto* securityRow = new QHBoxLayout;
    securityRow->addWidget(securityLabel);
    securityRow->addWidget(security_, 1);
    auto* account = new QGridLayout;
    account->setColumnMinimumWidth(0, anonymous_->sizeHint().height());
    account->addWidget(userLabel_, 0, 1);
    account->addWidget(userName_, 0, 2);
    auto* keyFileRow = new QHBoxLayout;
    keyFileRow->addWidget(keyFile_, 1);
    keyFileRow->addWidget(keyFileBrowse_);
    account->addWidget(keyFileLabel_, 1, 1);
    account->addLayout(keyFileRow, 1, 2);
    account->addWidget(passwordLabel_, 2, 1);
    account->addWidget(password_, 2, 2);
    account->addWidget(savePassword_, 3, 1, 1, 2);
    account->setColumnStretch(2, 1);
    auto* advancedRow = new QHBoxLayout;
    advancedRow->addStretch(1);
    advancedRow->addWidget(advanced_);

    Body()->addWidget(addressText);
    Body()->addLayout(serverRow);
    Body()->addWidget(problem_);
    Body()->addLayout(securityRow);
    Body()->addWidget(securityNote_);
    Body()->addSpacing(anonymous_->sizeHint().height() / 2);
    Body()->addWidget(accountText_);
    Body()->addWidget(anonymous_);
    Body()->addWidget(account_);
    Body()->addLayout(account);
    Body()->addLayout(advancedRow);

    connect(anonymous_, &QRadioButton::clicked, this, &WizServer::AnonymousState);
    connect(account_, &QRadioButton::clicked, this, &WizServer::AccountState);
    connect(server_, &QComboBox::activated, this, &WizServer::OnServerChosen);
    connect(server_, &QComboBox::editTextChanged, this, [this] { problem_->hide(); });
    connect(server_->lineEdit(), &QLineEdit::editingFinished, this, [this] { ReadAddress(); });
    connect(port_, &QLineEdit::textEdited, this, [this] { problem_->hide(); });
    connect(advanced_, &QPushButton::clicked, this, &WizServer::OpenAdvanced);
    connect(security_, &QComboBox::activated, this, &WizServer::OnSecurityChosen);
    connect(keyFile_, &QLineEdit::textChanged, this, &WizServer::UpdatePasswordLabel);
    connect(keyFileBrowse_, &QPushButton::clicked, this, &WizServer::BrowseKeyFile);

    AnonymousState();
    ShowProtocol();
}

void WizServer::AnonymousState() {
    anonymous_->setChecked(true);
    account_->setChecked(false);
    for (QWidget* w :
         std::initializer_list<QWidget*>{userLabel_, userName_, passwordLabel_, password_, savePassword_})
        w->setEnabled(false);
}

void WizServer::AccountState() {
    account_->setChecked(true);
    anonymous_->setChecked(false);
    for (QWidget* w :
         std::initializer_list<QWidget*>{userLabel_, userName_, passwordLabel_, password_, savePassword_})
        w->setEnabled(true);
}

void WizServer::ChooseAccountState() {
    if (userName_->text().isEmpty() && !SftpChosen()) {
        AnonymousState();
    } else {
        AccountState();
    }
}

bool WizServer::SftpChosen() const {
    return security_->currentData().toInt() == static_cast<int>(job::Protocol::Sftp);
}

void WizServer::ShowProtocol() {
    const bool sftp = SftpChosen();
    securityNote_->setVisible(security_->currentData().toInt() == static_cast<int>(job::Protocol::Ftp));
    for (QWidget* w : std::initializer_list<QWidget*>{keyFileLabel_, keyFile_, keyFileBrowse_})
        w->setVisible(sftp);
    // SSH servers have no anonymous login; a lone "account" choice would be no choice at all.
    anonymous_->setVisible(!sftp);
    account_->setVisible(!sftp);
    if (sftp) AccountState();
    accountText_->setText(
        sftp ? tr("Enter the user name of your account and its password, or choose the private "
                  "key file you log in with and enter the key's passphrase (empty for a key "
                  "without one).")
             : tr("Choose anonymous access for a public server, or enter the user name and "
                  "password of your account."));
    UpdatePasswordLabel();
}

void WizServer::UpdatePasswordLabel() {
    const bool passphrase = SftpChosen() && !keyFile_->text().trimmed().isEmpty();
    passwordLabel_->setText(passphrase ? tr("&Passphrase:") : tr("&Password:"));
    savePassword_->setText(passphrase ? tr("Sa&ve encrypted passphrase in Brindle FTP Transfer file (*.BXT)")
                                      : tr("Sa&ve encrypted password in Brindle FTP Transfer file (*.BXT)"));
}

void WizServer::BrowseKeyFile() {
    const QString current = keyFile_->text().trimmed();
    const QString start = current.isEmpty() ? QDir::home().filePath(".ssh") : current;
    const QString chosen =
        QFileDialog::getOpenFileName(this, tr("Private Key File"), start, tr("All Files (*)"));
    if (!chosen.isEmpty()) keyFile_->setText(QDir::toNativeSeparators(chosen));
}

void WizServer::OnSetActive() {
    problem_->hide();
    if (Settings().serverMruEnabled) {
        m_arrServers.clear();
        m_arrUserNames.clear();
        m_arrPasswords.clear();
        server_->clear();
        for (int i = 0; i < prefs::kMruSize; ++i) {
            const prefs::ServerMruEntry entry = prefs::ReadServerMru(i);
            m_arrServers << QString::fromStdString(entry.server);
            m_arrUserNames.push_back(entry.userName);
            m_arrPasswords.push_back(entry.password);
            if (!entry.server.empty()) server_->addItem(m_arrServers[i], i);
        }
    }
    server_->setEditText(QString::fromStdString(Job().server));
    port_->setText(QString::number(Job().port));
    ShowAccount(Job().userName, Job().password);
    keyFile_->setText(QString::fromStdString(Job().keyFile));
    savePassword_->setChecked(Job().promptPassword != 1);
    security_->setCurrentIndex(security_->findData(static_cast<int>(Job().protocol)));
    ChooseAccountState();
    ShowProtocol();
    server_->setFocus();
}

void WizServer::OnSecurityChosen(int index) {
    const auto chosen = static_cast<job::Protocol>(security_->itemData(index).toInt());
    const auto typed = TypedPort();
    if (!typed || *typed == job::DefaultPort(Job().protocol))
        port_->setText(QString::number(job::DefaultPort(chosen)));
    if (const auto port = TypedPort()) Job().SetPort(*port);
    // A TLS certificate's fingerprint never matches an SSH host key, nor the other way round; and
    // plain FTP has nothing to check it against.
    if ((chosen == job::Protocol::Sftp) != (Job().protocol == job::Protocol::Sftp) ||
        chosen == job::Protocol::Ftp)
        Job().fingerprint.clear();
    Job().protocol = chosen;
    ShowProtocol();
}

bool WizServer::ReadAddress() {
    const std::string text = server_->currentText().trimmed().toStdString();
    const auto address = job::ParseServerAddress(text);
    if (!address) return false;
    if (address->host == text) return true;
    if (address->protocol) {
        const int index = security_->findData(static_cast<int>(*address->protocol));
        security_->setCurrentIndex(index);
        OnSecurityChosen(index);
        port_->setText(QString::number(job::DefaultPort(*address->protocol)));
    }
    if (address->port) port_->setText(QString::number(*address->port));
    if (!address->userName.empty()) {
        ShowAccount(address->userName, address->password.value_or(FieldBytes(password_, shownPassword_)));
        AccountState();
    }
    if (!address->path.empty()) Job().SetRemotePath(address->path);
    server_->setEditText(QString::fromStdString(address->host));
    return true;
}

std::optional<std::uint16_t> WizServer::TypedPort() const {
    bool ok = false;
    const uint number = port_->text().toUInt(&ok);
    if (!ok || number < 1 || number > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(number);
}

void WizServer::OnServerChosen(int index) {
    if (index < 0) return;
    const int k = server_->itemData(index).toInt();
    if (k < 0 || k >= m_arrServers.size()) return;
    ShowAccount(m_arrUserNames[static_cast<std::size_t>(k)], m_arrPasswords[static_cast<std::size_t>(k)]);
    ChooseAccountState();
    server_->setEditText(m_arrServers[k]);
}

void WizServer::ShowAccount(const std::string& userName, const std::string& password) {
    shownUserName_ = userName;
    shownPassword_ = password;
    userName_->setText(Shown(userName));
    password_->setText(Shown(password));
}

void WizServer::OpenAdvanced() {
    // The dialog edits the same port as the field beside the server.
    ReadAddress();
    if (const auto port = TypedPort()) Job().SetPort(*port);
    dialogs::RunServerAdvanced(Job(), this);
    port_->setText(QString::number(Job().port));
}

void WizServer::StoreFields(job::TransferJob& job) const {
    // Blanks around a typed address are never part of a host name.
    const std::string server = server_->currentText().trimmed().toStdString();
    // A certificate trusted for one server says nothing about another.
    if (server != job.server) job.fingerprint.clear();
    job.SetServer(server);
    job.protocol = static_cast<job::Protocol>(security_->currentData().toInt());
    if (const auto port = TypedPort()) job.SetPort(*port);
    job.keyFile = SftpChosen() ? keyFile_->text().trimmed().toStdString() : std::string();
    job.SetUserName(anonymous_->isChecked() ? std::string() : FieldBytes(userName_, shownUserName_));
    job.SetPassword(anonymous_->isChecked() ? std::string() : FieldBytes(password_, shownPassword_));
    job.promptPassword = savePassword_->isChecked() ? 0 : 1;
}

void WizServer::Store() {
    StoreFields(Job());
    const std::string& server = Job().server;
    if (!Settings().serverMruEnabled || server.empty()) return;
    // A key's passphrase is no password for the account: the list would offer it as one.
    prefs::AddServerMru(server, Job().userName, Job().keyFile.empty() ? Job().password : std::string());
    if (!Job().password.empty() && !job::IsCryptoAvailable() && !toldNoCipher_) {
        toldNoCipher_ = true;
        QMessageBox::warning(this, "Brindle FTP Wizard",
                             "Unable to access cryptographic service provider.\r\nThe password "
                             "is not kept in the list of recent servers, because it cannot be "
                             "encrypted.");
    }
}

bool WizServer::OnWizardNext() {
    if (server_->currentText().trimmed().isEmpty() || !ReadAddress()) {
        problem_->setText(server_->currentText().trimmed().isEmpty()
                              ? tr("Enter the server's host name or IP address.")
                              : tr("Enter a host name, or an address such as sftp://user@host:2222 "
                                   "(ftp, ftps, ftpes or sftp, with a port from 1 to 65535)."));
        problem_->show();
        QMessageBox::critical(this, "Brindle FTP", "Invalid Server Address");
        server_->setFocus();
        return false;
    }
    if (!TypedPort()) {
        problem_->setText(tr("Enter a port number from 1 to 65535."));
        problem_->show();
        port_->setFocus();
        return false;
    }
    if (SftpChosen() && userName_->text().isEmpty()) {
        QMessageBox::critical(this, "Brindle FTP",
                              tr("Enter the user name of your account: SFTP has no anonymous access."));
        userName_->setFocus();
        return false;
    }
    Store();
    return true;
}

bool WizServer::OnWizardBack() {
    if (!(Job() == Baseline()) &&
        QMessageBox::question(this, "Brindle FTP",
                              "Some settings have been changed. Are you sure that you want to go back?",
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
        return false;
    }
    Store();
    return true;
}

}  // namespace bxfr::wizard
