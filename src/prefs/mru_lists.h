#pragma once

#include <string>

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
// password encrypted in "User" and "Pass" (in clear when no cipher provider can be used).
ServerMruEntry ReadServerMru(int index);
// A server / user name pair already listed moves to the top with the password stored with it.
void AddServerMru(const std::string& server, const std::string& userName, const std::string& password);
// Empties all four entries; the sub-keys stay.
void ClearServerMru();

}  // namespace bxfr::prefs
