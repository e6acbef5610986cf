#pragma once

// The recent lists: the last transfer files, and the last servers with their user names and
// passwords.

#include <string>

#include "job/password_crypto.h"

namespace bxfr::prefs {

// Four entries each, index 0 the most recent. Both lists are read from and written to the
// user key (user_settings.h) on every call; nothing is cached.
inline constexpr int kMruSize = 4;

// The transfer-file list, values "MRU0" to "MRU3". Empty for an empty slot or a bad index.
std::string ReadMru(int index);
// Moves the path to the top (exact, case-sensitive match); already on top writes nothing.
void AddToMru(const std::string& path);
void RemoveFromMru(const std::string& path);
// Drops the entries whose files no longer exist.
void PruneMru();

struct ServerMruEntry {
    std::string server;
    std::string userName;
    std::string password;

    bool operator==(const ServerMruEntry&) const = default;
};

// The server list, sub-keys "SMRU0" to "SMRU3": the server in the default value, user name and
// password encrypted in "User" and "Pass". When no cipher provider can be used the user name is
// stored in clear and the password not at all.
ServerMruEntry ReadServerMru(int index, const job::PasswordCrypto& crypto = job::DefaultPasswordCrypto());
// Puts the server / user name pair at the top with this password; a pair already listed moves
// up and takes the new password, so that choosing it later fills in the one last used.
void AddServerMru(const std::string& server, const std::string& userName, const std::string& password,
                  const job::PasswordCrypto& crypto = job::DefaultPasswordCrypto());
// Empties all four entries; the sub-keys stay.
void ClearServerMru();

}  // namespace bxfr::prefs
