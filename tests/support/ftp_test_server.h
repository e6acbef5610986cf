#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

struct FtpServerOptions {
    std::string user = "user";
    std::string password = "secret";
    bool anonymous = false;
    bool mlsd = true;
    // Every reply waits this long; the whole server stalls meanwhile.
    double replyDelaySeconds = 0;
    // Accepts the connection and never greets.
    bool silent = false;
    // Data connections of RETR and STOR close after this many bytes (426 on control).
    long long dropDataAfterBytes = -1;
    int maxConsPerIp = 0;
    // Data connections move at most this many bytes a second (0 = no limit).
    long long maxRateBytesPerSecond = 0;
    // Simultaneous control connections; more get 421.
    int maxCons = 0;
    // The scripted server with escaping names and an endless "loop" folder.
    bool hostile = false;
    bool hostileMlsd = false;
    bool siteChmod = true;
    // Listing a folder of this name, or storing a file of this name, is refused with 550.
    std::string refused{};
    // RNTO onto an existing file is refused with 550, as some servers do.
    bool noRenameOver = false;
    // "explicit" (AUTH TLS) or "implicit" with a self-signed certificate the server makes;
    // empty = plain FTP, which does not offer AUTH TLS at all.
    std::string tls{};
    std::string certificateName = "127.0.0.1";
    bool certificateExpired = false;
    // Listens on ::1 instead of 127.0.0.1.
    bool ipv6 = false;
    // The session of this login (1 = the first) is cut at its first STOR, and no later login
    // is accepted; 0 = never.
    int loseLogin = 0;
    // QUIT is answered this long after it came; the server goes on meanwhile.
    double quitDelaySeconds = 0;
};

// An FTP server on 127.0.0.1 with a free port, serving root(), for one test.
class FtpTestServer {
public:
    explicit FtpTestServer(FtpServerOptions options = {});
    ~FtpTestServer();
    FtpTestServer(const FtpTestServer&) = delete;
    FtpTestServer& operator=(const FtpTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string host() const { return options_.ipv6 ? "::1" : "127.0.0.1"; }
    const std::filesystem::path& root() const { return root_; }
    const FtpServerOptions& options() const { return options_; }
    const std::string& userName() const { return options_.user; }
    const std::string& password() const { return options_.password; }

    // Command lines received so far, in order, PASS masked as "PASS ****".
    std::vector<std::string> Commands() const;
    // Successful logins so far (the hostile server logs none).
    int LoginCount() const;
    // The TLS server's certificate as "SHA256:" and unpadded base64, worked out by the server.
    std::string Fingerprint() const;

private:
    FtpServerOptions options_;
    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path commandLog_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
