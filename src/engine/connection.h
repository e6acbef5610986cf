#pragma once

// The connection interface between the run and the protocol adapters (FTP, FTP over TLS,
// SFTP): what a logged-in connection does, what it raises, and how connections are made.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "job/protocol.h"

namespace bxfr::engine {

// Raised by a connection when a connection or a transfer fails; `code` is one of the
// 12xxx internet error codes (see error_texts.h).
class InternetError : public std::runtime_error {
public:
    InternetError(std::uint32_t code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    std::uint32_t code() const { return code_; }

private:
    std::uint32_t code_;
};

// The certificate a TLS server presented, or the host key an SSH server presented, as the
// question whether to trust it shows it.
struct ServerCertificate {
    // "SHA256:" and the unpadded base64 of the SHA-256 of its DER form (of the key blob for SSH)
    std::string fingerprint;
    // An SSH host key: its type ("ssh-ed25519"); subject, issuer and dates are then empty.
    std::string keyType;
    std::string subject;
    std::string issuer;
    std::string validFrom;  // "2026-12-07 04:00:00 UTC"
    std::string validUntil;
    std::string whyUntrusted;  // plain words, e.g. "it is self-signed"
    std::string pinned;        // the fingerprint the job trusts, when the server showed another
    // SSH: where the replaced key was trusted ("FINGERPRINT" or the known_hosts file and line)
    std::string pinnedIn;
    // SSH: the key blob in base64, as a known_hosts line holds it.
    std::string keyBase64;
    // Where it was presented: the server as the job names it, and the port.
    std::string host;
    std::uint16_t port = 0;
    bool IsHostKey() const { return !keyType.empty(); }
};

// Raised (code 12169) when the server's certificate or host key is not trusted; nothing beyond
// the TLS or SSH handshake has been sent, the password least of all.
class CertificateError : public InternetError {
public:
    CertificateError(ServerCertificate certificate, const std::string& message)
        : InternetError(12169, message), certificate_(std::move(certificate)) {}
    const ServerCertificate& certificate() const { return certificate_; }
    // The job trusts another certificate: not a question to ask lightly, it can be an attack.
    bool PinMismatch() const { return !certificate_.pinned.empty(); }

private:
    ServerCertificate certificate_;
};

// Raised for a local file that cannot be opened, read or written; `code` is the OS error number.
class FileError : public std::runtime_error {
public:
    FileError(std::uint32_t code, const std::string& fileName)
        : std::runtime_error(fileName), code_(code), fileName_(fileName) {}
    std::uint32_t code() const { return code_; }
    const std::string& fileName() const { return fileName_; }

private:
    std::uint32_t code_;
    std::string fileName_;
};

struct ServerReply {
    int code = 0;      // e.g. 550; 0 when the server has not answered yet
    std::string text;  // the whole reply as the server sent it, lines joined with "\n", no trailing line end
};

struct RemoteEntry {
    std::string name;  // just the entry's name, UTF-8, never a path
    bool isFolder = false;
    bool isLink = false;
    std::uint64_t length = 0;
    std::optional<std::int64_t> modified;  // seconds since 1970 UTC, where the listing says exactly
};

struct LoginParams {
    std::string server;
    std::uint16_t port = 21;
    job::Protocol protocol = job::Protocol::Ftp;
    // With TLS: the only certificate accepted (see ServerCertificate::fingerprint), whoever
    // issued it and whatever names it holds; empty = the system's authorities and the host name.
    // With SFTP: the only host key accepted; empty = the one known_hosts holds for the server.
    std::string fingerprint;
    std::string userName;  // empty = anonymous
    std::string password;  // bytes, sent as they are; with a key file, the key's passphrase
    // SFTP: the private key to log in with (the password is then never sent to the server).
    std::string keyFile;
    // SFTP: the known_hosts file to consult; empty = the user's ~/.ssh/known_hosts.
    std::string knownHosts;
    bool passive = false;
    std::string proxy;  // "host:port" of an HTTP proxy reached by CONNECT; empty = direct
    std::chrono::seconds connectTimeout{30};
    std::chrono::seconds idleTimeout{60};  // no byte moving for this long ends the call with 12002
    // Polled while logging in and while a file moves; true ends the call with 12017 at once,
    // also while it waits for the server's reply.
    std::function<bool()> stopRequested;
    // What an earlier login of the same run learned of the server (Connection::ServerTraits),
    // so that another login need not ask again; empty = ask.
    std::string serverTraits;
};

// Pulls the bytes of an upload: fills `buffer` with up to `size` bytes and returns the count,
// 0 at the end. Throwing aborts the transfer; the exception reaches the caller of PutFile.
using UploadSource = std::function<std::size_t(char* buffer, std::size_t size)>;
// Receives the bytes of a download as they arrive. Throwing aborts the transfer.
using DownloadSink = std::function<void(const char* data, std::size_t size)>;

// How one PutFile or GetFile runs.
struct TransferOptions {
    // Resume (binary only): the first byte to move. PutFile appends to the remote file, which
    // must then hold exactly this many bytes; GetFile asks the server to start there.
    std::uint64_t restartAt = 0;
    // GetFile: the file's size as the listing gave it. A download that ends at another size
    // fails with 12030 (ASCII: the size with or without the CRs the server added).
    std::optional<std::uint64_t> expectedSize;
    // Called as bytes cross the network, with the file's count so far (restartAt included).
    // Throwing aborts the transfer; the exception reaches the caller.
    std::function<void(std::uint64_t bytesMoved)> onProgress;
    // PutFile on a connection that StampsInPut(): the modification time (seconds since 1970 UTC)
    // the stored file gets before it is closed, saving a request of its own.
    std::optional<std::int64_t> modified;
    // The run's speed limit in bytes per second, 0 for none: an adapter keeps no more than a
    // fraction of a second's worth of the file in flight, so that the limit holds on the wire.
    std::uint64_t rateLimit = 0;
    // PutFile on a connection that ChecksLater(), from the start of the file: the size check
    // waits for CheckPendingPuts, which checks several files of a folder in one request.
    bool checkLater = false;
};

// One logged-in control connection. Every operation runs on it; a connection is used by
// one thread at a time. Paths may be absolute ("/a/b") or relative to the current folder.
// Text holding CR, LF or NUL is refused before anything is sent, so that nothing can be
// injected into the control connection: LastError() is then 12016 and LastReply() has code 0
// and a text that says why (calls that raise, raise InternetError 12016).
class Connection {
public:
    virtual ~Connection() = default;

