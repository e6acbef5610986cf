// The question whether to trust a server certificate or SSH host key the connection refused.

#include "dialogs/trust_dialog.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>

#include "progress/trust_text.h"

namespace bxfr::dialogs {

namespace {

// The server as OpenSSH names it in known_hosts: "[host]:port" unless on port 22.
QString KnownHostName(const engine::ServerCertificate& key) {
    const QString host = QString::fromStdString(key.host);
    return key.port == 22 ? host : QString("[%1]:%2").arg(host).arg(key.port);
}

// "host:port", or for an SSH host key the name known_hosts gives it.
QString ServerName(const engine::ServerCertificate& certificate, const QString& server) {
    if (certificate.host.empty() || certificate.port == 0) return server;
    if (certificate.IsHostKey()) return KnownHostName(certificate);
    const QString host = QString::fromStdString(certificate.host);
    return (host.contains(':') ? QString("[%1]").arg(host) : host) + ':' + QString::number(certificate.port);
}

// Appends "NAME TYPE BASE64" to ~/.ssh/known_hosts, making the folder if need be.
bool AddToKnownHosts(const engine::ServerCertificate& key, QString& problem) {
    const QString folder = QDir::home().filePath(".ssh");
    if (!QDir().mkpath(folder)) {
        problem = QObject::tr("%1 cannot be created.").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile file(QDir(folder).filePath("known_hosts"));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        problem = file.fileName() + ": " + file.errorString();
        return false;
    }
    // A last line without its line end would run into ours.
    QByteArray line;
    if (file.size() > 0 && file.seek(file.size() - 1) && file.read(1) != "\n") line += '\n';
    line += KnownHostName(key).toUtf8() + ' ' + QByteArray::fromStdString(key.keyType) + ' ' +
            QByteArray::fromStdString(key.keyBase64) + '\n';
    if (file.write(line) != line.size() || !file.flush()) {
        problem = file.fileName() + ": " + file.errorString();
        return false;
    }
    return true;
}

}  // namespace

TrustDialog::TrustDialog(const engine::ServerCertificate& certificate, const QString& server, QWidget* parent)
    : QDialog(parent), certificate_(certificate) {
    const bool replaced = !certificate.pinned.empty();
    const bool hostKey = certificate.IsHostKey();
    const QString name = ServerName(certificate, server).toHtmlEscaped();
    setWindowTitle(hostKey ? tr("Brindle FTP - Server Host Key") : tr("Brindle FTP - Server Certificate"));
    QString heading;
    if (hostKey) {
        heading =
            replaced ? tr("Warning: the host key of %1 has changed") : tr("The host key of %1 is not known");
    } else {
        heading = replaced ? tr("Warning: the certificate of %1 has changed")
                           : tr("The certificate of %1 is not trusted");
    }
    heading_ = new QLabel("<b>" + heading.arg(name) + "</b>", this);
    reason_ = new QLabel(QString::fromStdString(progress::WhyNotTrusted(certificate)), this);
    reason_->setWordWrap(true);
    details_ = new QPlainTextEdit(QString::fromStdString(progress::CertificateDetails(certificate)), this);
    details_->setReadOnly(true);
    details_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    details_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The whole fingerprint in view: it is what the user compares, character by character.
    const QStringList lines = details_->toPlainText().split('\n', Qt::SkipEmptyParts);
    const QFontMetrics metrics(details_->font());
    int widest = 0;
    for (const QString& line : lines) widest = std::max(widest, metrics.horizontalAdvance(line));
    const int frame = 2 * (details_->frameWidth() + static_cast<int>(details_->document()->documentMargin()));
    const int scrollBar = details_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    details_->setMinimumWidth(widest + frame + scrollBar + 2 * metrics.averageCharWidth());
    details_->setFixedHeight((static_cast<int>(lines.size()) + 1) * metrics.lineSpacing() + frame);
    auto* advice = new QLabel(this);
    advice->setWordWrap(true);
    trust_ = new QPushButton(this);
    cancel_ = new QPushButton(tr("Cancel"), this);
    if (replaced) {
        advice->setText(
            hostKey ? tr("Nothing has been sent to the server, not even the password. Cancel, and ask "
                         "the server's administrator whether the host key was replaced and what its "
                         "new fingerprint is.")
                    : tr("Nothing has been sent to the server, not even the password. Cancel, and ask "
                         "the server's administrator whether the certificate was replaced and what "
                         "its new fingerprint is."));
        confirm_ = new QCheckBox(tr("The administrator confirmed the &new fingerprint shown above"), this);
        trust_->setText(hostKey ? tr("Trust the new host key") : tr("Trust the new certificate"));
        trust_->setEnabled(false);
        connect(confirm_, &QCheckBox::toggled, trust_, &QPushButton::setEnabled);
    } else {
        advice->setText(hostKey
                            ? tr("Nothing has been sent to the server yet, not even the password. Trust the "
                                 "host key only if the fingerprint is the one the server's administrator "
                                 "gives you. It is then kept with this transfer and saved in its transfer "
                                 "file.")
                            : tr("Nothing has been sent to the server yet, not even the password. Trust the "
                                 "certificate only if the fingerprint is the one the server's administrator "
                                 "gives you. It is then kept with this transfer and saved in its transfer "
                                 "file."));
        trust_->setText(tr("&Trust for this transfer"));
        if (hostKey && !certificate.keyBase64.empty() && !certificate.host.empty()) {
            knownHosts_ = new QCheckBox(
                tr("Also add it to ~/.ssh/&known_hosts, for every program that uses SSH"), this);
            knownHosts_->setObjectName("knownHostsBox");
        }
    }
    trust_->setAutoDefault(false);
    cancel_->setDefault(true);
    connect(trust_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(trust_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading_);
    layout->addWidget(reason_);
    layout->addWidget(details_);
    layout->addWidget(advice);
    if (confirm_) layout->addWidget(confirm_);
    if (knownHosts_) layout->addWidget(knownHosts_);
    layout->addLayout(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 80);
    cancel_->setFocus();
}

void TrustDialog::accept() {
    QString problem;
    if (knownHosts_ && knownHosts_->isChecked() && !AddToKnownHosts(certificate_, problem)) {
        QMessageBox::warning(this, "Brindle FTP",
                             tr("The host key could not be added to known_hosts. It is trusted for this "
                                "transfer only.\n\n%1")
                                 .arg(problem));
    }
    QDialog::accept();
}

QString TrustDialog::Heading() const { return heading_->text(); }
QString TrustDialog::Reason() const { return reason_->text(); }
QString TrustDialog::Details() const { return details_->toPlainText(); }

bool AskToTrust(const engine::ServerCertificate& certificate, const QString& server, QWidget* parent) {
    TrustDialog dialog(certificate, server, parent);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace bxfr::dialogs
