#pragma once

// The libcurl adapter's SFTP connection, private to the engine. SFTP has no control connection
// of text commands: file operations go through curl's SFTP quote commands and transfers, and
// the replies the engine reads are made up here in FTP's terms (550 for a refusal, ...).

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/connection.h"
#include "engine/curl/curl_transfer_loop.h"
#include "engine/error_texts.h"
#include "engine/sftp/sftp_commands.h"

namespace bxfr::engine {

class CurlSftpConnection : public Connection {
public:
    explicit CurlSftpConnection(const LoginParams& params);
    ~CurlSftpConnection() override;
    CurlSftpConnection(const CurlSftpConnection&) = delete;
    CurlSftpConnection& operator=(const CurlSftpConnection&) = delete;

    // Connects, checks the host key and logs in; raises InternetError (CertificateError for a
    // host key that is not trusted).
    void Login();

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
    bool CanResume() const override { return true; }
    bool List(const std::string& folder, std::vector<RemoteEntry>& entries) override;
    bool Command(const std::string& command, bool expectData, std::string* data) override;
    ServerReply LastReply() const override { return lastReply_; }
    std::uint32_t LastError() const override { return lastError_; }
    std::string Security() const override { return security_; }
    std::uint32_t CurrentLogin() override;
    std::string CommandArgument(const std::string& name) const override { return SftpQuoted(name); }
    std::string ChmodCommand(int permissions, const std::string& name) const override {
        return "chmod " + std::to_string(permissions) + " " + SftpQuoted(name);
    }

private:
    struct Request {
        std::string path = "/";  // absolute; a trailing "/" names a folder
        bool nobody = false;
        bool upload = false;
        bool fileTime = false;
        curl_slist* quote = nullptr;
        std::uint64_t restartAt = 0;
    };

    CURLcode Perform(const Request& request);
    // Runs SFTP commands (curl's quote set) with nothing else; false when one was refused.
    bool Quote(std::initializer_list<std::string> commands);
    // Notes a failed request as LastError/LastReply; false for the caller to return.
    bool Fail(CURLcode result);
    [[noreturn]] void Raise(CURLcode result);
    std::uint32_t CodeFor(CURLcode result) const;
    // The outcome of the last call, as LastError, LastReply and the thread's last reply tell it.
    void Record(std::uint32_t error, ServerReply reply);
    void Succeed(int code = 200, std::string text = {}) { Record(0, ServerReply{code, std::move(text)}); }
    bool Refuse(const std::string& text);
    std::string Absolute(const std::string& path) const { return Resolve(path); }
    std::string Resolve(const std::string& path) const;
    // Opens a folder for reading: the one question SFTP through curl answers for "is a folder".
    bool IsFolder(const std::string& path, bool& connectionLost);
    void ThrowIfCallbackFailed();

    // Host keys, in curl_sftp_trust.cpp.
    std::string ReadKnownLines() const;
    bool AskForKnownKeyType();
    void DropKnownKeyType();
    // Runs the login request, asking for the key type known_hosts lists where that helps.
    CURLcode LogInWith(const Request& request);
    void RaiseForHostKey();

    static int OnHostKey(void* self, int keyType, const char* key, std::size_t length);
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* self);
    static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                          curl_off_t ulNow);

    LoginParams params_;
    std::string baseUrl_;
    std::string proxyUrl_;
    std::string knownHosts_;
    std::string knownLines_;  // the host's known_hosts lines, names in plain text
    std::string typeHints_;   // a file of them for curl; see AskForKnownKeyType
    bool usingHints_ = false;
    MultiHandle multi_;
    EasyHandle easy_;
    char errorText_[CURL_ERROR_SIZE] = {};
    bool connectionLost_ = false;
    std::uint32_t logins_ = 0;

    // The host key check of the latest connection.
    std::optional<ServerCertificate> presented_;
    bool hostKeyRefused_ = false;
    std::string hostKeyProblem_;  // a refusal the user cannot overrule (a revoked key)

    std::string folder_ = "/";
    // The listing IsFolder read last, for the List that usually follows.
    std::string listedPath_;
    std::string listed_;
    std::string security_;
    ServerReply lastReply_;
    std::uint32_t lastError_ = 0;
    std::string headers_;  // of the current request

    // The server's time of the file fetched last, which curl read as it opened it.
    std::string timedPath_;
    std::int64_t timedSeconds_ = -1;

    const UploadSource* source_ = nullptr;
    const DownloadSink* sink_ = nullptr;
    std::string* collect_ = nullptr;
    const std::function<void(std::uint64_t)>* progress_ = nullptr;
    std::uint64_t restartAt_ = 0;
    std::uint64_t lastProgress_ = 0;
    std::uint64_t fileBytes_ = 0;
    std::exception_ptr callbackError_;
    // curl bounds only transfers by speed; a server that stops answering a command is caught here.
    curl_off_t lastMoved_ = -1;
    std::chrono::steady_clock::time_point lastMovedAt_;
    bool idleTimedOut_ = false;
};

}  // namespace bxfr::engine
