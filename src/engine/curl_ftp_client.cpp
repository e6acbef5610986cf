#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <string_view>
#include <utility>

#include "engine/error_texts.h"
#include "engine/ftp_client.h"
#include "engine/ftp_listing.h"
#include "job/text_encoding.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

namespace {

constexpr std::uint32_t kTimeout = 12002;
constexpr std::uint32_t kExtendedError = 12003;
constexpr std::uint32_t kInternalError = 12004;
constexpr std::uint32_t kNameNotResolved = 12007;
constexpr std::uint32_t kIncorrectUserName = 12013;
constexpr std::uint32_t kIncorrectPassword = 12014;
constexpr std::uint32_t kLoginFailure = 12015;
constexpr std::uint32_t kInvalidOperation = 12016;

// How curl's results read as the internet error codes the engine reports. Login refusals
// are told apart by the adapter, which knows which command the server refused.
struct CurlCodeEntry {
    CURLcode result;
    std::uint32_t code;
};

constexpr CurlCodeEntry kCurlCodes[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, 12006},
    {CURLE_URL_MALFORMAT, 12005},
    {CURLE_COULDNT_RESOLVE_PROXY, 12165},
    {CURLE_COULDNT_RESOLVE_HOST, 12007},
    {CURLE_COULDNT_CONNECT, 12029},
    {CURLE_WEIRD_SERVER_REPLY, 12003},
    {CURLE_REMOTE_ACCESS_DENIED, 12003},
    {CURLE_FTP_ACCEPT_FAILED, 12029},
    {CURLE_FTP_WEIRD_PASS_REPLY, 12015},
    {CURLE_FTP_ACCEPT_TIMEOUT, 12002},
    {CURLE_FTP_WEIRD_PASV_REPLY, 12112},
    {CURLE_FTP_WEIRD_227_FORMAT, 12112},
    {CURLE_FTP_CANT_GET_HOST, 12029},
    {CURLE_FTP_COULDNT_SET_TYPE, 12003},
    {CURLE_PARTIAL_FILE, 12030},
    {CURLE_FTP_COULDNT_RETR_FILE, 12003},
    {CURLE_QUOTE_ERROR, 12003},
    {CURLE_HTTP_RETURNED_ERROR, 12003},
    {CURLE_WRITE_ERROR, 12004},
    {CURLE_UPLOAD_FAILED, 12003},
    {CURLE_READ_ERROR, 12004},
    {CURLE_OUT_OF_MEMORY, 12001},
    {CURLE_OPERATION_TIMEDOUT, 12002},
    {CURLE_FTP_PORT_FAILED, 12003},
    {CURLE_FTP_COULDNT_USE_REST, 12003},
    {CURLE_RANGE_ERROR, 12003},
    {CURLE_SSL_CONNECT_ERROR, 12157},
    {CURLE_BAD_DOWNLOAD_RESUME, 12003},
    {CURLE_ABORTED_BY_CALLBACK, 12017},
    {CURLE_BAD_FUNCTION_ARGUMENT, 12009},
    {CURLE_TOO_MANY_REDIRECTS, 12048},
    {CURLE_UNKNOWN_OPTION, 12009},
    {CURLE_GOT_NOTHING, 12031},
    {CURLE_SEND_ERROR, 12030},
    {CURLE_RECV_ERROR, 12031},
    {CURLE_PEER_FAILED_VERIFICATION, 12169},
    {CURLE_USE_SSL_FAILED, 12157},
    {CURLE_LOGIN_DENIED, 12015},
    {CURLE_REMOTE_DISK_FULL, 12003},
    {CURLE_REMOTE_FILE_EXISTS, 12003},
    {CURLE_SSL_CACERT_BADFILE, 12045},
    {CURLE_REMOTE_FILE_NOT_FOUND, 12003},
    {CURLE_FTP_PRET_FAILED, 12003},
    {CURLE_FTP_BAD_FILE_LIST, 12027},
    {CURLE_PROXY, 12165},
};

std::uint32_t InternetCodeFor(CURLcode result) {
    if (result == CURLE_OK) {
        return 0;
    }
    const auto* entry = std::find_if(std::begin(kCurlCodes), std::end(kCurlCodes),
                                     [result](const CurlCodeEntry& e) { return e.result == result; });
    return entry == std::end(kCurlCodes) ? kInternalError : entry->code;
}

