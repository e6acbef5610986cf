// The SFTP connection's set-up, login and file operations, answered in FTP's terms.

#include "engine/sftp/curl_sftp_connection.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <utility>

#include "engine/error_texts.h"
#include "engine/ftp/ftp_listing.h"
#include "engine/ftp/ftp_replies.h"
#include "engine/sftp/sftp_adapter.h"
#include "engine/sftp/sftp_commands.h"
#include "engine/sftp/ssh_host_keys.h"
#include "job/text_encoding.h"

namespace bxfr::engine {

namespace {

constexpr std::uint32_t kConnectionReset = 12031;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

std::string UrlOf(const std::string& absolutePath) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : absolutePath) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

// The date form curl's mtime command reads, in English whatever the locale.
std::string HttpDate(std::int64_t unixSeconds) {
    static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t when = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday % 7],
                  parts.tm_mday, kMonths[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}

}  // namespace

CurlSftpConnection::CurlSftpConnection(const LoginParams& params)
    : params_(params), multi_(curl_multi_init()), easy_(curl_easy_init()) {
    if (!easy_ || !multi_) {
        throw InternetError(12001, "Out of handles");
    }
    const bool literalV6 = params_.server.find(':') != std::string::npos && params_.server.front() != '[';
    baseUrl_ = "sftp://" + (literalV6 ? "[" + params_.server + "]" : params_.server) + ":" +
               std::to_string(params_.port);
    knownHosts_ = params_.knownHosts.empty() ? DefaultKnownHostsFile() : params_.knownHosts;
    // "~/.ssh/id_ed25519" as people write it; libssh2 takes the path as it is.
    if (params_.keyFile.starts_with("~/") && !UserHomeFolder().empty()) {
        params_.keyFile = UserHomeFolder() + params_.keyFile.substr(1);
    }
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "sftp");
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlSftpConnection::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlSftpConnection::OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &CurlSftpConnection::OnRead);
    curl_easy_setopt(h, CURLOPT_READDATA, this);
    // A resumed upload's source starts at the resume point already: nothing to skip.
    curl_easy_setopt(
        h, CURLOPT_SEEKFUNCTION, +[](void*, curl_off_t, int) { return CURL_SEEKFUNC_OK; });
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CurlSftpConnection::OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_USERNAME, params_.userName.c_str());
    long methods = 0;
    if (!params_.keyFile.empty()) {
        // The password is the key's passphrase: it must never reach the server as a password.
        curl_easy_setopt(h, CURLOPT_SSH_PRIVATE_KEYFILE, params_.keyFile.c_str());
        curl_easy_setopt(h, CURLOPT_KEYPASSWD, params_.password.c_str());
        methods = CURLSSH_AUTH_PUBLICKEY;
    } else {
        curl_easy_setopt(h, CURLOPT_PASSWORD, params_.password.c_str());
        methods = CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD;
    }
    if (const char* agent = std::getenv("SSH_AUTH_SOCK"); agent != nullptr && *agent != '\0') {
        methods |= CURLSSH_AUTH_AGENT;
    }
    curl_easy_setopt(h, CURLOPT_SSH_AUTH_TYPES, methods);
    // The key is checked here, before any authentication; see OnHostKey. A libcurl whose SSH
    // library offers no such hook cannot be used at all: it would log in to any server.
    if (curl_easy_setopt(h, CURLOPT_SSH_HOSTKEYFUNCTION, &CurlSftpConnection::OnHostKey) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_SSH_HOSTKEYDATA, this) != CURLE_OK) {
        throw InternetError(kSecurityChannelError, WinInetErrorName(kSecurityChannelError) +
                                                       ": this build's SSH library cannot check host keys");
    }
    knownLines_ = ReadKnownLines();
    // A pin stands for a key of the type the server offers first; see LogInWith.
    if (params_.fingerprint.empty()) {
        AskForKnownKeyType();
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(params_.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(params_.idleTimeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(params_.idleTimeout.count()));
    // Without any overall limit libcurl's SSH code waits for replies it blocks on (the close of
    // every file) by polling in a busy loop; with one it sleeps on the socket. Far beyond any
    // transfer, and within a 32-bit long: the idle watchdog is what ends a stalled call.
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 24L * 24 * 60 * 60 * 1000);
    // Larger buffers let libssh2 keep more SFTP reads and writes in flight.
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 2L * 1024L * 1024L);
    SetTunnelProxy(h, params_.proxy, proxyUrl_);
}

CurlSftpConnection::~CurlSftpConnection() { DropKnownKeyType(); }

