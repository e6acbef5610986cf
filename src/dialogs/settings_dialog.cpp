// The Settings dialog: the server recent list on or off, and clearing it.

#include "dialogs/settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/help_window.h"
#include "prefs/mru_lists.h"

namespace bxfr::dialogs {

SettingsDialog::SettingsDialog(const prefs::UserSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setObjectName("SettingsDialog");
    setWindowTitle("Brindle FTP Settings");
    mruEnabled_ = new QCheckBox(tr("&Remember recent servers"), this);
    mruEnabled_->setObjectName("mruEnabled");
    mruEnabled_->setChecked(settings_.GetServerMruEnabled() == 1);
    auto* clear = new QPushButton(tr("&Clear List"), this);
    clear->setObjectName("clearList");
    clear->setAutoDefault(false);
    connect(clear, &QPushButton::clicked, this, &SettingsDialog::ClearList);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    buttons->button(QDialogButtonBox::Help)->setText(tr("&Help"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { ShowHelpTopic(this, "settings.htm"); });
    auto* row = new QHBoxLayout;
    row->addWidget(mruEnabled_);
    row->addStretch(1);
    row->addWidget(clear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Recent servers:"), this));
    layout->addLayout(row);
    layout->addWidget(buttons);
    // Room for the whole title: a window manager cuts it to fit the window.
    setMinimumWidth(fontMetrics().averageCharWidth() * 56);
}

void SettingsDialog::ClearList() {
    prefs::ClearServerMru();
    QMessageBox::information(this, "Brindle FTP", "The list of recent servers is cleared.");
}

void SettingsDialog::accept() {
    settings_.SetServerMruEnabled(mruEnabled_->isChecked() ? 1 : 0);
    QDialog::accept();
}

bool EditUserSettings(prefs::UserSettings& settings, QWidget* parent) {
    SettingsDialog dialog(settings, parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    settings = dialog.Settings();
    settings.Save();
    return true;
}

}  // namespace bxfr::dialogs