// The platform library keeps the server's last reply per thread; so do we.
thread_local FtpReply tLastReply;

void EnsureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

// The longest we sleep between two looks at a transfer. curl's own wait in curl_easy_perform
// can sit out a whole second when a reply arrives faster than it looks for it (seen on
// loopback and fast LANs, once per data connection or so); waking up this often bounds that.
constexpr int kMaxWaitMs = 5;

// Runs one transfer of `easy` on `multi`, whose connection cache keeps the control
// connection between transfers.
CURLcode RunTransferOn(CURLM* multi, CURL* easy) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_OK;
    for (bool done = false; !done;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (done) {
            break;
        }
        if (running == 0) {
            // Ended without saying how: treat as a failed transfer rather than wait for ever.
            result = CURLE_RECV_ERROR;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, kMaxWaitMs, nullptr) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

struct SlistCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistCleanup>;

Slist MakeSlist(std::initializer_list<std::string> items) {
    curl_slist* list = nullptr;
    for (const auto& item : items) {
        curl_slist* grown = curl_slist_append(list, item.c_str());
        if (grown == nullptr) {
            curl_slist_free_all(list);
            throw InternetError(12001, "Out of handles");
        }
        list = grown;
    }
    return Slist(list);
}

const char* const kInjectionRefusal =
    "Refused before sending: the text holds a line break or NUL character, which would smuggle "
    "another command into the FTP control connection.";

bool IsUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// "/a b/c" -> "/%2Fa%20b/c": the leading %2F makes curl send the path as an absolute one.
std::string UrlPath(const std::string& absolutePath) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "/%2F";
    for (std::size_t i = 1; i < absolutePath.size(); ++i) {
        const auto c = static_cast<unsigned char>(absolutePath[i]);
        if (c == '/' || IsUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

// Joins `path` onto `folder` and folds "." and ".." the way a server would.
std::string ResolvePath(const std::string& folder, const std::string& path) {
    const std::string joined = !path.empty() && path.front() == '/' ? path : folder + "/" + path;
    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (const auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The folder of a 257 reply: 257 "/a ""quoted"" b" is current directory.
std::string FolderOf257(const std::string& text) {
    const std::size_t open = text.find('"');
    if (open == std::string::npos) {
        return {};
    }
    std::string folder;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                folder += '"';
                ++i;
                continue;
            }
            return folder;
        }
        folder += text[i];
    }
    return {};
}

bool IsRefusal(int replyCode) { return replyCode >= 400 && replyCode < 600; }
bool IsPositive(int replyCode) { return replyCode >= 100 && replyCode < 400; }

std::string ErrorMessage(std::uint32_t code, const FtpReply& reply, const char* curlDetail) {
    std::string message = WinInetErrorName(code);
    if (!reply.text.empty() && (code == kExtendedError || IsRefusal(reply.code) || reply.code == 0)) {
        message += ": " + reply.text;
    } else if (curlDetail != nullptr && *curlDetail != '\0') {
        message += ": ";
        message += curlDetail;
    }
    return message;
}

// Collects the control-connection replies curl hands to its header callback, one line at a time.
class ReplyReader {
public:
    // Returns true when the line completed a reply, which is then in `reply`.
    bool Feed(std::string_view line, FtpReply& reply) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (inMultiLine_) {
            pending_.text += '\n';
            pending_.text += line;
            if (line.size() >= 3 && line.substr(0, 3) == code_ && (line.size() == 3 || line[3] == ' ')) {
                inMultiLine_ = false;
                reply = std::move(pending_);
                return true;
            }
            return false;
        }
        if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
            !std::isdigit(static_cast<unsigned char>(line[1])) ||
            !std::isdigit(static_cast<unsigned char>(line[2]))) {
            return false;  // curl's own informational headers, not a server reply
        }
        FtpReply started;
        started.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        started.text = std::string(line);
        if (line.size() > 3 && line[3] == '-') {
            inMultiLine_ = true;
            code_ = std::string(line.substr(0, 3));
            pending_ = std::move(started);
            return false;
        }
        reply = std::move(started);
        return true;
    }

    void Reset() {
        inMultiLine_ = false;
        pending_ = FtpReply{};
    }

private:
    bool inMultiLine_ = false;
    std::string code_;
    FtpReply pending_;
};

