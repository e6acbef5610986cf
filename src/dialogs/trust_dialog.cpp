// The question whether to trust a server certificate or SSH host key the connection refused.

#include "dialogs/trust_dialog.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>

#include "progress/trust_text.h"

namespace bxfr::dialogs {

TrustDialog::TrustDialog(const engine::ServerCertificate& certificate, const QString& server, QWidget* parent)
    : QDialog(parent) {
    const bool replaced = !certificate.pinned.empty();
    const bool hostKey = certificate.IsHostKey();
    const QString name = server.toHtmlEscaped();
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
    layout->addLayout(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 80);
    cancel_->setFocus();
}

QString TrustDialog::Heading() const { return heading_->text(); }
QString TrustDialog::Reason() const { return reason_->text(); }
QString TrustDialog::Details() const { return details_->toPlainText(); }

bool AskToTrust(const engine::ServerCertificate& certificate, const QString& server, QWidget* parent) {
    TrustDialog dialog(certificate, server, parent);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace bxfr::dialogs
