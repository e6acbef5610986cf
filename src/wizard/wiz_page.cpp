#include "wizard/wiz_page.h"

#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace bxfr::wizard {

WizPage::WizPage(const WizardContext& context, const QString& heading, const QString& helpTopic,
                 bool bigHeading, QWidget* parent)
    : QWizardPage(parent), context_(context), helpTopic_(helpTopic) {
    auto* layout = new QVBoxLayout(this);
    heading_ = new QLabel(heading, this);
    heading_->setObjectName("heading");
    QFont font = heading_->font();
    font.setBold(true);
    if (bigHeading) font.setPointSize(12);
    heading_->setFont(font);
    heading_->setWordWrap(true);
    layout->addWidget(heading_);
    body_ = new QVBoxLayout;
    layout->addLayout(body_);
    layout->addStretch(1);
}

bool WizPage::OnQueryCancel() { return ConfirmCancel(this, Job(), Baseline()); }

void WizPage::ResetBaseline() const {
    Baseline().Reset();
    Baseline().CopyFrom(Job());
}

bool ConfirmCancel(QWidget* parent, const job::TransferJob& job, const job::TransferJob& baseline) {
    if (job == baseline) return true;
    return QMessageBox::question(parent, "Brindle FTP",
                                 "Some settings have been changed. Are you sure that you want to exit?",
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace bxfr::wizard
