// The per-user key, kept readable by its owner alone, and the preferences loaded from it and saved.

#include "prefs/user_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace bxfr::prefs {
namespace {

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// The key holds the recent servers' passwords. Where it is a file, it is made (or put back to)
// readable by its owner alone before anything is written; the writer keeps the mode it finds.
void RestrictToOwner(const QString& fileName) {
    if (fileName.isEmpty() || !QFileInfo(fileName).isAbsolute()) return;
    QFile file(fileName);
    if (file.exists()) {
        if ((file.permissions() & ~(kOwnerOnly | QFile::ReadUser | QFile::WriteUser)) != 0)
            file.setPermissions(kOwnerOnly);
        return;
    }
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    file.open(QIODevice::WriteOnly, kOwnerOnly);
}

}  // namespace

std::unique_ptr<QSettings> OpenUserKey() {
    auto key =
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Brindle", "BXFR/Wizard");
#ifndef Q_OS_WIN
    RestrictToOwner(key->fileName());
#endif
    return key;
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