class CurlFtpConnection : public FtpConnection {
public:
    explicit CurlFtpConnection(const FtpLoginParams& params);
    ~CurlFtpConnection() override;
    CurlFtpConnection(const CurlFtpConnection&) = delete;
    CurlFtpConnection& operator=(const CurlFtpConnection&) = delete;

    // Connects and logs in; raises InternetError.
    void Login();

    bool GetCurrentDirectory(std::string& folder) override;
    bool SetCurrentDirectory(const std::string& folder) override;
    bool CreateDirectory(const std::string& folder) override;
    void PutFile(const std::string& remoteName, int type, const UploadSource& source) override;
    void GetFile(const std::string& remoteName, int type, const DownloadSink& sink) override;
    bool List(const std::string& folder, std::vector<FtpEntry>& entries) override;
    bool Command(const std::string& command, bool expectData, std::string* data) override;
    FtpReply LastReply() const override { return lastReply_; }
    std::uint32_t LastError() const override { return lastError_; }

private:
    struct Request {
        std::string urlPath = "/";  // below the server, already encoded
        bool nobody = false;
        bool upload = false;
        bool ascii = false;
        const char* customRequest = nullptr;
        curl_slist* quote = nullptr;
    };

    CURLcode Perform(const Request& request);
    // Sends control-connection commands only; true when it got through to the server at all.
    bool Quote(const std::string& command, std::uint32_t& code);
    bool SendQuote(const std::string& command);
    bool EnsureConnected();
    bool EnsureServerFolder();
    void RememberFailure(std::uint32_t code);
    bool Refuse(std::string_view text);
    void RefuseOrThrow(std::string_view text);
    void ThrowIfCallbackFailed();
    [[noreturn]] void Raise(std::uint32_t code);
    std::uint32_t CodeFor(CURLcode result) const;
    std::uint32_t LoginFailureCode(CURLcode result) const;
    bool ClosedByServer(CURLcode result) const;
    void NoteConnectionState();
    std::string EntryPath();

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* self);
    std::size_t ReadAscii(char* buffer, std::size_t size);

    FtpLoginParams params_;
    std::string baseUrl_;
    std::string proxyUrl_;
    MultiHandle multi_;
    EasyHandle easy_;
    char errorText_[CURL_ERROR_SIZE] = {};

    std::string folder_ = "/";        // the folder relative names are taken from
    std::string serverFolder_ = "/";  // the server's own idea of it, for raw commands
    bool mlsd_ = false;
    bool utf8_ = false;
    bool featuresKnown_ = false;
    bool optionsPending_ = false;
    bool typeChangedByScript_ = false;
    bool connected_ = false;
    std::uint32_t deadCode_ = 0;
    FtpReply deadReply_;

    FtpReply lastReply_;
    std::uint32_t lastError_ = 0;
    ReplyReader reader_;
    std::vector<FtpReply> replies_;  // of the current request
    bool closing_ = false;

    const UploadSource* source_ = nullptr;
    bool asciiUpload_ = false;
    bool heldCR_ = false;
    bool sourceDone_ = false;
    const DownloadSink* sink_ = nullptr;
    std::string* collect_ = nullptr;
    std::exception_ptr callbackError_;
};

