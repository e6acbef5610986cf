// The Transfer Advanced Settings sheet: its tabs on a copy of the job, handed back on OK.

#include "dialogs/advanced_settings_sheet.h"

#include <QDialogButtonBox>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/prop_chmod_page.h"
#include "dialogs/prop_script_page.h"
#include "dialogs/prop_select_page.h"
#include "dialogs/prop_type_page.h"

namespace bxfr::dialogs {

AdvancedSettingsSheet::AdvancedSettingsSheet(const job::TransferJob& job, bool sendMode, QWidget* parent)
    : QDialog(parent), copy_(job) {
    setObjectName("AdvancedSettingsSheet");
    setWindowTitle(tr("Brindle FTP - Transfer Advanced Settings"));
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("advancedTabs");
    type_ = new PropBinAscii(&copy_);
    select_ = new PropSelect(&copy_);
    script_ = new PropScript(&copy_);
    tabs_->addTab(type_, tr("Transfer Type"));
    tabs_->addTab(select_, tr("Select Files"));
    // Permissions are set on the server after a send; a get has nothing to apply them to.
    if (sendMode) {
        chmod_ = new PropChmod(&copy_);
        tabs_->addTab(chmod_, tr("Permissions (chmod)"));
    }
    tabs_->addTab(script_, tr("Transfer Script"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addWidget(buttons);

    connect(tabs_, &QTabWidget::currentChanged, this, &AdvancedSettingsSheet::ActivatePage);
    tabs_->setCurrentIndex(0);
    ActivatePage(0);
    // Every tab's title stays readable: no scroll arrows on the tab bar.
    const int tabsWidth = tabs_->tabBar()->sizeHint().width() + tabs_->fontMetrics().averageCharWidth() * 4;
    tabs_->setMinimumWidth(std::max(tabsWidth, tabs_->fontMetrics().averageCharWidth() * 75));
}

void AdvancedSettingsSheet::ActivatePage(int index) {
    QWidget* page = tabs_->widget(index);
    if (page == type_) type_->Activate();
    if (page == select_) select_->Activate();
    if (chmod_ && page == chmod_) chmod_->Activate();
    if (page == script_) script_->Activate();
}

bool EditAdvancedSettings(job::TransferJob& job, bool sendMode, QWidget* parent) {
    AdvancedSettingsSheet sheet(job, sendMode, parent);
    if (sheet.exec() != QDialog::Accepted) return false;
    job = sheet.Copy();
    return true;
}

}  // namespace bxfr::dialogs
