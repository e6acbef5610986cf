// The Transfer Mode page: send or get, archive mode, the advanced settings, and the pages that
// follow.

#include "wizard/mode_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "dialogs/advanced_settings_sheet.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

namespace bxfr::wizard {

WizMode::WizMode(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Transfer Mode"), "transfer.htm", false, parent) {
    setObjectName("WizMode");
    send_ = new QRadioButton(tr("&Send Mode"), this);
    send_->setObjectName("sendRadio");
    auto* sendText = new QLabel(tr("Send files from this computer to the server (remote computer)."), this);
    archive_ = new QCheckBox(tr("&Archive Mode"), this);
    archive_->setObjectName("archiveBox");
    archiveText_ = new QLabel(tr("Send only the files that changed since the last send."), this);
    get_ = new QRadioButton(tr("&Get Mode"), this);
    get_->setObjectName("getRadio");
    auto* getText =
        new QLabel(tr("Retrieve files from the server (remote computer) to this computer."), this);
    advanced_ = new QPushButton(tr("&Advanced ..."), this);
    advanced_->setObjectName("advancedButton");
    for (auto* text : {sendText, archiveText_, getText}) text->setWordWrap(true);

    const int indent = send_->sizeHint().height();
    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, indent);
    grid->setColumnMinimumWidth(1, indent);
    grid->addWidget(send_, 0, 0, 1, 3);
    grid->addWidget(sendText, 1, 1, 1, 2);
    grid->addWidget(archive_, 2, 1, 1, 2);
    grid->addWidget(archiveText_, 3, 2);
    grid->setRowMinimumHeight(4, indent / 2);
    grid->addWidget(get_, 5, 0, 1, 3);
    grid->addWidget(getText, 6, 1, 1, 2);
    grid->setColumnStretch(2, 1);
    auto* advancedRow = new QHBoxLayout;
    advancedRow->addStretch(1);
    advancedRow->addWidget(advanced_);
    Body()->addLayout(grid);
    Body()->addSpacing(indent / 2);
    Body()->addLayout(advancedRow);

    connect(send_, &QRadioButton::clicked, this, &WizMode::SendState);
    connect(get_, &QRadioButton::clicked, this, &WizMode::GetState);
    connect(advanced_, &QPushButton::clicked, this, &WizMode::OpenAdvanced);
    SendState();
}

void WizMode::SendState() {
    send_->setChecked(true);
    get_->setChecked(false);
    archive_->setEnabled(true);
    archiveText_->setEnabled(true);
}

void WizMode::GetState() {
    get_->setChecked(true);
    send_->setChecked(false);
    archive_->setEnabled(false);
    archiveText_->setEnabled(false);
}

void WizMode::OnSetActive() {
    if (Job().getMode == 1) {
        GetState();
    } else {
        SendState();
    }
    archive_->setChecked(Job().archiveOnly == 1);
    (send_->isChecked() ? send_ : get_)->setFocus();
}

void WizMode::StoreFields(job::TransferJob& job) const {
    job.archiveOnly = archive_->isChecked() ? 1 : 0;
    job.getMode = send_->isChecked() ? 0 : 1;
}

bool WizMode::OnWizardBack() {
    StoreFields(Job());
    return true;
}

bool WizMode::OnWizardNext() {
    StoreFields(Job());
    ReplaceTailPages(*Context().sheet, Context(), Job().getMode == 1);
    return true;
}

void WizMode::OpenAdvanced() {
    // The permissions page follows the direction on screen, stored or not.
    dialogs::EditAdvancedSettings(Job(), send_->isChecked(), this);
}

}  // namespace bxfr::wizard
