// Transfer files: the keys read into a job, and the job written back without disturbing the rest.

#include "job/transfer_file.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "job/ini_file.h"
#include "job/password_crypto.h"
#include "job/text_encoding.h"

namespace bxfr::job {
namespace {

constexpr const char* kMain = "BXFR";
constexpr const char* kWizard = "BXFRWIZ";
constexpr const char* kSelect = "SELECT";
constexpr const char* kChmod = "CHMOD";
constexpr const char* kScript = "SCRIPT";

// Drops a trailing comment (from the first TAB or ';') and the blanks before it.
std::string Clean(std::string value) {
    auto cut = value.find_first_of("\t;");
    if (cut != std::string::npos) value.resize(cut);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

std::string Numbered(const char* word, int i) { return std::string(word) + "(" + std::to_string(i) + ")"; }

// Reads the text key into `apply` when it is non-empty as read.
template <typename Apply>
bool ReadText(const IniFile& ini, const char* key, Apply apply) {
    auto value = ini.Get(kMain, key);
    if (!value || value->empty()) return false;
    apply(Clean(*value));
    return true;
}

void ReadPassword(const IniFile& ini, TransferJob& job, const PasswordCrypto& crypto) {
    auto enc = ini.Get(kMain, "ENCPASS");
    if (enc && !enc->empty()) {
        std::string text = Clean(*enc);
        crypto.DecryptPassword(text);  // a value stored without the provider reads back as it is
        job.password = text;
        return;
    }
    auto pass = ini.GetBytes(kMain, "PASS");
    if (pass && !pass->empty()) {
        std::string text = Clean(*pass);
        if (!text.empty()) job.password = text;
    }
}

bool AnyValueBreaksLines(const TransferJob& job) {
    // The password is not among them: it is written as hexadecimal (see SaveTransferFile).
    for (const auto* s : {&job.server, &job.remotePathAsEntered, &job.localPathAsEntered, &job.userName,
                          &job.logPath, &job.proxy, &job.fingerprint, &job.keyFile})
        if (HoldsLineBreak(*s)) return true;
    for (const auto& r : job.selectRules)
        if (HoldsLineBreak(r.extension)) return true;
    for (const auto& r : job.chmodRules)
        if (HoldsLineBreak(r.extension)) return true;
    for (const auto* list : {&job.connScript, &job.tranScript, &job.discScript})
        for (const auto& e : *list)
            if (HoldsLineBreak(e.command)) return true;
    return false;
}

void WriteScripts(IniFile& ini, const char* word, const std::list<tagBXFR_SCRIPT>& list) {
    int i = 1;
    for (const auto& entry : list)
        ini.Set(kScript, Numbered(word, i++),
                entry.expectResponse == 1 ? entry.command + ",Y" : entry.command);
}

}  // namespace

int LoadTransferFile(const std::string& path, TransferJob& job, const PasswordCrypto& crypto,
                     std::string* problem) {
    std::error_code ec;
    std::string full = path.empty() ? path : std::filesystem::absolute(path, ec).string();
    IniFile ini;
    if (ini.Read(ec ? path : full) != IniFile::ReadResult::Ok) return kTransferFileInvalid;

    int result = kTransferFileInvalid;
    ReadText(ini, "SERVER", [&](const std::string& v) {
        job.server = v;
        if (!v.empty()) result = kTransferFileLoaded;
    });
    ReadText(ini, "SERVERPATH", [&](const std::string& v) { job.SetRemotePath(v); });
    ReadText(ini, "LOCALPATH", [&](const std::string& v) { job.SetLocalPath(v); });
    // The server gets the user name as the file holds it, like the password: a name written on
    // Windows in Windows-1252 would name someone else in UTF-8.
    auto user = ini.GetBytes(kMain, "USER");
    if (user && !user->empty()) job.userName = Clean(*user);
    ReadPassword(ini, job, crypto);
    ReadText(ini, "LOG", [&](const std::string& v) { job.logPath = v; });
    ReadText(ini, "PORT",
             [&](const std::string& v) { job.port = static_cast<std::uint16_t>(std::atoi(v.c_str())); });
    ReadText(ini, "PROXY", [&](const std::string& v) { job.SetProxy(v); });

    auto flag = [&](const char* section, const char* key) { return ini.GetInt(section, key, 0) != 0; };
    if (flag(kMain, "GET")) job.getMode = 1;
    if (flag(kMain, "IGNORE")) job.ignoreErrors = 1;
    if (flag(kMain, "VERBOSE")) job.verbose = 1;
    if (flag(kMain, "ARCHIVE")) job.archiveOnly = 1;
    if (flag(kMain, "UPGRADE")) {
        job.checkUpgrade = 1;
        result = kTransferFileLoaded;
    }
    if (flag(kMain, "SINGLE")) job.singleFile = 1;
    // Without the key a file has always meant active mode; only new transfers start passive.
    job.passive = flag(kMain, "PASSIVE") ? 1 : 0;
    if (flag(kMain, "FORCEBIN")) job.transferType = 1;
    if (flag(kMain, "FORCEASCII")) job.transferType = 2;
    if (flag(kMain, "PASSPROMPT")) job.promptPassword = 1;
    if (flag(kWizard, "AUTOXFER")) job.autoTransfer = 1;
    ReadText(ini, "CONNECTIONS", [&](const std::string& v) {
        job.connections = std::clamp(std::atoi(v.c_str()), 1, kMaxConnections);
    });
    ReadText(ini, "RETRIES",
             [&](const std::string& v) { job.retries = std::clamp(std::atoi(v.c_str()), 0, 10); });
    ReadText(ini, "TEMPSIZE", [&](const std::string& v) { job.tempNameMinimum = std::atoll(v.c_str()); });
    ReadText(ini, "LIMIT",
             [&](const std::string& v) { job.speedLimit = std::max(0LL, std::atoll(v.c_str())); });
    if (flag(kMain, "SYNC")) job.syncMode = 1;
    if (flag(kMain, "DELETE")) job.deleteMissing = 1;
    bool unknownProtocol = false;
    // A connection security this version does not know must not quietly become plain FTP,
    // which would send the password in clear.
    ReadText(ini, "PROTOCOL", [&](const std::string& v) {
        if (const auto protocol = ParseProtocol(v)) {
            job.protocol = *protocol;
            return;
        }
        unknownProtocol = true;
        if (problem) {
            *problem = "PROTOCOL=" + v + " is not a connection this version knows (ftp, ftpes, ftps or sftp)";
        }
    });
    bool malformedPin = false;
    // A pin that can match nothing would read, when the server shows its real certificate, as
    // an attack: say instead that the file is wrong.
    ReadText(ini, "FINGERPRINT", [&](const std::string& v) {
        job.fingerprint = v;
        if (IsFingerprint(v)) return;
        malformedPin = true;
        if (problem) {
            *problem = "FINGERPRINT=" + v +
                       " is not a fingerprint: it is SHA256: followed by 43 characters, as the trust "
                       "question shows it";
        }
    });
    ReadText(ini, "KEYFILE", [&](const std::string& v) { job.keyFile = v; });

    // A rule that is only a comment is a gap: it ends its list as an empty one does. Kept as an
    // empty rule it would be saved as an empty value, which reads back as no rule at all.
    auto rule = [&ini](const char* section, const std::string& key) {
        auto v = ini.Get(section, key);
        return v ? Clean(*v) : std::string();
    };
    bool included = false, excluded = false;
    for (int i = 1;; ++i) {
        const std::string extension = rule(kSelect, Numbered("INCLUDE", i));
        if (extension.empty()) break;
        job.AddSelectRule(extension);
        job.selectMode = 1;
        included = true;
    }
    for (int i = 1;; ++i) {
        const std::string extension = rule(kSelect, Numbered("EXCLUDE", i));
        if (extension.empty()) break;
        job.AddSelectRule(extension);
        job.selectMode = 2;
        excluded = true;
    }
    if (included && excluded) result = kTransferFileInvalid;

    for (int i = 1;; ++i) {
        const std::string extension = rule(kChmod, Numbered("CHMODEXT", i));
        const std::string action = rule(kChmod, Numbered("CHMODACT", i));
        if (extension.empty() || action.empty()) break;
        job.AddChmodRule(extension, action);
    }

    struct ScriptKind {
        const char* word;
        void (TransferJob::*add)(const std::string&);
    };
    for (auto kind :
         {ScriptKind{"CONN", &TransferJob::AddConnScript}, ScriptKind{"TRAN", &TransferJob::AddTranScript},
          ScriptKind{"DISC", &TransferJob::AddDiscScript}}) {
        for (int i = 1;; ++i) {
            auto v = ini.Get(kScript, Numbered(kind.word, i));
            if (!v || v->empty()) break;
            (job.*kind.add)(*v);
        }
    }
    return unknownProtocol || malformedPin ? kTransferFileInvalid : result;
}

bool PasswordLeftOut(const TransferJob& job, const PasswordCrypto& crypto) {
    std::string probe = job.password;
    return job.promptPassword != 1 && !job.password.empty() && crypto.EncryptPassword(probe) != 1;
}

int SaveTransferFile(const std::string& path, const TransferJob& job, const PasswordCrypto& crypto) {
    // A line break in a value would write keys of its own into the file.
    if (path.empty() || AnyValueBreaksLines(job)) return kTransferFileWriteFailed;
    IniFile ini;
    auto read = ini.Read(path);
    if (read == IniFile::ReadResult::Unreadable || read == IniFile::ReadResult::TooLarge)
        return kTransferFileWriteFailed;

    ini.Set(kMain, "SERVER", job.server);
    ini.Set(kMain, "SERVERPATH", job.remotePathAsEntered);
    ini.Set(kMain, "LOCALPATH", job.localPathAsEntered);
    // A user name read from a Windows-1252 file goes back in that encoding, so that its bytes
    // stay the ones the server knows.
    if (!IsValidUtf8(job.userName)) ini.WriteAsWindows1252();
    ini.Set(kMain, "USER", DisplayText(job.userName));
    std::string encrypted = job.password;
    if (job.promptPassword == 1 || (!job.password.empty() && crypto.EncryptPassword(encrypted) != 1)) {
        // Without a cipher the password is not stored at all: in clear it would be cut at a ';'
        // when read back, and taken for hexadecimal where a cipher works. An older one goes too.
        ini.Set(kMain, "PASS", "");
        ini.Set(kMain, "ENCPASS", "");
    } else if (!job.password.empty()) {
        ini.Set(kMain, "PASS", "");
        ini.Set(kMain, "ENCPASS", encrypted);
    }
    ini.Set(kMain, "LOG", job.logPath);
    ini.Set(kMain, "PORT", std::to_string(job.port));
    ini.Set(kMain, "PROXY", job.proxy);
    auto flag = [](std::int32_t v) { return std::string(v == 1 ? "1" : "0"); };
    ini.Set(kMain, "GET", flag(job.getMode));
    ini.Set(kMain, "IGNORE", flag(job.ignoreErrors));
    ini.Set(kMain, "VERBOSE", flag(job.verbose));
    ini.Set(kMain, "ARCHIVE", flag(job.archiveOnly));
    ini.Set(kMain, "UPGRADE", flag(job.checkUpgrade));
    ini.Set(kMain, "SINGLE", flag(job.singleFile));
    ini.Set(kMain, "PASSIVE", flag(job.passive));
    ini.Set(kMain, "FORCEBIN", job.transferType == 1 ? "1" : "0");
    ini.Set(kMain, "FORCEASCII", job.transferType == 2 ? "1" : "0");
    ini.Set(kMain, "PASSPROMPT", flag(job.promptPassword));
    ini.Set(kWizard, "AUTOXFER", flag(job.autoTransfer));
    // Keys of our own are written only where they differ from their default (or stand in the
    // file already), so that a plain transfer file stays as the original program writes it.
    auto setOwn = [&ini](const char* key, long long value, long long byDefault) {
        if (value != byDefault || ini.Get(kMain, key)) ini.Set(kMain, key, std::to_string(value));
    };
    setOwn("CONNECTIONS", job.connections, kDefaultConnections);
    setOwn("RETRIES", job.retries, kDefaultRetries);
    setOwn("TEMPSIZE", job.tempNameMinimum, kDefaultTempNameMinimum);
    setOwn("LIMIT", job.speedLimit, 0);
    setOwn("SYNC", job.syncMode == 1 ? 1 : 0, 0);
    setOwn("DELETE", job.deleteMissing == 1 ? 1 : 0, 0);
    auto setOwnText = [&ini](const char* key, const std::string& value, const std::string& byDefault) {
        if (value != byDefault || ini.Get(kMain, key)) ini.Set(kMain, key, value);
    };
    setOwnText("PROTOCOL", ProtocolKey(job.protocol), ProtocolKey(Protocol::Ftp));
    setOwnText("FINGERPRINT", job.fingerprint, "");
    setOwnText("KEYFILE", job.keyFile, "");

    ini.RemoveSection(kSelect);
    if (job.selectMode == 1 || job.selectMode == 2) {
        int i = 1;
        for (const auto& rule : job.selectRules)
            ini.Set(kSelect, Numbered(job.selectMode == 1 ? "INCLUDE" : "EXCLUDE", i++), rule.extension);
    }
    ini.RemoveSection(kChmod);
    int i = 1;
    for (const auto& rule : job.chmodRules) {
        ini.Set(kChmod, Numbered("CHMODEXT", i), rule.extension);
        ini.Set(kChmod, Numbered("CHMODACT", i), std::to_string(rule.permissions));
        ++i;
    }
    ini.RemoveSection(kScript);
    WriteScripts(ini, "CONN", job.connScript);
    WriteScripts(ini, "TRAN", job.tranScript);
    WriteScripts(ini, "DISC", job.discScript);

    bool holdsPassword = !ini.GetString(kMain, "PASS").empty() || !ini.GetString(kMain, "ENCPASS").empty();
    return ini.WriteAtomically(path, holdsPassword) ? kTransferFileLoaded : kTransferFileWriteFailed;
}

}  // namespace bxfr::job
