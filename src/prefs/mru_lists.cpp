// The recent lists of transfer files and servers in the user key, the servers' logins encrypted.

#include "prefs/mru_lists.h"

#include <QFileInfo>
#include <algorithm>
#include <array>

#include "job/password_crypto.h"
#include "prefs/user_settings.h"

namespace bxfr::prefs {
namespace {

using PathList = std::array<std::string, kMruSize>;

QString MruValueName(int index) { return QString("MRU%1").arg(index); }
QString ServerKeyName(int index) { return QString("SMRU%1").arg(index); }

std::string Text(const QSettings& key, const QString& name) {
    return key.value(name).toString().toStdString();
}

void SetText(QSettings& key, const QString& name, const std::string& text) {
    key.setValue(name, QString::fromStdString(text));
}

PathList ReadAllPaths() {
    PathList paths;
    for (int i = 0; i < kMruSize; ++i) paths[i] = ReadMru(i);
    return paths;
}

void WriteAllPaths(const PathList& paths) {
    auto key = OpenUserKey();
    for (int i = 0; i < kMruSize; ++i) SetText(*key, MruValueName(i), paths[i]);
}

// A user name that cannot be encrypted is stored as it is, and one that does not decrypt is
// taken as stored in clear, so the list survives a machine without a usable cipher provider.
std::string Encrypted(std::string text, const job::PasswordCrypto& crypto) {
    crypto.EncryptPassword(text);
    return text;
}

std::string Decrypted(std::string text, const job::PasswordCrypto& crypto) {
    crypto.DecryptPassword(text);
    return text;
}

// A password is stored encrypted or not at all: in clear it would be taken for hexadecimal and
// decrypted into garbage on a machine where the cipher works.
std::string EncryptedOrNothing(std::string text, const job::PasswordCrypto& crypto) {
    return crypto.EncryptPassword(text) == 1 ? text : std::string();
}

void WriteServer(QSettings& key, int index, const ServerMruEntry& entry) {
    key.beginGroup(ServerKeyName(index));
    // "Default" is the key's unnamed value in the registry.
    SetText(key, "Default", entry.server);
    SetText(key, "User", entry.userName);
    SetText(key, "Pass", entry.password);
    key.endGroup();
}

}  // namespace

std::string ReadMru(int index) {
    if (index < 0 || index >= kMruSize) return {};
    return Text(*OpenUserKey(), MruValueName(index));
}

void AddToMru(const std::string& path) {
    PathList paths = ReadAllPaths();
    auto found = std::find(paths.begin(), paths.end(), path);
    if (found == paths.begin()) return;
    if (found == paths.end()) found = paths.end() - 1;
    std::rotate(paths.begin(), found, found + 1);
    paths[0] = path;
    WriteAllPaths(paths);
}

void RemoveFromMru(const std::string& path) {
    PathList paths = ReadAllPaths();
    auto found = std::find(paths.begin(), paths.end(), path);
    if (found != paths.end()) {
        std::rotate(found, found + 1, paths.end());
        paths.back().clear();
    }
    WriteAllPaths(paths);
}

void PruneMru() {
    for (int i = kMruSize - 1; i >= 0; --i) {
        const std::string path = ReadMru(i);
        if (!path.empty() && !QFileInfo::exists(QString::fromStdString(path))) RemoveFromMru(path);
    }
}

ServerMruEntry ReadServerMru(int index, const job::PasswordCrypto& crypto) {
    if (index < 0 || index >= kMruSize) return {};
    auto key = OpenUserKey();
    key->beginGroup(ServerKeyName(index));
    ServerMruEntry entry;
    entry.server = Text(*key, "Default");
    entry.userName = Decrypted(Text(*key, "User"), crypto);
    entry.password = Decrypted(Text(*key, "Pass"), crypto);
    key->endGroup();
    return entry;
}

void AddServerMru(const std::string& server, const std::string& userName, const std::string& password,
                  const job::PasswordCrypto& crypto) {
    std::array<ServerMruEntry, kMruSize> entries;
    for (int i = 0; i < kMruSize; ++i) entries[i] = ReadServerMru(i, crypto);
    const ServerMruEntry added{server, userName, password};
    auto found = std::find_if(entries.begin(), entries.end(), [&](const ServerMruEntry& entry) {
        return entry.server == server && entry.userName == userName;
    });
    if (found == entries.begin() && *found == added) return;
    if (found == entries.end()) found = entries.end() - 1;
    *found = added;
    std::rotate(entries.begin(), found, found + 1);

    auto key = OpenUserKey();
    for (int i = 0; i < kMruSize; ++i) {
        ServerMruEntry stored = entries[i];
        stored.userName = Encrypted(stored.userName, crypto);
        stored.password = EncryptedOrNothing(stored.password, crypto);
        WriteServer(*key, i, stored);
    }
}

void ClearServerMru() {
    auto key = OpenUserKey();
    for (int i = 0; i < kMruSize; ++i) WriteServer(*key, i, ServerMruEntry{});
}

}  // namespace bxfr::prefs
