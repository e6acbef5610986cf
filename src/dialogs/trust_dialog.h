#pragma once

// The question whether to trust a server certificate or SSH host key the connection refused.

#include <QDialog>
#include <QString>

#include "engine/connection.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace bxfr::dialogs {

// "Brindle FTP - Server Certificate" (or "- Server Host Key" for SFTP): shows a certificate the
// connection refused (subject, issuer, dates, fingerprint and why it is not trusted) or an SSH
// host key (type and fingerprint) and offers to trust it for this transfer, and a new host key
// also in ~/.ssh/known_hosts. One that replaced the trusted one is an attack as often as not:
// the trust button then waits for the user to confirm the replacement, and Cancel stays the
// default.
class TrustDialog : public QDialog {
    Q_OBJECT
public:
    TrustDialog(const engine::ServerCertificate& certificate, const QString& server,
                QWidget* parent = nullptr);

    QPushButton* TrustButton() const { return trust_; }
    QPushButton* CancelButton() const { return cancel_; }
    // Only for a replaced certificate or host key; null otherwise.
    QCheckBox* ConfirmBox() const { return confirm_; }
    // Only for a host key that is not known at all; null otherwise.
    QCheckBox* KnownHostsBox() const { return knownHosts_; }
    QString Heading() const;
    QString Reason() const;
    QString Details() const;

    void accept() override;

private:
    engine::ServerCertificate certificate_;
    QLabel* heading_;
    QLabel* reason_;
    QPlainTextEdit* details_;
    QCheckBox* confirm_ = nullptr;
    QCheckBox* knownHosts_ = nullptr;
    QPushButton* trust_;
    QPushButton* cancel_;
};

// Asks; true when the user trusts the certificate or host key.
bool AskToTrust(const engine::ServerCertificate& certificate, const QString& server, QWidget* parent);

}  // namespace bxfr::dialogs
