#pragma once

// The user's preferences and the per-user key they and the recent lists are kept in.

#include <QSettings>
#include <cstdint>
#include <memory>

namespace bxfr::prefs {

// The per-user key: organisation "Brindle", application "BXFR/Wizard", native format, so on
// Windows it is HKEY_CURRENT_USER\Software\Brindle\BXFR\Wizard. Tests move the user scope
// elsewhere with QSettings::setPath before they open it.
std::unique_ptr<QSettings> OpenUserKey();

// The two preferences of one user. Construction loads them; nothing is written until Save.
class UserSettings {
public:
    UserSettings();

    // A missing key or value leaves what is there.
    void Load();
    // Failures are silent.
    void Save() const;

    std::int32_t GetServerMruEnabled() const { return serverMruEnabled; }
    void SetServerMruEnabled(std::int32_t value) { serverMruEnabled = value; }
    std::int32_t GetShowCryptoWarning() const { return showCryptoWarning; }
    void SetShowCryptoWarning(std::int32_t value) { showCryptoWarning = value; }

    bool operator==(const UserSettings&) const = default;

    std::int32_t serverMruEnabled = 0;   // "SMru"
    std::int32_t showCryptoWarning = 1;  // "orCryptoWarn", stored inverted
};

}  // namespace bxfr::prefs
