// The FTP connection's set-up: TLS and its session, login and reconnecting, and turning curl's
// results into the engine's codes.

#include "engine/ftp/curl_ftp_connection.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/error_texts.h"
#include "engine/fingerprints.h"
#include "engine/ftp/ftp_adapter.h"
#include "job/server_address.h"
#include "job/text_encoding.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

CurlFtpConnection::CurlFtpConnection(const LoginParams& params)
    : params_(params), multi_(curl_multi_init()), easy_(curl_easy_init()) {
    if (!easy_ || !multi_) {
        throw InternetError(12001, "Out of handles");
    }
    const bool literalV6 = params_.server.find(':') != std::string::npos && params_.server.front() != '[';
    baseUrl_ = std::string(params_.protocol == job::Protocol::Ftps ? "ftps://" : "ftp://") +
               (literalV6 ? "[" + params_.server + "]" : params_.server) + ":" + std::to_string(params_.port);
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, UsesTls() ? "ftp,ftps" : "ftp");
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlFtpConnection::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &CurlFtpConnection::OnRead);
    curl_easy_setopt(h, CURLOPT_READDATA, this);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CurlFtpConnection::OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    if (!params_.userName.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, params_.userName.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, params_.password.c_str());
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(params_.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(params_.idleTimeout.count()));
    curl_easy_setopt(h, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(params_.idleTimeout.count() * 1000));
    // Keep-alive probes on the control connection while a long transfer leaves it quiet, so that
    // routers which forget idle flows after minutes keep it (and on the data connections too).
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 60L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(params_.idleTimeout.count()));
    // Absolute paths on every command: no CWD per file, and the server's folder does not matter.
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024L);
    // A SOCKS proxy carries connections out, never in: active mode cannot pass it.
    const std::optional<job::ProxyAddress> proxy = job::ParseProxyAddress(params_.proxy);
    if (params_.passive || (proxy && proxy->socks)) {
        curl_easy_setopt(h, CURLOPT_FTP_USE_EPSV, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
        curl_easy_setopt(h, CURLOPT_FTP_USE_EPRT, 1L);
    }
    SetTunnelProxy(h, params_.proxy, proxyUrl_);
    if (UsesTls()) {
        SetUpTls();
    }
}

void CurlFtpConnection::SetUpTls() {
    CURL* h = easy_.get();
    peerCheck_.host = params_.server;
    peerCheck_.pin = NormalFingerprint(params_.fingerprint);
    // TLS on the control connection and on every data connection, never plain as a fallback.
    curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(h, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    // A pinned certificate stands for itself; otherwise curl checks the name as well as we do.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, peerCheck_.pin.empty() ? 2L : 0L);
    // Data connections resume the control connection's session: many servers insist on it.
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    // Without the hook the certificate cannot be checked before the login: no TLS at all then.
    if (curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &CurlFtpConnection::OnSslContext) != CURLE_OK) {
        throw InternetError(kSecurityChannelError,
                            WinInetErrorName(kSecurityChannelError) +
                                ": this build's TLS library cannot check server certificates");
    }
}

CURLcode CurlFtpConnection::OnSslContext(CURL*, void* sslContext, void* self) {
    InstallPeerCheck(sslContext, &static_cast<CurlFtpConnection*>(self)->peerCheck_);
    return CURLE_OK;
}

