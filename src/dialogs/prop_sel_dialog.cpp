// The dialog for one extension pattern of the file selection.

#include "dialogs/prop_sel_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace bxfr::dialogs {

AddSel::AddSel(QWidget* parent) : QDialog(parent) {
    setObjectName("AddSel");
    setWindowTitle(tr("Brindle FTP - Extension"));
    auto* label = new QLabel(tr("Extension - i.e. *.html, *.jpg:"), this);
    edit_ = new QLineEdit(this);
    edit_->setObjectName("extensionEdit");
    label->setBuddy(edit_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &AddSel::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &AddSel::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(edit_);
    layout->addWidget(buttons);
    edit_->setMinimumWidth(edit_->fontMetrics().averageCharWidth() * 36);
}

int AddSel::exec() {
    edit_->setText(m_strExtension);
    edit_->selectAll();
    edit_->setFocus();
    return QDialog::exec();
}

void AddSel::accept() {
    m_strExtension = edit_->text();
    QDialog::accept();
}

}  // namespace bxfr::dialogs