    virtual bool GetCurrentDirectory(std::string& folder) = 0;
    virtual bool SetCurrentDirectory(const std::string& folder) = 0;
    virtual bool CreateDirectory(const std::string& folder) = 0;

    // Streams a file; `type` is job::TransferTypeAscii or job::TransferTypeBinary. ASCII converts
    // line ends (CRLF on the wire, LF on disk). Failures raise InternetError. A stored file is
    // verified: when the server's size for it differs from what was sent (ASCII: with or
    // without CRs), PutFile raises 12030.
    virtual void PutFile(const std::string& remoteName, int type, const UploadSource& source,
                         const TransferOptions& options) = 0;
    virtual void GetFile(const std::string& remoteName, int type, const DownloadSink& sink,
                         const TransferOptions& options) = 0;

    // RNFR + RNTO; false when the server refused either.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    virtual bool Delete(const std::string& name) = 0;
    // The size the server stores for a file; false when it cannot tell.
    virtual bool FileSize(const std::string& name, std::uint64_t& size) = 0;
    // The server's modification time of a file (MDTM), as seconds since 1970 UTC.
    virtual bool GetModificationTime(const std::string& name, std::int64_t& unixSeconds) = 0;
    // Sets it (MFMT); false when refused or when the server does not offer MFMT.
    virtual bool SetModificationTime(const std::string& name, std::int64_t unixSeconds) = 0;
    // The server offers REST STREAM, so TransferOptions::restartAt can be used.
    virtual bool CanResume() const = 0;
    // PutFile sets TransferOptions::modified itself.
    virtual bool StampsInPut() const { return false; }
    // PutFile can leave its size check for later (TransferOptions::checkLater).
    virtual bool ChecksLater() const { return false; }
    // Checks the files stored with checkLater since the last call, in the order they were
    // stored: true where the server holds what was sent. Raises InternetError when the server
    // cannot be asked.
    virtual std::vector<bool> CheckPendingPuts() { return {}; }

    // One file's entry without listing its folder, where the server can tell in a request or
    // two (its size and, where it says, its time); none for a folder, a missing file, or when
    // only a listing would tell.
    virtual std::optional<RemoteEntry> FileEntry(const std::string& name) {
        (void)name;
        return std::nullopt;
    }

    // Sets the times a listing of `folder` gave none where the server tells them for many files
    // at once (FTP without MLSD: on a login of their own); the others stay unknown.
    virtual void FillTimes(const std::string& folder, std::vector<RemoteEntry>& entries) {
        (void)folder;
        (void)entries;
    }

    // Lists a folder ("" = the current one); false when it cannot be listed.
    virtual bool List(const std::string& folder, std::vector<RemoteEntry>& entries) = 0;

    // Sends a raw command. With `expectData` the command's reply body, which the server sends
    // on a data connection, is collected into `data`. False when the server refused it.
    virtual bool Command(const std::string& command, bool expectData, std::string* data) = 0;

    virtual ServerReply LastReply() const = 0;
    // The code of the last failure (12xxx), 0 after a success.
    virtual std::uint32_t LastError() const = 0;

    // A file name as the server's commands take it inside a script or a permission rule.
    virtual std::string CommandArgument(const std::string& name) const { return name; }
    // The command that gives a file these permission bits ("SITE chmod 644 name" for FTP).
    virtual std::string ChmodCommand(int permissions, const std::string& name) const {
        return "SITE chmod " + std::to_string(permissions) + " " + name;
    }

    // The number of the login the next call runs on, counting from 1; 0 when the connection was
    // lost and cannot log in again. A lost connection is logged in again here first, so that the
    // caller can set up the new session (the adapters log in again by themselves too, and the
    // new session has lost what commands set on the old one). Raises CertificateError when the
    // new login met a certificate or host key that is not trusted.
    virtual std::uint32_t CurrentLogin() { return 1; }

    // How many files may move at once on this connection's login, each through a Share() of it.
    virtual std::size_t FilesInFlight() const { return 1; }
    // Another connection on the same login, for one more file in flight: its own folder and
    // replies, the login's session shared. Used from another thread than this one.
    virtual std::unique_ptr<Connection> Share() { return nullptr; }

    // What this login learned of the server that another login of the run may take as known
    // (FTP: the FEAT reply); empty when there is nothing to pass on.
    virtual std::string ServerTraits() const { return {}; }

    // The protection of the control connection for the log, e.g. "TLS: TLSv1.3, cipher
    // TLS_AES_256_GCM_SHA384"; empty for plain FTP.
    virtual std::string Security() const { return {}; }
};

// Makes connections. A failed connection or login raises InternetError
// (12014/12015 for a refused login with the server's reply in LastReply of the error).
class Connector {
public:
    virtual ~Connector() = default;
    virtual std::unique_ptr<Connection> Connect(const LoginParams& params) = 0;
    // The server's last reply seen on the calling thread (login replies included).
    virtual ServerReply LastReply() const = 0;
};

}  // namespace bxfr::engine
