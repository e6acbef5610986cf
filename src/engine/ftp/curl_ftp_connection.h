#pragma once

// The libcurl adapter's connection, private to the engine: curl_ftp_connection.cpp sets it up
// and moves files, curl_ftp_commands.cpp holds the control-connection commands.

#include <curl/curl.h>

#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/connection.h"
#include "engine/curl/curl_transfer_loop.h"
#include "engine/error_texts.h"
#include "engine/ftp/certificate_trust.h"
#include "engine/ftp/ftp_replies.h"

namespace bxfr::engine {

class CurlFtpConnection : public Connection {
public:
    explicit CurlFtpConnection(const LoginParams& params);
    ~CurlFtpConnection() override;
    CurlFtpConnection(const CurlFtpConnection&) = delete;
    CurlFtpConnection& operator=(const CurlFtpConnection&) = delete;

    // Connects and logs in; raises InternetError.
    void Login();
    // Logs in for the raw calls below alone (ftp_time_channel.cpp); false when the login failed.
    bool OpenForQueries();
    curl_socket_t RawSocket();
    void HurryFarewell();
    // Bytes the socket took (0 when it is full), -1 on failure.
    long SendRaw(std::string_view data);
    // Bytes read (0 when none are there yet), -1 when the connection ended or failed.
    long ReceiveRaw(char* buffer, std::size_t size);

    bool GetCurrentDirectory(std::string& folder) override;
    bool SetCurrentDirectory(const std::string& folder) override;
    bool CreateDirectory(const std::string& folder) override;
    void PutFile(const std::string& remoteName, int type, const UploadSource& source,
                 const TransferOptions& options) override;
    void GetFile(const std::string& remoteName, int type, const DownloadSink& sink,
                 const TransferOptions& options) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool Delete(const std::string& name) override;
    bool FileSize(const std::string& name, std::uint64_t& size) override;
    bool GetModificationTime(const std::string& name, std::int64_t& unixSeconds) override;
    bool SetModificationTime(const std::string& name, std::int64_t unixSeconds) override;
    bool CanResume() const override { return features_.restStream; }
    bool ChecksLater() const override { return true; }
    std::vector<bool> CheckPendingPuts() override;
    bool List(const std::string& folder, std::vector<RemoteEntry>& entries) override;
    std::optional<RemoteEntry> FileEntry(const std::string& name) override;
    void FillTimes(const std::string& folder, std::vector<RemoteEntry>& entries) override;
    bool Command(const std::string& command, bool expectData, std::string* data) override;
    ServerReply LastReply() const override { return lastReply_; }
    std::uint32_t LastError() const override { return lastError_; }
    std::string Security() const override { return security_; }
    std::string ServerTraits() const override { return featReply_; }
    std::uint32_t CurrentLogin() override;

private:
    struct Request {
        std::string urlPath = "/";  // below the server, already encoded
        bool nobody = false;
        bool upload = false;
        bool ascii = false;
        const char* customRequest = nullptr;
        curl_slist* quote = nullptr;
        std::uint64_t restartAt = 0;
        // The caller checks the size itself, so curl need not ask the server for it first.
        bool sizeKnown = false;
    };

    CURLcode Perform(const Request& request);
    // Sends control-connection commands only; true when it got through to the server at all.
    bool Quote(const std::string& command, std::uint32_t& code);
    bool SendQuote(const std::string& command);
    // Like Quote, but the caller's last reply stays what it was.
    bool QuietQuote(const std::string& command, std::uint32_t& code, ServerReply& reply);
    bool StoredSize(const std::string& path, std::uint64_t& size, bool& known);
    void VerifyStored(const std::string& path, bool ascii, std::uint64_t restartAt);
    // The sizes of a folder's files from one STAT of it; none where the server does not list
    // a folder that way, or the folder has too many entries to list for `files` of them.
    std::optional<std::map<std::string, std::uint64_t>> ListedSizes(const std::string& folder,
                                                                    std::size_t files);
    void VerifyReceived(const std::string& path, bool ascii, const TransferOptions& options);
    bool EnsureConnected();
    bool EnsureServerFolder();
    void RememberFailure(std::uint32_t code);
    bool Refuse(std::string_view text);
    void RefuseOrThrow(std::string_view text);
    void ThrowIfCallbackFailed();
    [[noreturn]] void Raise(std::uint32_t code);
    [[noreturn]] void RaiseWithText(std::uint32_t code, const std::string& text);
    std::uint32_t CodeFor(CURLcode result) const;
    std::uint32_t LoginFailureCode(CURLcode result) const;
    bool ClosedByServer(CURLcode result) const;
    void NoteConnectionState(curl_socket_t socket);
    std::string EntryPath();
    Request StartTransfer(const std::string& remoteName, int type, const TransferOptions& options,
                          std::string& path);
    void EndTransfer(CURLcode result);