// With TLS 1.3 a server gives out its session tickets after the handshake, and libcurl takes
// them in only from connections it reads: a connection that stores a file leaves its fresh
// ticket unread, so once the control connection's tickets are spent, the next data connection
// cannot resume the session, and a server that insists on resumption refuses it (vsftpd's
// require_ssl_reuse with 522, ProFTPD's mod_tls with 425). TLS 1.2 resumes from the one control
// session as often as needed; the session is made again with it, and the failure is one the
// walks try again. Told by what happened, not by the words: a refusal after a data connection
// whose handshake did not resume.
void CurlFtpConnection::RaiseIfSessionSpent() {
    const int code = lastReply_.code;
    if (!tls13_ || tls12Only_ || peerCheck_.resumed != false ||
        (code != 522 && (code < 400 || code >= 500))) {
        return;
    }
    tls12Only_ = true;
    freshConnection_ = true;
    connected_ = false;
    // The TLS 1.3 control connection stays in curl's cache, and curl would pick it again for
    // the next request: a server that kept it open (ProFTPD) holds the data to its session.
    multi_.reset(curl_multi_init());
    curl_easy_setopt(
        easy_.get(), CURLOPT_SSLVERSION,
        static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    RaiseWithText(kConnectionAborted,
                  "the server refused a data connection that could not resume the TLS 1.3 session (" +
                      lastReply_.text + "); the connection is made again with TLS 1.2");
}

void CurlFtpConnection::RaiseIfTlsRefused(CURLcode result) {
    if (!UsesTls()) {
        return;
    }
    if (result == CURLE_USE_SSL_FAILED) {
        RaiseWithText(kSecurityChannelError,
                      "the server does not offer FTP over TLS (it refused AUTH TLS); nothing was sent "
                      "in clear, the login included");
    }
    // Only this handshake's own check makes it a question of trust; a server that wants a
    // client certificate or a TLS version we refuse is asked nothing by trusting it again.
    if (!peerCheck_.refused || !peerCheck_.presented) {
        const bool handshakeFailed = result == CURLE_PEER_FAILED_VERIFICATION ||
                                     result == CURLE_SSL_CONNECT_ERROR || !peerCheck_.alert.empty();
        if (handshakeFailed) {
            std::string reason = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(result);
            if (!peerCheck_.alert.empty() && reason.find(peerCheck_.alert) == std::string::npos) {
                reason += " (the server ended it with: " + peerCheck_.alert + ")";
            }
            RaiseWithText(kSecurityChannelError, "the TLS handshake with the server failed: " + reason);
        }
        return;
    }
    ServerCertificate certificate = *peerCheck_.presented;
    if (certificate.whyUntrusted.empty()) {
        certificate.whyUntrusted = errorText_[0] != '\0' ? errorText_ : "it could not be verified";
    }
    lastError_ = kInvalidCertificate;
    lastReply_ = ServerReply{0, "The server's certificate is not trusted: " + certificate.whyUntrusted +
                                    ". " + certificate.fingerprint};
    ThreadLastReply() = lastReply_;
    throw CertificateError(certificate, WinInetErrorName(kInvalidCertificate) + ": " + lastReply_.text);
}

CurlFtpConnection::~CurlFtpConnection() {
    // curl says QUIT on cleanup; its reply must not replace the one the caller may still report.
    closing_ = true;
    easy_.reset();
    multi_.reset();
}

CURLcode CurlFtpConnection::Perform(const Request& request) {
    CURL* h = easy_.get();
    const std::string url = baseUrl_ + request.urlPath;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_UPLOAD, request.upload ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, request.nobody ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, request.ascii ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.customRequest);
    curl_easy_setopt(h, CURLOPT_QUOTE, request.quote);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(h, CURLOPT_APPEND, request.upload && request.restartAt > 0 ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_IGNORE_CONTENT_LENGTH, request.sizeKnown ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE,
                     request.upload ? curl_off_t{0} : static_cast<curl_off_t>(request.restartAt));
    Slist retype;
    if (retypeNeeded_ && !request.nobody && !request.urlPath.ends_with('/')) {
        retype = MakeSlist({request.ascii ? "TYPE A" : "TYPE I"});
        retypeNeeded_ = false;
    }
    curl_easy_setopt(h, CURLOPT_PREQUOTE, retype.get());
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, std::exchange(freshConnection_, false) ? 1L : 0L);
    errorText_[0] = '\0';
    peerCheck_.resumed.reset();
    replies_.clear();
    reader_.Reset();
    callbackError_ = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;
    const CURLcode result = RunTransferOn(multi_.get(), h, socket);
    curl_easy_setopt(h, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_PREQUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
    NoteConnectionState(socket);
    return result;
}

// curl drops the control connection after most failures and would quietly log in again on the
// next request; noticing it here lets the next request redo the session set-up too.
void CurlFtpConnection::NoteConnectionState(curl_socket_t socket) {
    if (socket == CURL_SOCKET_BAD) {
        connected_ = false;
        return;
    }
    // curl also logs in again by itself when it finds the old connection dead on reuse; the
    // new session starts in the login folder and without our options.
    const bool loggedInAgain = std::any_of(replies_.begin(), replies_.end(),
                                           [](const ServerReply& reply) { return reply.code == 230; });
    if (connected_ && loggedInAgain) {
        ++logins_;
        serverFolder_ = EntryPath();
        optionsPending_ = features_.utf8;
    }
}

