#pragma once

// The Settings dialog: the server recent list on or off, and clearing it.

#include <QDialog>

#include "prefs/user_settings.h"

class QCheckBox;

namespace bxfr::dialogs {

// "Brindle FTP Settings": the server recent list on or off, and emptying it. Works on a copy
// of the settings; "&Clear List" empties the stored list at once, whatever the result.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(const prefs::UserSettings& settings, QWidget* parent = nullptr);

    const prefs::UserSettings& Settings() const { return settings_; }
    void accept() override;

private:
    void ClearList();

    prefs::UserSettings settings_;
    QCheckBox* mruEnabled_;
};

// Opens the dialog on a copy; on OK the copy replaces `settings` and is saved.
bool EditUserSettings(prefs::UserSettings& settings, QWidget* parent);

}  // namespace bxfr::dialogs
