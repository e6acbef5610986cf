#pragma once

// The SFTP adapter's connection on our own SFTP client: file operations answered in the
// engine's terms (FTP's reply codes: 550 for a refusal, ...). Private to the engine.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/connection.h"
#include "engine/error_texts.h"
#include "engine/sftp/sftp_client.h"
#include "engine/sftp/sftp_commands.h"
#include "engine/sftp/ssh_link.h"

namespace bxfr::engine {

// One SSH session's login, shared by the connections that keep files in flight on it.
class SftpSession {
public:
    explicit SftpSession(const LoginParams& params) : params_(params) {}
    // The live client, logged in anew when the last one was lost; raises InternetError.
    std::shared_ptr<sftp::Client> Current();
    // The client as it is, lost or not; null before the first login.
    std::shared_ptr<sftp::Client> Existing() const;
    std::uint32_t Logins() const;

private:
    LoginParams params_;
    mutable std::mutex lock_;
    std::shared_ptr<sftp::Client> client_;
    std::uint32_t logins_ = 0;
};

class SftpConnection : public Connection {
public:
    explicit SftpConnection(const LoginParams& params);
    // Another connection on the same session, in the same folder.
    SftpConnection(std::shared_ptr<SftpSession> session, std::string folder);
    ~SftpConnection() override;

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
    bool StampsInPut() const override { return true; }
    bool List(const std::string& folder, std::vector<RemoteEntry>& entries) override;
    bool Command(const std::string& command, bool expectData, std::string* data) override;
    ServerReply LastReply() const override { return lastReply_; }
    std::uint32_t LastError() const override { return lastError_; }
    std::string Security() const override;
    std::size_t FilesInFlight() const override { return kFilesInFlight; }
    std::unique_ptr<Connection> Share() override;
    std::uint32_t CurrentLogin() override;
    std::string CommandArgument(const std::string& name) const override { return SftpQuoted(name); }
    std::string ChmodCommand(int permissions, const std::string& name) const override {
        return "chmod " + std::to_string(permissions) + " " + SftpQuoted(name);
    }

private:
    // Small files in flight on one session: each a round trip's worth of requests.
    static constexpr std::size_t kFilesInFlight = 8;
    // The session, logged in again first when the last one was lost.
    std::shared_ptr<sftp::Client> Session();
    // Sends one request and waits for its reply; a lost connection raises.
    sftp::Reply Call(std::uint8_t type, const std::function<void(sftp::PacketWriter&)>& fill);
    sftp::Reply CallPath(std::uint8_t type, const std::string& path);
    // Records the outcome of a status reply; false unless it is OK.
    bool Status(const sftp::Reply& reply, const std::string& what);
    bool Fail(int code, const std::string& text);
    void Record(std::uint32_t error, ServerReply reply);
    void Succeed(int code, std::string text) { Record(0, ServerReply{code, std::move(text)}); }
    bool Refuse(const std::string& text);
    // Runs an operation that answers true or false; a connection that broke meanwhile is
    // recorded as its failure, for the caller to see in LastError.
    template <typename Operation>
    bool Guard(Operation operation) {
        try {
            return operation();
        } catch (const CertificateError&) {
            throw;
        } catch (const InternetError& e) {
            Record(e.code(), ThreadLastReply());
            return false;
        }
    }
    [[noreturn]] void RaiseLast();
    std::string Resolve(const std::string& path) const;
    std::optional<sftp::Attributes> StatOf(const std::string& path);
    bool RunScriptCommand(const std::vector<std::string>& words, std::string* data);
    // Opens a file for a transfer; a refusal raises with `failure` before the server's words.
    std::string OpenHandle(sftp::Client& client, const std::string& path, std::uint32_t flags,
                           const std::string& failure);
    // Handles of an aborted transfer are closed without waiting.
    void CloseQuietly(const std::string& handle);

    std::shared_ptr<SftpSession> session_;
    std::string folder_ = "/";
    ServerReply lastReply_;
    std::uint32_t lastError_ = 0;
    // The server's time of the file fetched last, read as it was opened.
    std::string timedPath_;
    std::optional<std::int64_t> timedSeconds_;
};

}  // namespace bxfr::engine
