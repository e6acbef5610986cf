#pragma once

// The server's account dialogs: Server Advanced Settings (port, proxy, passive mode, simultaneous
// transfers) and the password prompt.

#include <QDialog>

#include "job/transfer_job.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace bxfr::dialogs {

// "Brindle FTP - Server Advanced Settings": the server port, the proxy (HTTP CONNECT or SOCKS5),
// passive mode (not for SFTP), the simultaneous transfers and the speed limit. Only OK changes the job, and
// then all at once.
class ServerAdvancedDialog : public QDialog {
    Q_OBJECT
public:
    ServerAdvancedDialog(job::TransferJob& job, QWidget* parent = nullptr);

    void accept() override;

private:
    job::TransferJob& job_;
    QLineEdit* port_;
    QLineEdit* proxyAddress_;
    QLineEdit* proxyPort_;
    QComboBox* proxyKind_;
    QSpinBox* limit_;
    QCheckBox* passive_;
    QSpinBox* connections_;
};

// Runs the dialog modally on the job; true when it was closed with OK.
bool RunServerAdvanced(job::TransferJob& job, QWidget* parent);

// "Brindle FTP - Enter Password": asks for the account's password, or with a key file for the
// key's passphrase; only OK stores it.
class PasswordPrompt : public QDialog {
    Q_OBJECT
public:
    PasswordPrompt(job::TransferJob& job, QWidget* parent = nullptr);

    void accept() override;

private:
    job::TransferJob& job_;
    QLineEdit* password_;
};

// Runs the prompt modally; false when the user cancelled it.
bool RunPasswordPrompt(job::TransferJob& job, QWidget* parent);

}  // namespace bxfr::dialogs
