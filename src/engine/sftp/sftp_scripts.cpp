// Script and permission commands on SFTP: each command word becomes the SFTP request it names.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/ftp/ftp_listing.h"
#include "engine/sftp/sftp_connection.h"

namespace bxfr::engine {

using namespace sftp;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// Seconds since 1970, as "1700000000", "20261207120000" or "Mon, 07 Dec 2026 12:00:00 GMT".
std::optional<std::int64_t> ParseWhen(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() == 14) return ParseFtpTime(text);
        return std::strtoll(text.c_str(), nullptr, 10);
    }
    static constexpr const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char month[4] = {};
    std::tm parts{};
    if (std::sscanf(text.c_str(), "%*3s, %d %3s %d %d:%d:%d", &parts.tm_mday, month, &parts.tm_year,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
        return std::nullopt;
    }
    const char* found = std::strstr(kMonths, month);
    if (found == nullptr || std::strlen(month) != 3) return std::nullopt;
    parts.tm_mon = static_cast<int>((found - kMonths) / 3);
    parts.tm_year -= 1900;
#ifdef _WIN32
    return _mkgmtime(&parts);
#else
    return timegm(&parts);
#endif
}

}  // namespace

bool SftpConnection::Command(const std::string& command, bool, std::string* data) {
    if (data != nullptr) data->clear();
    if (Refuse(command)) return false;
    std::vector<std::string> words;
    if (SplitWords(command, words) && words.size() == 1 && Lower(words.front()) == "pwd") {
        return GetCurrentDirectory(words.front());
    }
    const std::optional<std::string> sftp = SftpCommandFor(command, folder_);
    words.clear();
    if (!sftp || !SplitWords(*sftp, words)) {
        return Fail(500, "SFTP has no command like \"" + command +
                             "\". It knows chmod, chown, chgrp, atime, mtime, ln, symlink, rename, mkdir, "
                             "rmdir, rm, statvfs and pwd, each with its arguments.");
    }
    return Guard([&] { return RunScriptCommand(words, data); });
}

bool SftpConnection::RunScriptCommand(const std::vector<std::string>& words, std::string* data) {
    const std::string& verb = words[0];
    const std::string& path = words.back();
    const auto setStat = [&](const Attributes& attributes) {
        return Status(Call(kSetstat, [&](PacketWriter& p) { p.String(path).Attrs(attributes); }),
                      verb + " " + path);
    };
    if (verb == "chmod") {
        char* end = nullptr;
        const unsigned long mode = std::strtoul(words[1].c_str(), &end, 8);
        if (*end != '\0' || mode > 07777)
            return Fail(500, "chmod takes octal permissions, not \"" + words[1] + "\"");
        Attributes attributes;
        attributes.permissions = static_cast<std::uint32_t>(mode);
        return setStat(attributes);
    }
    if (verb == "chown" || verb == "chgrp" || verb == "atime" || verb == "mtime") {
        // These set one half of a pair: the other half is what the file has now.
        std::optional<Attributes> now = StatOf(path);
        if (!now) return false;
        Attributes attributes;
        if (verb == "chown" || verb == "chgrp") {
            if (!now->owner || words[1].find_first_not_of("0123456789") != std::string::npos) {
                return Fail(500, verb + " takes a number, not \"" + words[1] + "\"");
            }
            const auto id = static_cast<std::uint32_t>(std::strtoul(words[1].c_str(), nullptr, 10));
            attributes.owner = verb == "chown" ? std::make_pair(id, now->owner->second)
                                               : std::make_pair(now->owner->first, id);
        } else {
            const std::optional<std::int64_t> when = ParseWhen(words[1]);
            if (!when || !now->times) return Fail(500, verb + " cannot read the time \"" + words[1] + "\"");
            const auto seconds = static_cast<std::uint32_t>(*when);
            attributes.times = verb == "atime" ? std::make_pair(seconds, now->times->second)
                                               : std::make_pair(now->times->first, seconds);
        }
        return setStat(attributes);
    }
    if (verb == "ln") {
        if (!Session()->Offers("hardlink@openssh.com")) return Fail(550, "the server offers no hard links");
        return Status(
            Call(kExtended,
                 [&](PacketWriter& p) { p.String("hardlink@openssh.com").String(words[1]).String(path); }),
            "ln " + path);
    }
    // OpenSSH's servers, and those that follow them, take the target first.
    if (verb == "symlink") {
        return Status(Call(kSymlink, [&](PacketWriter& p) { p.String(words[1]).String(path); }),
                      "symlink " + path);
    }
    if (verb == "rename") return Rename(words[1], path);
    if (verb == "mkdir") return CreateDirectory(path);
    if (verb == "rmdir") return Status(CallPath(kRmdir, path), "rmdir " + path);
    if (verb == "rm") return Status(CallPath(kRemove, path), "rm " + path);
    if (verb == "statvfs") {
        if (!Session()->Offers("statvfs@openssh.com")) return Fail(550, "the server offers no statvfs");
        const Reply reply =
            Call(kExtended, [&](PacketWriter& p) { p.String("statvfs@openssh.com").String(path); });
        if (reply.type != kExtendedReply || reply.data.size() < 88) return Status(reply, "statvfs " + path);
        static constexpr const char* kFields[] = {"f_bsize",  "f_frsize", "f_blocks", "f_bfree",
                                                  "f_bavail", "f_files",  "f_ffree",  "f_favail",
                                                  "f_fsid",   "f_flag",   "f_namemax"};
        std::string text;
        for (std::size_t i = 0; i < std::size(kFields); ++i) {
            std::uint64_t value = 0;
            for (std::size_t b = 0; b < 8; ++b)
                value = (value << 8) | static_cast<unsigned char>(reply.data[i * 8 + b]);
            text += "statvfs." + std::string(kFields[i]) + ": " + std::to_string(value) + "\r\n";
        }
        if (data != nullptr) *data = text;
        Succeed(200, "200 statvfs " + path);
        return true;
    }
    return Fail(500, "SFTP has no command " + verb);
}

}  // namespace bxfr::engine
