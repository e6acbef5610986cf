// The FTP connection's control-connection commands: sizes, times, folders, listings, renames and
// raw commands.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "engine/ftp/curl_ftp_connection.h"
#include "engine/ftp/ftp_listing.h"
#include "engine/ftp/ftp_time_channel.h"

namespace bxfr::engine {

bool CurlFtpConnection::Quote(const std::string& command, std::uint32_t& code) {
    // The '*' keeps curl from closing the connection when the server refuses the command.
    const Slist quote = MakeSlist({"*" + command});
    Request request;
    request.nobody = true;
    request.quote = quote.get();
    const CURLcode result = Perform(request);
    if (result != CURLE_OK) {
        code = CodeFor(result);
        return false;
    }
    code = replies_.empty() ? 0 : static_cast<std::uint32_t>(replies_.back().code);
    return true;
}

// One control-connection command whose refusal is a 12003 failure.
bool CurlFtpConnection::SendQuote(const std::string& command) {
    std::uint32_t code = 0;
    if (!Quote(command, code)) {
        RememberFailure(code);
        return false;
    }
    if (!IsPositive(static_cast<int>(code))) {
        RememberFailure(kExtendedError);
        return false;
    }
    lastError_ = 0;
    return true;
}

bool CurlFtpConnection::EnsureServerFolder() {
    if (serverFolder_ == folder_) {
        return true;
    }
    if (!SendQuote("CWD " + folder_)) {
        return false;
    }
    serverFolder_ = folder_;
    return true;
}

bool CurlFtpConnection::QuietQuote(const std::string& command, std::uint32_t& code, ServerReply& reply) {
    const ServerReply before = lastReply_;
    const bool sent = Quote(command, code);
    reply = lastReply_;
    lastReply_ = before;
    ThreadLastReply() = before;
    return sent;
}

bool CurlFtpConnection::Rename(const std::string& from, const std::string& to) {
    if (Refuse(from) || Refuse(to) || !EnsureConnected()) {
        return false;
    }
    std::uint32_t code = 0;
    if (!Quote("RNFR " + ResolvePath(folder_, from), code)) {
        RememberFailure(code);
        return false;
    }
    if (code != 350) {
        RememberFailure(kExtendedError);
        return false;
    }
    return SendQuote("RNTO " + ResolvePath(folder_, to));
}

bool CurlFtpConnection::Delete(const std::string& name) {
    if (Refuse(name) || !EnsureConnected()) {
        return false;
    }
    return SendQuote("DELE " + ResolvePath(folder_, name));
}

bool CurlFtpConnection::FileSize(const std::string& name, std::uint64_t& size) {
    if (Refuse(name) || !EnsureConnected()) {
        return false;
    }
    bool known = false;
    if (!StoredSize(ResolvePath(folder_, name), size, known)) {
        return false;
    }
    if (!known) {
        RememberFailure(kExtendedError);
        return false;
    }
    lastError_ = 0;
    return true;
}

// False only when the connection failed; `known` says whether the server told the size.
// The caller's last reply is kept: a size is asked for on the side.
bool CurlFtpConnection::StoredSize(const std::string& path, std::uint64_t& size, bool& known) {
    known = false;
    std::uint32_t code = 0;
    ServerReply reply;
    if (features_.mlsd) {
        if (!QuietQuote("MLST " + path, code, reply)) {
            return false;
        }
        if (code == 250) {
            if (const auto mlst = MlstSize(reply.text)) {
                size = *mlst;
                known = true;
                return true;
            }
        }
    }
    if (!QuietQuote("SIZE " + path, code, reply)) {
        return false;
    }
    // Some servers answer SIZE in binary type only, and a new session starts in ASCII.
    if (code == 550) {
        if (!QuietQuote("TYPE I", code, reply)) {
            return false;
        }
        retypeNeeded_ = true;
        if (!QuietQuote("SIZE " + path, code, reply)) {
            return false;
        }
    }
    if (code == 213) {
        if (const auto number = ReplyNumber(reply.text)) {
            size = *number;
            known = true;
        }
    }
    return true;
}

bool CurlFtpConnection::GetModificationTime(const std::string& name, std::int64_t& unixSeconds) {
    if (Refuse(name) || !EnsureConnected()) {
        return false;
    }
    if (!SendQuote("MDTM " + ResolvePath(folder_, name))) {
        return false;
    }
    const std::string& text = lastReply_.text;
    const auto parsed = text.size() > 4 ? ParseFtpTime(std::string_view(text).substr(4)) : std::nullopt;
    if (lastReply_.code != 213 || !parsed) {
        RememberFailure(kExtendedError);
        return false;
    }
    unixSeconds = *parsed;
    return true;
}

bool CurlFtpConnection::SetModificationTime(const std::string& name, std::int64_t unixSeconds) {
    if (!features_.mfmt) {
        return false;
    }
    if (Refuse(name) || !EnsureConnected()) {
        return false;
    }
    return SendQuote("MFMT " + FormatFtpTime(unixSeconds) + " " + ResolvePath(folder_, name));
}

std::optional<RemoteEntry> CurlFtpConnection::FileEntry(const std::string& name) {
    if (Refuse(name) || !EnsureConnected()) {
        return std::nullopt;
    }
    const std::string path = ResolvePath(folder_, name);
    std::uint32_t code = 0;
    ServerReply reply;
    RemoteEntry entry;
    if (features_.mlsd) {
        // " type=file;size=12;modify=...; /a/b" on the reply's second line.
        const bool told = QuietQuote("MLST " + path, code, reply) && code == 250;
        const std::size_t start = told ? reply.text.find('\n') : std::string::npos;
        if (start == std::string::npos) {
            return std::nullopt;
        }
        std::string_view facts = std::string_view(reply.text).substr(start + 1);
        facts = facts.substr(0, facts.find('\n'));
        while (!facts.empty() && facts.front() == ' ') facts.remove_prefix(1);
        std::string lower(facts.substr(0, facts.find(' ')));
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("size=") == std::string::npos || !ParseMlsdLine(facts, entry) || entry.isFolder ||
            entry.isLink) {
            return std::nullopt;
        }
    } else {
        bool known = false;
        if (!StoredSize(path, entry.length, known) || !known) {
            return std::nullopt;
        }
        if (QuietQuote("MDTM " + path, code, reply) && code == 213 && reply.text.size() > 4) {
            entry.modified = ParseFtpTime(std::string_view(reply.text).substr(4));
        }
    }
    entry.name = path.substr(path.rfind('/') + 1);
    lastError_ = 0;
    return entry;
}