void CurlSftpConnection::Login() {
    if (!params_.keyFile.empty()) {
        std::ifstream key(params_.keyFile, std::ios::binary);
        if (!key) {
            Record(kLoginFailure,
                   ServerReply{0, "The private key file " + params_.keyFile + " cannot be read."});
            throw InternetError(kLoginFailure, WinInetErrorName(kLoginFailure) + ": " + lastReply_.text);
        }
    }
    Slist pwd = MakeSlist({"pwd"});
    Request request;
    request.path = "/~/";
    request.nobody = true;
    request.quote = pwd.get();
    const CURLcode result = LogInWith(request);
    if (result == CURLE_OK && !presented_) {
        // The hook did not run: nothing says whose server this is.
        Record(
            kSecurityChannelError,
            ServerReply{0, "The SSH library did not show the server's host key, so it cannot be checked."});
        throw InternetError(kSecurityChannelError,
                            WinInetErrorName(kSecurityChannelError) + ": " + lastReply_.text);
    }
    if (result != CURLE_OK) {
        if (hostKeyRefused_ && presented_) {
            RaiseForHostKey();
        }
        if (result == CURLE_LOGIN_DENIED) {
            const std::string how = params_.keyFile.empty() ? "the user name or password is wrong"
                                                            : "the key " + params_.keyFile +
                                                                  " was refused, or its passphrase is wrong";
            Record(kIncorrectPassword, ServerReply{530, "530 The server refused the login: " + how + "."});
            throw InternetError(kIncorrectPassword, ErrorMessage(kIncorrectPassword, lastReply_, errorText_));
        }
        Raise(result);
    }
    const std::size_t start = headers_.find("257 ");
    const std::string home = start == std::string::npos ? std::string() : FolderOf257(headers_.substr(start));
    folder_ = home.empty() ? "/" : ResolvePath("/", home);
    security_ = "SSH: host key " + presented_.value_or(ServerCertificate{}).keyType + " " +
                presented_.value_or(ServerCertificate{}).fingerprint;
    Succeed(230, "230 Logged in over SSH.");
}

CURLcode CurlSftpConnection::LogInWith(const Request& request) {
    presented_.reset();
    CURLcode result = Perform(request);
    const bool handshakeFailed = (result == CURLE_FAILED_INIT || result == CURLE_SSH) && !presented_;
    if (handshakeFailed && usingHints_) {
        // The server no longer has a key of the type known_hosts lists: it shows the one it has,
        // which known_hosts then calls changed.
        DropKnownKeyType();
        return Perform(request);
    }
    const bool pinMissed =
        result != CURLE_OK && hostKeyRefused_ && presented_ && presented_->pinnedIn == "FINGERPRINT";
    if (pinMissed && !usingHints_ && AskForKnownKeyType()) {
        // The pinned key may be of the type known_hosts lists rather than the server's first.
        const ServerCertificate first = *presented_;
        result = Perform(request);
        if (result != CURLE_OK && !presented_) {
            presented_ = first;
            hostKeyRefused_ = true;
        }
        if (result != CURLE_OK) DropKnownKeyType();
    }
    return result;
}

std::string CurlSftpConnection::Resolve(const std::string& path) const { return ResolvePath(folder_, path); }

CURLcode CurlSftpConnection::Perform(const Request& request) {
    CURL* h = easy_.get();
    const std::string url = baseUrl_ + (request.path == "/~/" ? request.path : UrlOf(request.path));
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_UPLOAD, request.upload ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, request.nobody ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_FILETIME, request.fileTime ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_QUOTE, request.quote);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    // Both ways a resume starts at restartAt in the remote file; an upload's source is there already.
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(request.restartAt));
    if (!request.nobody || request.quote != nullptr) {
        listedPath_.clear();  // anything may have changed the folder since
    }
    if (request.upload || request.quote != nullptr) {
        timedPath_.clear();
    }
    errorText_[0] = '\0';
    headers_.clear();
    callbackError_ = nullptr;
    lastMoved_ = -1;
    lastMovedAt_ = std::chrono::steady_clock::now();
    idleTimedOut_ = false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    const CURLcode result = RunTransferOn(multi_.get(), h, socket);
    curl_easy_setopt(h, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
    connectionLost_ = result != CURLE_OK && socket == CURL_SOCKET_BAD;
    // curl connects and logs in again by itself after a lost connection; a login that failed
    // leaves no connection behind.
    long connects = 0;
    if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0 &&
        socket != CURL_SOCKET_BAD) {
        ++logins_;
    }
    return result;
}