CurlFtpConnection::CurlFtpConnection(const FtpLoginParams& params)
    : params_(params), multi_(curl_multi_init()), easy_(curl_easy_init()) {
    if (!easy_ || !multi_) {
        throw InternetError(12001, "Out of handles");
    }
    const bool literalV6 = params_.server.find(':') != std::string::npos && params_.server.front() != '[';
    baseUrl_ = "ftp://" + (literalV6 ? "[" + params_.server + "]" : params_.server) + ":" +
               std::to_string(params_.port);
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlFtpConnection::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &CurlFtpConnection::OnRead);
    curl_easy_setopt(h, CURLOPT_READDATA, this);
    if (!params_.userName.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, params_.userName.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, params_.password.c_str());
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(params_.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(params_.idleTimeout.count()));
    curl_easy_setopt(h, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(params_.idleTimeout.count() * 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(params_.idleTimeout.count()));
    // Absolute paths on every command: no CWD per file, and the server's folder does not matter.
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024L);
    if (params_.passive) {
        curl_easy_setopt(h, CURLOPT_FTP_USE_EPSV, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
        curl_easy_setopt(h, CURLOPT_FTP_USE_EPRT, 1L);
    }
    if (params_.proxy.empty()) {
        // Direct means direct: a proxy from the environment would turn FTP into HTTP.
        curl_easy_setopt(h, CURLOPT_PROXY, "");
    } else {
        proxyUrl_ =
            params_.proxy.find("://") == std::string::npos ? "http://" + params_.proxy : params_.proxy;
        curl_easy_setopt(h, CURLOPT_PROXY, proxyUrl_.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
}

CurlFtpConnection::~CurlFtpConnection() {
    // curl says QUIT on cleanup; its reply must not replace the one the caller may still report.
    closing_ = true;
    easy_.reset();
    multi_.reset();
}

std::size_t CurlFtpConnection::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    if (connection->closing_) {
        return length;
    }
    FtpReply reply;
    if (connection->reader_.Feed(std::string_view(data, length), reply)) {
        connection->lastReply_ = reply;
        tLastReply = reply;
        connection->replies_.push_back(std::move(reply));
    }
    return length;
}

std::size_t CurlFtpConnection::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    try {
        if (connection->sink_ != nullptr) {
            (*connection->sink_)(data, length);
        } else if (connection->collect_ != nullptr) {
            connection->collect_->append(data, length);
        }
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return 0;
    }
    return length;
}

