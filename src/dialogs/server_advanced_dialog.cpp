// The server's account dialogs: Server Advanced Settings with its checks, and the password prompt.

#include "dialogs/server_advanced_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdlib>

#include "job/server_address.h"
#include "job/text_encoding.h"

namespace bxfr::dialogs {

namespace {

QLabel* SectionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QFrame* Separator(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// An unsigned decimal number; false for anything else.
bool ReadNumber(const QLineEdit* field, unsigned long long& value) {
    const QString text = field->text().trimmed();
    if (text.isEmpty()) return false;
    for (QChar c : text)
        if (!c.isDigit()) return false;
    bool ok = false;
    value = text.toULongLong(&ok);
    return ok;
}

}  // namespace

ServerAdvancedDialog::ServerAdvancedDialog(job::TransferJob& job, QWidget* parent)
    : QDialog(parent), job_(job) {
    setObjectName("ServerAdvancedDialog");
    setWindowTitle("Brindle FTP - Server Advanced Settings");
    port_ = new QLineEdit(this);
    port_->setObjectName("port");
    proxyAddress_ = new QLineEdit(this);
    proxyAddress_->setObjectName("proxyAddress");
    proxyPort_ = new QLineEdit(this);
    proxyPort_->setObjectName("proxyPort");
    proxyKind_ = new QComboBox(this);
    proxyKind_->setObjectName("proxyKind");
    proxyKind_->addItems({tr("HTTP (CONNECT)"), tr("SOCKS5")});
    limit_ = new QSpinBox(this);
    limit_->setObjectName("speedLimit");
    limit_->setRange(0, 10'000'000);
    limit_->setSuffix(tr(" KiB/s"));
    limit_->setSpecialValueText(tr("No limit"));
    passive_ = new QCheckBox(tr("&Use passive mode"), this);
    passive_->setObjectName("passive");
    auto* activeNote =
        new QLabel(tr("Without passive mode the server connects back to this computer for "
                      "every listing and file, which NAT routers and firewalls usually "
                      "prevent. Turn it off only when the server's administrator asks you to."),
                   this);
    activeNote->setObjectName("activeNote");
    activeNote->setWordWrap(true);
    connections_ = new QSpinBox(this);
    connections_->setObjectName("connections");
    connections_->setRange(1, job::kMaxConnections);

    auto* serverForm = new QFormLayout;
    serverForm->addRow(tr("&Port:"), port_);
    auto* proxyForm = new QFormLayout;
    proxyForm->addRow(tr("&Kind:"), proxyKind_);
    proxyForm->addRow(tr("&Address:"), proxyAddress_);
    proxyForm->addRow(tr("P&ort:"), proxyPort_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    const bool sftp = job_.protocol == job::Protocol::Sftp;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(SectionLabel(sftp ? tr("SFTP Server Port:") : tr("FTP Server Port:"), this));
    layout->addLayout(serverForm);
    layout->addWidget(Separator(this));
    layout->addWidget(SectionLabel(sftp ? tr("Proxy Server:") : tr("FTP Proxy Server:"), this));
    layout->addLayout(proxyForm);
    auto* note = new QLabel(tr("The files and listings go through the proxy too. Through a SOCKS5 "
                               "proxy FTP always uses passive mode; the proxy looks up the server's name."),
                            this);
    note->setObjectName("proxyNote");
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(Separator(this));
    // SSH needs one connection and no data connections, so there is no passive mode to choose.
    if (sftp) {
        passive_->hide();
        activeNote->hide();
    } else {
        layout->addWidget(SectionLabel(tr("Passive Mode:"), this));
        layout->addWidget(passive_);
        layout->addWidget(activeNote);
        layout->addWidget(Separator(this));
    }
    auto* connectionsForm = new QFormLayout;
    connectionsForm->addRow(tr("&Simultaneous transfers:"), connections_);
    connectionsForm->addRow(tr("Speed &limit (all transfers together):"), limit_);
    layout->addLayout(connectionsForm);
    layout->addWidget(buttons);

    port_->setText(QString::number(job_.port));
    QString address;
    unsigned proxyPort = 0;
    if (const auto proxy = job::ParseProxyAddress(job_.proxy)) {
        address = QString::fromStdString(proxy->host);
        proxyPort = proxy->port;
        proxyKind_->setCurrentIndex(proxy->socks ? 1 : 0);
    } else if (!job_.proxy.empty()) {
        // Hand-written and incomplete: shown as far as it goes, for the user to finish.
        const QString proxy = QString::fromStdString(job_.proxy);
        const qsizetype colon = proxy.indexOf(':');
        address = colon < 0 ? proxy : proxy.left(colon);
        if (colon >= 0)
            proxyPort = static_cast<unsigned>(std::atoi(proxy.mid(colon + 1).toStdString().c_str()));
    }
    proxyAddress_->setText(address);
    proxyPort_->setText(QString::number(proxyPort));
    limit_->setValue(static_cast<int>(std::min<std::int64_t>(job_.speedLimit, limit_->maximum())));
    passive_->setChecked(job_.passive == 1);
    connections_->setValue(job_.connections);
    // Room for the whole title: a window manager cuts it to fit the window.
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
}

void ServerAdvancedDialog::accept() {
    const auto refuse = [this](QLineEdit* field, const QString& text) {
        QMessageBox::warning(this, "Brindle FTP", text);
        field->setFocus();
        field->selectAll();
    };
    unsigned long long port = 0, proxyPort = 0;
    for (auto [field, value] : {std::pair{port_, &port}, std::pair{proxyPort_, &proxyPort}}) {
        if (!ReadNumber(field, *value)) return refuse(field, tr("Please enter a positive whole number."));
    }
    // A port outside 1 to 65535 can never be connected to, so it is refused here and not later.
    const QString range = tr("Please enter a port number from 1 to 65535.");
    if (port == 0 || port > 65535) return refuse(port_, range);
    const QString address = proxyAddress_->text().trimmed();
    if (!address.isEmpty() && proxyPort > 65535) return refuse(proxyPort_, range);
    job_.SetPort(static_cast<std::uint16_t>(port));
    if (!address.isEmpty()) {
        std::string host = address.toStdString();
        if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
        job_.SetProxy((proxyKind_->currentIndex() == 1 ? "socks5://" : "") + host + ":" +
                      std::to_string(proxyPort));
    } else {
        job_.SetProxy("");
    }
    job_.passive = passive_->isChecked() ? 1 : 0;
    job_.connections = connections_->value();
    job_.speedLimit = limit_->value();
    QDialog::accept();
}

bool RunServerAdvanced(job::TransferJob& job, QWidget* parent) {
    ServerAdvancedDialog dialog(job, parent);
    return dialog.exec() == QDialog::Accepted;
}

PasswordPrompt::PasswordPrompt(job::TransferJob& job, QWidget* parent) : QDialog(parent), job_(job) {
    setObjectName("PasswordPrompt");
    // With a key file the password is the key's passphrase: the one secret asked for is named so.
    const bool passphrase = !job.keyFile.empty();
    setWindowTitle(passphrase ? "Brindle FTP - Enter Passphrase" : "Brindle FTP - Enter Password");
    auto* server = new QLineEdit(QString::fromStdString(job.server), this);
    server->setObjectName("server");
    auto* user = new QLineEdit(QString::fromStdString(job::DisplayText(job.userName)), this);
    user->setObjectName("user");
    auto* form = new QFormLayout;
    form->addRow(tr("Server:"), server);
    form->addRow(tr("Username:"), user);
    if (passphrase) {
        auto* keyFile = new QLineEdit(QString::fromStdString(job.keyFile), this);
        keyFile->setObjectName("keyFile");
        form->addRow(tr("Key file:"), keyFile);
    }
    for (auto* shown : findChildren<QLineEdit*>()) {
        shown->setReadOnly(true);
        shown->setFocusPolicy(Qt::NoFocus);
    }
    password_ = new QLineEdit(this);
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);
    form->addRow(passphrase ? tr("&Passphrase:") : tr("&Password:"), password_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(
        passphrase ? tr("Please enter the passphrase for key %1:").arg(QString::fromStdString(job.keyFile))
                   : tr("Please enter the password for this account:"),
        this);
    prompt->setObjectName("prompt");
    prompt->setTextFormat(Qt::PlainText);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    layout->addLayout(form);
    layout->addWidget(buttons);
    password_->setFocus();
    setMinimumWidth(fontMetrics().averageCharWidth() * 50);
}

void PasswordPrompt::accept() {
    job_.SetPassword(password_->text().toStdString());
    QDialog::accept();
}

bool RunPasswordPrompt(job::TransferJob& job, QWidget* parent) {
    PasswordPrompt prompt(job, parent);
    return prompt.exec() == QDialog::Accepted;
}

}  // namespace bxfr::dialogs