void CurlFtpConnection::FillTimes(const std::string& folder, std::vector<RemoteEntry>& entries) {
    // A login of its own pays off from a few files on; MLSD gave the times already.
    constexpr std::size_t kWorthALogin = 4;
    const auto untimed = std::count_if(entries.begin(), entries.end(), [](const RemoteEntry& entry) {
        return !entry.isFolder && !entry.isLink && !entry.modified;
    });
    const bool folders =
        std::any_of(entries.begin(), entries.end(), [](const RemoteEntry& entry) { return entry.isFolder; });
    // A server that answered FEAT without MDTM would refuse every one of them.
    if (features_.mlsd || (!featReply_.empty() && !features_.mdtm) ||
        (!times_ && !folders && static_cast<std::size_t>(untimed) < kWorthALogin)) {
        return;
    }
    // A tree is coming: its login starts now, while the folders are listed.
    if (!times_) {
        times_ = TimeChannel::For(params_);
        times_->Open();
    }
    if (untimed > 0) {
        times_->Fill(ResolvePath(folder_, folder), entries, params_.stopRequested);
    }
}

bool CurlFtpConnection::GetCurrentDirectory(std::string& folder) {
    folder = folder_;
    lastError_ = 0;
    return true;
}

bool CurlFtpConnection::SetCurrentDirectory(const std::string& folder) {
    if (Refuse(folder) || !EnsureConnected()) {
        return false;
    }
    const std::string target = ResolvePath(folder_, folder);
    if (!SendQuote("CWD " + target)) {
        return false;
    }
    folder_ = target;
    serverFolder_ = target;
    return true;
}