std::uint32_t CurlSftpConnection::CurrentLogin() {
    if (connectionLost_) {
        // Any request logs in again; this one changes nothing, not even the last reply.
        const ServerReply reply = lastReply_;
        const std::uint32_t error = lastError_;
        if (!Quote({"pwd"})) {
            if (hostKeyRefused_ && presented_) {
                RaiseForHostKey();
            }
            return 0;
        }
        Record(error, reply);
    }
    return logins_;
}

std::uint32_t CurlSftpConnection::CodeFor(CURLcode result) const {
    if (idleTimedOut_) {
        return kTimeout;
    }
    switch (result) {
        case CURLE_SSH:
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR:
            // One error for a refused operation and for a session that broke: only whether the
            // connection survived tells them apart.
            return connectionLost_ ? kConnectionAborted : kExtendedError;
        case CURLE_FAILED_INIT:
            // libcurl's word for an SSH handshake that failed: no common key type or cipher.
            return kSecurityChannelError;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return connectionLost_ ? kConnectionAborted : kConnectionReset;
        default:
            return InternetCodeFor(result);
    }
}

bool CurlSftpConnection::Fail(CURLcode result) {
    const std::uint32_t error = CodeFor(result);
    const std::string detail = idleTimedOut_ ? "the server sent nothing for " +
                                                   std::to_string(params_.idleTimeout.count()) + " seconds"
                               : *errorText_ != '\0' ? errorText_
                                                     : curl_easy_strerror(result);
    const int code = error != kExtendedError ? 0 : result == CURLE_REMOTE_DISK_FULL ? 552 : 550;
    Record(error, ServerReply{code, code == 0 ? detail : std::to_string(code) + " " + detail});
    return false;
}

void CurlSftpConnection::Raise(CURLcode result) {
    ThrowIfCallbackFailed();
    Fail(result);
    throw InternetError(lastError_, ErrorMessage(lastError_, lastReply_, errorText_));
}

void CurlSftpConnection::Record(std::uint32_t error, ServerReply reply) {
    lastError_ = error;
    lastReply_ = std::move(reply);
    ThreadLastReply() = lastReply_;
}

bool CurlSftpConnection::Refuse(const std::string& text) {
    if (!job::HoldsLineBreak(text)) {
        return false;
    }
    Record(kInvalidOperation, ServerReply{0, kInjectionRefusal});
    return true;
}

void CurlSftpConnection::ThrowIfCallbackFailed() {
    if (callbackError_) {
        std::rethrow_exception(std::exchange(callbackError_, nullptr));
    }
}

bool CurlSftpConnection::Quote(std::initializer_list<std::string> commands) {
    curl_slist* list = nullptr;
    for (const std::string& command : commands) {
        list = curl_slist_append(list, command.c_str());
    }
    Slist owned(list);
    Request request;
    request.nobody = true;
    request.quote = owned.get();
    const CURLcode result = Perform(request);
    if (result != CURLE_OK) {
        return Fail(result);
    }
    Succeed();
    return true;
}

bool CurlSftpConnection::GetCurrentDirectory(std::string& folder) {
    folder = folder_;
    Succeed(257, "257 \"" + folder_ + "\" is current directory.");
    return true;
}

bool CurlSftpConnection::IsFolder(const std::string& path, bool& connectionLost) {
    std::string body;
    collect_ = &body;
    Request request;
    request.path = path == "/" ? path : path + "/";
    const CURLcode result = Perform(request);
    collect_ = nullptr;
    connectionLost = result != CURLE_OK && CodeFor(result) != kExtendedError;
    if (result != CURLE_OK) {
        Fail(result);
        return false;
    }
    // The walk that follows entering a folder lists it first: it need not wait for it twice.
    listedPath_ = request.path;
    listed_ = std::move(body);
    return true;
}

bool CurlSftpConnection::SetCurrentDirectory(const std::string& folder) {
    if (Refuse(folder)) return false;
    const std::string path = Resolve(folder);
    bool lost = false;
    if (!IsFolder(path, lost)) return false;
    folder_ = path;
    Succeed(250, "250 Folder is now " + path + ".");
    return true;
}

bool CurlSftpConnection::CreateDirectory(const std::string& folder) {
    return !Refuse(folder) && Quote({"mkdir " + SftpQuoted(Resolve(folder))});
}

bool CurlSftpConnection::Rename(const std::string& from, const std::string& to) {
    return !Refuse(from) && !Refuse(to) &&
           Quote({"rename " + SftpQuoted(Resolve(from)) + " " + SftpQuoted(Resolve(to))});
}

