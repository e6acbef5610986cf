// The Completing page: how the run ended, the upgrade notice, the log, and an alert when the
// wizard is in the background.

#include "wizard/final_page.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

#include "dialogs/hyperlink.h"
#include "wizard/transfer_page.h"

namespace bxfr::wizard {

WizFinal::WizFinal(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Completing the Brindle FTP Wizard"), "complete.htm", true, parent) {
    setObjectName("WizFinal");
    status_ = new QLabel(this);
    status_->setObjectName("statusText");
    status_->setWordWrap(true);
    updateText_ = new QLabel(this);
    updateText_->setObjectName("updateText");
    updateText_->setWordWrap(true);
    downloadLink_ = new QLabel(this);
    downloadLink_->setObjectName("downloadLink");
    dialogs::MakeHyperlink(downloadLink_, dialogs::kDownloadUrl);
    viewLog_ = new QPushButton(tr("&View Log"), this);
    viewLog_->setObjectName("viewLogButton");
    preview_ = new QPushButton(tr("&Preview and Run Again..."), this);
    preview_->setObjectName("previewButton");
    auto* visit = new QLabel(tr("Visit our web site for news, help and other Brindle products:"), this);
    visit->setWordWrap(true);
    auto* siteLink = new QLabel(this);
    siteLink->setObjectName("siteLink");
    dialogs::MakeHyperlink(siteLink, dialogs::kMakerUrl);

    auto* logRow = new QHBoxLayout;
    logRow->addWidget(viewLog_);
    logRow->addWidget(preview_);
    logRow->addStretch(1);
    Body()->addWidget(status_);
    Body()->addSpacing(status_->fontMetrics().height());
    Body()->addWidget(updateText_);
    Body()->addWidget(downloadLink_);
    Body()->addSpacing(status_->fontMetrics().height());
    Body()->addLayout(logRow);
    Body()->addSpacing(status_->fontMetrics().height());
    Body()->addWidget(visit);
    Body()->addWidget(siteLink);

    connect(viewLog_, &QPushButton::clicked, this, &WizFinal::ViewLog);
    connect(preview_, &QPushButton::clicked, this, &WizFinal::PreviewAndRun);
    flash_.setSingleShot(true);
    flash_.setInterval(50);
    connect(&flash_, &QTimer::timeout, this, &WizFinal::TellIfInBackground);
}

QString WizFinal::StatusText(std::int32_t transferStatus) {
    switch (transferStatus) {
        case 0:
            return "Transfer incomplete - click Back to adjust settings.";
        case 1:
            return "Transfer completed successfully. Click Finish to exit the Wizard.";
        case 2:
            return "Transfer failed. Click Finish to exit the wizard or Back to adjust settings.";
        case 3:
            return "Transfer cancelled. Click Finish to exit the wizard or Back to adjust settings.";
        default:
            return "Status unknown - click Finish to exit the Wizard.";
    }
}

void WizFinal::OnSetActive() {
    const std::int32_t outcome = Context().transferStatus ? *Context().transferStatus : 0;
    QString text = StatusText(outcome);
    // Back is only worth a click when the page says what to change.
    if ((outcome == 0 || outcome == 2) && !Job().failureText.empty()) {
        text += "\n\n" + QString::fromStdString(Job().failureText);
    }
    status_->setText(text);
    // Only an answer from the check is worth a line; a check that could not run says nothing.
    if (Job().checkUpgrade != 1 || Job().upgradeAvailable < 0) {
        updateText_->hide();
        downloadLink_->hide();
    } else {
        updateText_->show();
        const bool newer = Job().upgradeAvailable == 1;
        downloadLink_->setVisible(newer);
        updateText_->setText(newer ? "An updated version of Brindle FTP is available."
                                   : "No updates are available.");
    }
    viewLog_->setVisible(!Job().logPath.empty());
    flash_.start();
}

// The same transfer once more, after a look at what it would change now.
void WizFinal::PreviewAndRun() {
    if (!PreviewBeforeRun(Context(), Job(), this)) return;
    RunFromWizard(Context(), Job());
    OnSetActive();
}

void WizFinal::ViewLog() {
    if (Job().logPath.empty()) return;
    const QString path = QString::fromStdString(Job().logPath);
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
    // No desktop handler for text files (a bare window manager, a server's desktop): show it here.
    auto* viewer = new QDialog(window());
    viewer->setObjectName("logViewer");
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(tr("Brindle FTP - Log - %1").arg(QFileInfo(path).fileName()));
    auto* text = new QPlainTextEdit(viewer);
    text->setReadOnly(true);
    QFile file(path);
    text->setPlainText(file.open(QIODevice::ReadOnly | QIODevice::Text)
                           ? QString::fromUtf8(file.readAll())
                           : tr("The log %1 cannot be read: %2").arg(path, file.errorString()));
    text->moveCursor(QTextCursor::End);
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, viewer);
    connect(close, &QDialogButtonBox::rejected, viewer, &QDialog::close);
    auto* layout = new QVBoxLayout(viewer);
    layout->addWidget(text);
    layout->addWidget(close);
    viewer->resize(fontMetrics().averageCharWidth() * 100, fontMetrics().lineSpacing() * 30);
    viewer->show();
}

void WizFinal::TellIfInBackground() {
    if (!window()->isActiveWindow()) QApplication::alert(window());
}

}  // namespace bxfr::wizard