std::string CurlFtpConnection::EntryPath() {
    char* entry = nullptr;
    if (curl_easy_getinfo(easy_.get(), CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry != nullptr &&
        entry[0] == '/') {
        return entry;
    }
    return "/";
}

std::uint32_t CurlFtpConnection::LoginFailureCode(CURLcode result) const {
    const auto refused = std::find_if(replies_.begin(), replies_.end(),
                                      [](const ServerReply& reply) { return IsRefusal(reply.code); });
    if (refused == replies_.end()) {
        return InternetCodeFor(result);
    }
    const auto index = refused - replies_.begin();
    // Replies in order: greeting, the answer to USER, then (after 331) the answer to PASS.
    if (refused->code == 530 && index >= 2 && replies_[index - 1].code == 331) {
        return kIncorrectPassword;
    }
    if (refused->code == 530 && index == 1) {
        return kIncorrectUserName;
    }
    return kLoginFailure;
}

void CurlFtpConnection::Login() {
    Request request;
    request.nobody = true;
    peerCheck_.refused = false;
    peerCheck_.alert.clear();
    const CURLcode result = Perform(request);
    if (result != CURLE_OK) {
        RaiseIfTlsRefused(result);
        const bool refused = result == CURLE_LOGIN_DENIED || result == CURLE_WEIRD_SERVER_REPLY ||
                             result == CURLE_FTP_WEIRD_PASS_REPLY || ClosedByServer(result);
        const std::uint32_t code = refused ? LoginFailureCode(result) : InternetCodeFor(result);
        if (!params_.proxy.empty() && replies_.empty()) {
            // The server said nothing: the way there is what failed, and the user set it.
            const std::string detail = "through the proxy " + params_.proxy + ": " +
                                       (errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(result));
            std::snprintf(errorText_, sizeof errorText_, "%s", detail.c_str());
        }
        Raise(code);
    }
    const auto login = std::find_if(replies_.rbegin(), replies_.rend(), [](const ServerReply& reply) {
        return reply.code == 230 || reply.code == 202;
    });
    const ServerReply loginReply = login != replies_.rend() ? *login : lastReply_;
    connected_ = true;
    ++logins_;
    stoppable_ = false;
    serverFolder_ = EntryPath();

    if (!featuresKnown_) {
        featuresKnown_ = true;
        folder_ = serverFolder_;
        // Another login of the run asked already: the same server offers the same.
        std::uint32_t code = 0;
        if (!params_.serverTraits.empty()) {
            featReply_ = params_.serverTraits;
        } else if (Quote("FEAT", code) && code == 211) {
            featReply_ = lastReply_.text;
        }
        features_ = ParseFeatures(featReply_);
    }
    if (features_.utf8) {
        std::uint32_t code = 0;
        Quote("OPTS UTF8 ON", code);
    }
    // The caller reports the server's answer to the login, as the platform library leaves it.
    lastReply_ = loginReply;
    ThreadLastReply() = loginReply;
    lastError_ = 0;
}

// A connection that curl had to drop is set up again before the next request.
bool CurlFtpConnection::EnsureConnected() {
    if (deadCode_ != 0) {
        lastError_ = deadCode_;
        lastReply_ = deadReply_;
        ThreadLastReply() = deadReply_;
        return false;
    }
    if (connected_) {
        if (optionsPending_) {
            optionsPending_ = false;
            const ServerReply before = lastReply_;
            std::uint32_t code = 0;
            Quote("OPTS UTF8 ON", code);
            lastReply_ = before;
            ThreadLastReply() = before;
        }
        return true;
    }
    try {
        Login();
        return true;
    } catch (const InternetError& error) {
        // A refused login stays refused; a server that could not be reached may be back for
        // the next request.
        const std::uint32_t code = error.code();
        if (code == kIncorrectUserName || code == kIncorrectPassword || code == kLoginFailure ||
            code == kInvalidCertificate || code == kSecurityChannelError) {
            deadCode_ = code;
            deadReply_ = lastReply_;
        }
        if (dynamic_cast<const CertificateError*>(&error) != nullptr) {
            refusedCertificate_ = std::current_exception();
        }
        lastError_ = code;
        return false;
    }
}

std::uint32_t CurlFtpConnection::CurrentLogin() {
    if (EnsureConnected()) {
        return logins_;
    }
    // Another certificate on the new login is the user's question, as on the first login.
    if (refusedCertificate_) {
        std::rethrow_exception(refusedCertificate_);
    }
    return 0;
}

// curl reports the server's "421 closing control connection" as a timeout of its own.
bool CurlFtpConnection::ClosedByServer(CURLcode result) const {
    return result == CURLE_OPERATION_TIMEDOUT && !replies_.empty() && replies_.back().code == 421;
}

std::uint32_t CurlFtpConnection::CodeFor(CURLcode result) const {
    if (result == CURLE_LOGIN_DENIED) {
        return LoginFailureCode(result);
    }
    if (ClosedByServer(result)) {
        return kExtendedError;
    }
    return InternetCodeFor(result);
}

void CurlFtpConnection::RememberFailure(std::uint32_t code) { lastError_ = code; }

bool CurlFtpConnection::Refuse(std::string_view text) {
    if (!job::HoldsLineBreak(text)) {
        return false;
    }
    lastError_ = kInvalidOperation;
    lastReply_ = ServerReply{0, kInjectionRefusal};
    ThreadLastReply() = lastReply_;
    return true;
}

void CurlFtpConnection::RefuseOrThrow(std::string_view text) {
    if (Refuse(text)) {
        throw InternetError(kInvalidOperation, ErrorMessage(kInvalidOperation, lastReply_, nullptr));
    }
}

void CurlFtpConnection::ThrowIfCallbackFailed() {
    if (callbackError_) {
        std::rethrow_exception(std::exchange(callbackError_, nullptr));
    }
}

void CurlFtpConnection::Raise(std::uint32_t code) {
    lastError_ = code;
    throw InternetError(code, ErrorMessage(code, lastReply_, errorText_));
}

void CurlFtpConnection::RaiseWithText(std::uint32_t code, const std::string& text) {
    lastError_ = code;
    lastReply_ = ServerReply{0, text};
    ThreadLastReply() = lastReply_;
    throw InternetError(code, WinInetErrorName(code) + ": " + text);
}

std::unique_ptr<Connection> OpenFtpConnection(const LoginParams& params) {
    EnsureCurlInitialised();
    auto connection = std::make_unique<CurlFtpConnection>(params);
    connection->Login();
    return connection;
}

}  // namespace bxfr::engine