bool CurlSftpConnection::Delete(const std::string& name) {
    return !Refuse(name) && Quote({"rm " + SftpQuoted(Resolve(name))});
}

bool CurlSftpConnection::FileSize(const std::string& name, std::uint64_t& size) {
    if (Refuse(name)) return false;
    const std::string path = Resolve(name);
    // Opening a folder for reading succeeds on many servers, and its "size" is no file's.
    bool lost = false;
    if (IsFolder(path, lost)) {
        Record(kExtendedError, ServerReply{550, "550 " + path + " is a folder."});
        return false;
    }
    if (lost) return false;
    Request request;
    request.path = path;
    request.nobody = true;
    const CURLcode result = Perform(request);
    curl_off_t length = -1;
    if (result != CURLE_OK) return Fail(result);
    curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) {
        Record(kExtendedError, ServerReply{550, "550 The server did not tell the size of " + path + "."});
        return false;
    }
    size = static_cast<std::uint64_t>(length);
    Succeed(213, "213 " + std::to_string(size));
    return true;
}

bool CurlSftpConnection::GetModificationTime(const std::string& name, std::int64_t& unixSeconds) {
    if (Refuse(name)) return false;
    const std::string path = Resolve(name);
    if (path == timedPath_ && timedSeconds_ >= 0) {
        unixSeconds = timedSeconds_;
        Succeed(213, "213 " + FormatFtpTime(timedSeconds_));
        return true;
    }
    Request request;
    request.path = path;
    request.nobody = true;
    request.fileTime = true;
    const CURLcode result = Perform(request);
    if (result != CURLE_OK) return Fail(result);
    curl_off_t seconds = -1;
    curl_easy_getinfo(easy_.get(), CURLINFO_FILETIME_T, &seconds);
    if (seconds < 0) {
        Record(kExtendedError, ServerReply{550, "550 The server did not tell the time of " + path + "."});
        return false;
    }
    unixSeconds = seconds;
    Succeed(213, "213 " + FormatFtpTime(seconds));
    return true;
}

bool CurlSftpConnection::SetModificationTime(const std::string& name, std::int64_t unixSeconds) {
    return !Refuse(name) &&
           Quote({"mtime " + SftpQuoted(HttpDate(unixSeconds)) + " " + SftpQuoted(Resolve(name))});
}

bool CurlSftpConnection::List(const std::string& folder, std::vector<RemoteEntry>& entries) {
    entries.clear();
    if (Refuse(folder)) return false;
    std::string path = Resolve(folder);
    if (path.back() != '/') path += '/';
    if (path == listedPath_) {
        entries = ParseListing(listed_, false);
        listedPath_.clear();
        Succeed(226, "226 Listed " + path);
        return true;
    }
    std::string body;
    collect_ = &body;
    Request request;
    request.path = path;
    const CURLcode result = Perform(request);
    collect_ = nullptr;
    if (result != CURLE_OK) return Fail(result);
    entries = ParseListing(body, false);
    Succeed(226, "226 Listed " + path);
    return true;
}

bool CurlSftpConnection::Command(const std::string& command, bool, std::string* data) {
    if (data != nullptr) data->clear();
    if (Refuse(command)) return false;
    std::vector<std::string> words;
    if (SplitWords(command, words) && words.size() == 1 && Lower(words.front()) == "pwd") {
        return GetCurrentDirectory(words.front());
    }
    const std::optional<std::string> sftp = SftpCommandFor(command, folder_);
    if (!sftp) {
        Record(kExtendedError,
               ServerReply{500,
                           "500 SFTP has no command like \"" + command +
                               "\". It knows chmod, chown, chgrp, atime, mtime, ln, symlink, rename, mkdir, "
                               "rmdir, rm, statvfs and pwd, each with its arguments."});
        return false;
    }
    if (!Quote({*sftp})) return false;
    // statvfs answers as curl's header lines.
    if (data != nullptr) *data = headers_;
    return true;
}

std::size_t CurlSftpConnection::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    static_cast<CurlSftpConnection*>(self)->headers_.append(data, size * count);
    return size * count;
}

std::unique_ptr<Connection> OpenSftpConnection(const LoginParams& params) {
    if (params.userName.empty()) {
        ThreadLastReply() = ServerReply{0, "SFTP has no anonymous login: the account needs a user name."};
        throw InternetError(kIncorrectUserName, ErrorMessage(kIncorrectUserName, ThreadLastReply(), nullptr));
    }
    EnsureCurlInitialised();
    auto connection = std::make_unique<CurlSftpConnection>(params);
    connection->Login();
    return connection;
}

}  // namespace bxfr::engine
