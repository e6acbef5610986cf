#include "prefs/user_settings.h"

namespace bxfr::prefs {

std::unique_ptr<QSettings> OpenUserKey() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Brindle",
                                       "BXFR/Wizard");
}

UserSettings::UserSettings() { Load(); }

void UserSettings::Load() {
    auto key = OpenUserKey();
    bool ok = false;
    const int mru = key->value("SMru").toInt(&ok);
    if (ok) serverMruEnabled = mru;
    const int warningOff = key->value("orCryptoWarn").toInt(&ok);
    if (ok) showCryptoWarning = warningOff == 1 ? 0 : 1;
}

void UserSettings::Save() const {
    auto key = OpenUserKey();
    key->setValue("SMru", serverMruEnabled);
    key->setValue("orCryptoWarn", showCryptoWarning != 1 ? 1 : 0);
}

}  // namespace bxfr::prefs