bool CurlFtpConnection::CreateDirectory(const std::string& folder) {
    if (Refuse(folder) || !EnsureConnected()) {
        return false;
    }
    return SendQuote("MKD " + ResolvePath(folder_, folder));
}

bool CurlFtpConnection::List(const std::string& folder, std::vector<RemoteEntry>& entries) {
    entries.clear();
    if (Refuse(folder) || !EnsureConnected()) {
        return false;
    }
    std::string path = ResolvePath(folder_, folder);
    if (path.back() != '/') {
        path += '/';
    }
    // LIST names the folder itself with its trailing slash, which curl would cut: vsftpd lists
    // a folder it cannot open as a one-name filter on its parent, the folder's own entry.
    const std::string list = "LIST " + path;
    for (;;) {
        Request request;
        request.urlPath = features_.mlsd ? UrlPath(path) : "/";
        request.customRequest = features_.mlsd ? "MLSD" : list.c_str();
        std::string body;
        collect_ = &body;
        const CURLcode result = Perform(request);
        collect_ = nullptr;
        if (result == CURLE_OK && IsFailedListing(lastReply_)) {
            RememberFailure(kExtendedError);
            return false;
        }
        if (result == CURLE_OK) {
            entries = ParseListing(body, features_.mlsd);
            lastError_ = 0;
            return true;
        }
        // A server that announced MLST but does not know MLSD after all gets LIST from now on.
        if (features_.mlsd && (lastReply_.code == 500 || lastReply_.code == 502)) {
            features_.mlsd = false;
            if (!EnsureConnected()) {
                return false;
            }
            continue;
        }
        RememberFailure(CodeFor(result));
        return false;
    }
}

bool CurlFtpConnection::Command(const std::string& command, bool expectData, std::string* data) {
    if (data != nullptr) {
        data->clear();
    }
    if (Refuse(command) || !EnsureConnected() || !EnsureServerFolder()) {
        return false;
    }
    if (!expectData) {
        if (!SendQuote(command)) {
            return false;
        }
        if (StartsWithNoCase(command, "TYPE")) {
            retypeNeeded_ = true;
        }
        // A script may move the server's folder; follow it so relative names keep working.
        if (StartsWithNoCase(command, "CWD ") || StartsWithNoCase(command, "XCWD ") ||
            StartsWithNoCase(command, "CDUP") || StartsWithNoCase(command, "XCUP")) {
            std::uint32_t code = 0;
            ServerReply pwd;
            if (QuietQuote("PWD", code, pwd) && code == 257) {
                const std::string now = FolderOf257(pwd.text);
                if (!now.empty() && now.front() == '/') {
                    folder_ = serverFolder_ = now;
                }
            }
        }
        return true;
    }
    // The reply body comes on a data connection, like a listing's: a LIST-type request whose
    // verb is the command. The empty URL path keeps curl from adding a folder argument.
    Request request;
    request.urlPath = "/";
    request.customRequest = command.c_str();
    std::string body;
    collect_ = &body;
    const CURLcode result = Perform(request);
    collect_ = nullptr;
    if (result == CURLE_OK) {
        if (data != nullptr) {
            *data = std::move(body);
        }
        lastError_ = 0;
        return true;
    }
    // Some commands answer on the control connection alone (STAT, HELP): that is a success.
    if (!replies_.empty() && replies_.back().code >= 200 && replies_.back().code < 300) {
        lastError_ = 0;
        return true;
    }
    RememberFailure(CodeFor(result));
    return false;
}

}  // namespace bxfr::engine