    bool UsesTls() const { return params_.protocol != job::Protocol::Ftp; }
    void SetUpTls();
    // Raises for a TLS set-up that failed: the certificate, or a server without TLS.
    void RaiseIfTlsRefused(CURLcode result);
    // A data connection the server refused for want of the control connection's TLS 1.3 session.
    void RaiseIfSessionSpent();
    static CURLcode OnSslContext(CURL* easy, void* sslContext, void* self);

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* self);
    static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                          curl_off_t ulNow);
    std::size_t ReadAscii(char* buffer, std::size_t size);

    LoginParams params_;
    std::string baseUrl_;
    std::string proxyUrl_;
    PeerCheck peerCheck_;
    std::string security_;
    // See RaiseIfSessionSpent.
    bool tls13_ = false;
    bool tls12Only_ = false;
    bool freshConnection_ = false;
    MultiHandle multi_;
    EasyHandle easy_;
    char errorText_[CURL_ERROR_SIZE] = {};

    std::string folder_ = "/";        // the folder relative names are taken from
    std::string serverFolder_ = "/";  // the server's own idea of it, for raw commands
    ServerFeatures features_;
    bool featuresKnown_ = false;
    std::string featReply_;
    std::shared_ptr<class TimeChannel> times_;  // once a listing needed it
    // Files stored with TransferOptions::checkLater, as sent.
    struct PendingPut {
        std::string path;
        std::uint64_t sent = 0;
        std::uint64_t lineFeeds = 0;
        bool ascii = false;
    };
    std::vector<PendingPut> pendingPuts_;
    bool statLists_ = true;  // STAT with a folder lists it on the control connection
    std::map<std::string, std::size_t> folderEntries_;  // as the last STAT of each listed them
    bool optionsPending_ = false;
    // curl sends TYPE only when its own idea of the type changes; after a command set the
    // type behind its back, the next transfer states the type it needs.
    bool retypeNeeded_ = false;
    bool connected_ = false;
    std::uint32_t logins_ = 0;
    // Why a new login failed when it met a certificate that is not trusted.
    std::exception_ptr refusedCertificate_;
    std::uint32_t deadCode_ = 0;
    ServerReply deadReply_;

    ServerReply lastReply_;
    std::uint32_t lastError_ = 0;
    ReplyReader reader_;
    std::vector<ServerReply> replies_;  // of the current request
    bool closing_ = false;

    // The file that is moving.
    const UploadSource* source_ = nullptr;
    bool asciiUpload_ = false;
    bool heldCR_ = false;
    bool sourceDone_ = false;
    const DownloadSink* sink_ = nullptr;
    bool asciiDownload_ = false;
    std::string* collect_ = nullptr;
    const std::function<void(std::uint64_t)>* progress_ = nullptr;
    // While the first login runs or a file moves: a cancel then ends the call at once. Not
    // otherwise, so the clean-up after a cancel still reaches the server.
    bool stoppable_ = true;
    std::uint64_t restartAt_ = 0;
    std::uint64_t lastProgress_ = 0;
    // Bytes handed to curl or to the sink, with line ends as on disk, and their LFs.
    std::uint64_t fileBytes_ = 0;
    std::uint64_t fileLineFeeds_ = 0;
    std::exception_ptr callbackError_;
};

}  // namespace bxfr::engine