std::size_t CurlFtpConnection::OnRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    if (connection->source_ == nullptr) {
        return 0;
    }
    try {
        if (connection->asciiUpload_) {
            return connection->ReadAscii(buffer, length);
        }
        return (*connection->source_)(buffer, length);
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

// curl itself turns every LF of an ASCII upload into CRLF, so the CR of a CRLF already on disk
// is taken out here: the wire then carries one CRLF per line end, never CR CR LF.
std::size_t CurlFtpConnection::ReadAscii(char* buffer, std::size_t size) {
    for (;;) {
        if (sourceDone_) {
            if (heldCR_) {
                heldCR_ = false;
                buffer[0] = '\r';
                return 1;
            }
            return 0;
        }
        std::size_t filled = 0;
        if (heldCR_) {
            buffer[filled++] = '\r';
            heldCR_ = false;
        }
        const std::size_t got = (*source_)(buffer + filled, size - filled);
        if (got == 0) {
            sourceDone_ = true;
        }
        filled += got;
        std::size_t out = 0;
        for (std::size_t i = 0; i < filled; ++i) {
            if (buffer[i] == '\r') {
                if (i + 1 < filled && buffer[i + 1] == '\n') {
                    continue;
                }
                if (i + 1 == filled && !sourceDone_) {
                    heldCR_ = true;
                    continue;
                }
            }
            buffer[out++] = buffer[i];
        }
        if (out > 0) {
            return out;
        }
    }
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
    // curl sends TYPE only when its own idea of the type changes; after a script set the type
    // behind its back, the next transfer states the type it needs just before it starts.
    Slist retype;
    if (typeChangedByScript_ && !request.nobody && !request.urlPath.ends_with('/')) {
        retype = MakeSlist({request.ascii ? "TYPE A" : "TYPE I"});
        typeChangedByScript_ = false;
    }
    curl_easy_setopt(h, CURLOPT_PREQUOTE, retype.get());
    errorText_[0] = '\0';
    replies_.clear();
    reader_.Reset();
    callbackError_ = nullptr;
    const CURLcode result = RunTransferOn(multi_.get(), h);
    curl_easy_setopt(h, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_PREQUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
    NoteConnectionState();
    return result;
}

// curl drops the control connection after most failures and would quietly log in again on the
// next request; noticing it here lets the next request redo the session set-up too.
void CurlFtpConnection::NoteConnectionState() {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(easy_.get(), CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
        socket == CURL_SOCKET_BAD) {
        connected_ = false;
        return;
    }
    // curl also logs in again by itself when it finds the old connection dead on reuse; the
    // new session starts in the login folder and without our options.
    const bool loggedInAgain = std::any_of(replies_.begin(), replies_.end(),
                                           [](const FtpReply& reply) { return reply.code == 230; });
    if (connected_ && loggedInAgain) {
        serverFolder_ = EntryPath();
        optionsPending_ = utf8_;
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
                                      [](const FtpReply& reply) { return IsRefusal(reply.code); });
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
    const CURLcode result = Perform(request);
    if (result != CURLE_OK) {
        const bool refused = result == CURLE_LOGIN_DENIED || result == CURLE_WEIRD_SERVER_REPLY ||
                             result == CURLE_FTP_WEIRD_PASS_REPLY || ClosedByServer(result);
        const std::uint32_t code = refused ? LoginFailureCode(result) : InternetCodeFor(result);
        Raise(code);
    }
    const auto login = std::find_if(replies_.rbegin(), replies_.rend(), [](const FtpReply& reply) {
        return reply.code == 230 || reply.code == 202;
    });
    const FtpReply loginReply = login != replies_.rend() ? *login : lastReply_;
    connected_ = true;
    serverFolder_ = EntryPath();
    if (!featuresKnown_) {
        featuresKnown_ = true;
        folder_ = serverFolder_;
        std::uint32_t code = 0;
        if (Quote("FEAT", code) && code == 211) {
            std::string_view features(lastReply_.text);
            while (!features.empty()) {
                const std::size_t end = features.find('\n');
                std::string_view line = features.substr(0, end);
                features = end == std::string_view::npos ? std::string_view() : features.substr(end + 1);
                while (!line.empty() && line.front() == ' ') {
                    line.remove_prefix(1);
                }
                mlsd_ = mlsd_ || StartsWithNoCase(line, "MLST") || StartsWithNoCase(line, "MLSD");
                utf8_ = utf8_ || StartsWithNoCase(line, "UTF8");
            }
        }
    }
    if (utf8_) {
        std::uint32_t code = 0;
        Quote("OPTS UTF8 ON", code);
    }
    // The caller reports the server's answer to the login, as the platform library leaves it.
    lastReply_ = loginReply;
    tLastReply = loginReply;
    lastError_ = 0;
}

// A connection that curl had to drop is set up again once, before the next request.
bool CurlFtpConnection::EnsureConnected() {
    if (deadCode_ != 0) {
        lastError_ = deadCode_;
        lastReply_ = deadReply_;
        tLastReply = deadReply_;
        return false;
    }
    if (connected_) {
        if (optionsPending_) {
            optionsPending_ = false;
            const FtpReply before = lastReply_;
            std::uint32_t code = 0;
            Quote("OPTS UTF8 ON", code);
            lastReply_ = before;
            tLastReply = before;
        }
        return true;
    }
    try {
        Login();
        return true;
    } catch (const InternetError& error) {
        deadCode_ = error.code();
        deadReply_ = lastReply_;
        lastError_ = deadCode_;
        return false;
    }
}

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
    lastReply_ = FtpReply{0, kInjectionRefusal};
    tLastReply = lastReply_;
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

void CurlFtpConnection::PutFile(const std::string& remoteName, int type, const UploadSource& source) {
    RefuseOrThrow(remoteName);
    if (!EnsureConnected()) {
        Raise(lastError_);
    }
    Request request;
    request.urlPath = UrlPath(ResolvePath(folder_, remoteName));
    request.upload = true;
    request.ascii = type == job::TransferTypeAscii;
    source_ = &source;
    asciiUpload_ = request.ascii;
    heldCR_ = false;
    sourceDone_ = false;
    const CURLcode result = Perform(request);
    source_ = nullptr;
    ThrowIfCallbackFailed();
    if (result != CURLE_OK) {
        Raise(CodeFor(result));
    }
    lastError_ = 0;
}

void CurlFtpConnection::GetFile(const std::string& remoteName, int type, const DownloadSink& sink) {
    RefuseOrThrow(remoteName);
    if (!EnsureConnected()) {
        Raise(lastError_);
    }
    Request request;
    request.urlPath = UrlPath(ResolvePath(folder_, remoteName));
    // In ASCII type curl turns CRLF (and a lone CR) into LF, also across chunk boundaries.
    request.ascii = type == job::TransferTypeAscii;
    sink_ = &sink;
    const CURLcode result = Perform(request);
    sink_ = nullptr;
    ThrowIfCallbackFailed();
    if (result != CURLE_OK) {
        Raise(CodeFor(result));
    }
    lastError_ = 0;
}

bool CurlFtpConnection::List(const std::string& folder, std::vector<FtpEntry>& entries) {
    entries.clear();
    if (Refuse(folder) || !EnsureConnected()) {
        return false;
    }
    std::string path = UrlPath(ResolvePath(folder_, folder));
    if (path.back() != '/') {
        path += '/';
    }
    for (;;) {
        Request request;
        request.urlPath = path;
        request.customRequest = mlsd_ ? "MLSD" : nullptr;
        std::string body;
        collect_ = &body;
        const CURLcode result = Perform(request);
        collect_ = nullptr;
        if (result == CURLE_OK) {
            entries = ParseListing(body, mlsd_);
            lastError_ = 0;
            return true;
        }
        // A server that announced MLST but does not know MLSD after all gets LIST from now on.
        if (mlsd_ && (lastReply_.code == 500 || lastReply_.code == 502)) {
            mlsd_ = false;
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
            typeChangedByScript_ = true;
        }
        // A script may move the server's folder; follow it so relative names keep working.
        if (StartsWithNoCase(command, "CWD ") || StartsWithNoCase(command, "XCWD ") ||
            StartsWithNoCase(command, "CDUP") || StartsWithNoCase(command, "XCUP")) {
            const FtpReply answer = lastReply_;
            std::uint32_t code = 0;
            if (Quote("PWD", code) && code == 257) {
                const std::string now = FolderOf257(lastReply_.text);
                if (!now.empty() && now.front() == '/') {
                    folder_ = serverFolder_ = now;
                }
            }
            lastReply_ = answer;
            tLastReply = answer;
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

struct FetchState {
    std::string body;
    std::size_t maxBytes = 0;
};

std::size_t CollectPage(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<FetchState*>(user);
    const std::size_t length = size * count;
    const std::size_t room = state->maxBytes - state->body.size();
    state->body.append(data, std::min(room, length));
    // Stopping early is how we read only the first bytes of the page.
    return state->body.size() >= state->maxBytes ? 0 : length;
}

class CurlFtpClient : public FtpClient {
public:
    CurlFtpClient() { EnsureCurlInitialised(); }

    std::unique_ptr<FtpConnection> Connect(const FtpLoginParams& params) override {
        for (const std::string* text : {&params.server, &params.userName, &params.password, &params.proxy}) {
            if (job::HoldsLineBreak(*text)) {
                tLastReply = FtpReply{0, kInjectionRefusal};
                throw InternetError(kInvalidOperation, ErrorMessage(kInvalidOperation, tLastReply, nullptr));
            }
        }
        if (params.server.empty() || params.server.find_first_of(" /?#@\\\t") != std::string::npos) {
            tLastReply = FtpReply{};
            throw InternetError(kNameNotResolved, WinInetErrorName(kNameNotResolved));
        }
        // A reply from an earlier session must not pass for this one's.
        tLastReply = FtpReply{};
        auto connection = std::make_unique<CurlFtpConnection>(params);
        connection->Login();
        return connection;
    }

    FtpReply LastReply() const override { return tLastReply; }

    std::string FetchUrl(const std::string& url, std::size_t maxBytes) override {
        if (job::HoldsLineBreak(url)) {
            throw InternetError(kInvalidOperation, WinInetErrorName(kInvalidOperation));
        }
        EasyHandle easy(curl_easy_init());
        if (!easy) {
            throw InternetError(12001, WinInetErrorName(12001));
        }
        FetchState state;
        state.maxBytes = maxBytes;
        char errorText[CURL_ERROR_SIZE] = {};
        CURL* h = easy.get();
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(h, CURLOPT_USERAGENT, "Brindle FTP");
        curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectPage);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
        const CURLcode result = maxBytes == 0 ? CURLE_OK : curl_easy_perform(h);
        if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && state.body.size() >= maxBytes)) {
            long status = 0;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
            if (result == CURLE_HTTP_RETURNED_ERROR) {
                tLastReply = FtpReply{static_cast<int>(status), errorText};
            }
            const std::uint32_t code = InternetCodeFor(result);
            throw InternetError(code, ErrorMessage(code, FtpReply{}, errorText));
        }
        return state.body;
    }
};

}  // namespace

std::unique_ptr<FtpClient> MakeCurlFtpClient() { return std::make_unique<CurlFtpClient>(); }

}  // namespace bxfr::engine
