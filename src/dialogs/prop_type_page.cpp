// The advanced settings' Transfer Type tab: binary or text chosen per file, or forced for all.

#include "dialogs/prop_type_page.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace bxfr::dialogs {

PropBinAscii::PropBinAscii(job::TransferJob* job, QWidget* parent) : QWidget(parent), m_pJob(job) {
    setObjectName("PropBinAscii");
    automatic_ = new QRadioButton(tr("&Brindle FTP determines the transfer type automatically"), this);
    binary_ = new QRadioButton(tr("Force &binary transfer for all files (Type I / BIN)"), this);
    text_ = new QRadioButton(tr("Force &text transfer for all files (Type A / ASCII)"), this);
    automatic_->setObjectName("automaticRadio");
    binary_->setObjectName("binaryRadio");
    text_->setObjectName("textRadio");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(automatic_);
    layout->addWidget(binary_);
    layout->addWidget(text_);
    layout->addStretch();

    connect(automatic_, &QRadioButton::clicked, this, [this] { Choose(0); });
    connect(binary_, &QRadioButton::clicked, this, [this] { Choose(1); });
    connect(text_, &QRadioButton::clicked, this, [this] { Choose(2); });
}

void PropBinAscii::Activate() {
    const int type = m_pJob->transferType;
    Choose(type == 1 || type == 2 ? type : 0);
}

void PropBinAscii::Choose(int type) {
    automatic_->setChecked(type == 0);
    binary_->setChecked(type == 1);
    text_->setChecked(type == 2);
    m_pJob->SetTransferType(type);
}

}  // namespace bxfr::dialogs
