#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

// ProFTPD's own SFTP server (mod_sftp, not OpenSSH) on 127.0.0.1 for the account install-deps
// makes, with its password (SshdTestServer::User() and Password()). The session starts in
// root(), the account's home there, without a chroot: paths are absolute, as with
// SshdTestServer. Host keys of its own: keyType "ed25519" or "rsa". Only where ProFTPD is
// unpacked and the tests run as root: see Available().
class ProftpdSftpTestServer {
public:
    ProftpdSftpTestServer();
    ~ProftpdSftpTestServer();
    ProftpdSftpTestServer(const ProftpdSftpTestServer&) = delete;
    ProftpdSftpTestServer& operator=(const ProftpdSftpTestServer&) = delete;

    static bool Available();

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& root() const { return root_; }
    // As ssh-keygen -l prints it: "SHA256:..." without padding.
    std::string Fingerprint(const std::string& keyType = "ed25519") const;
    std::filesystem::path HostKey(const std::string& keyType = "ed25519") const;
    // "[127.0.0.1]:PORT ssh-ed25519 AAAA..." for a known_hosts file.
    std::string KnownHostsLine(const std::string& keyType = "ed25519") const;
    // The server's log: logins, errors, the algorithms agreed
    // ("mod_sftp/1.1.1[PID]:  + Session client-to-server encryption: aes128-ctr").
    std::vector<std::string> Log() const;
    // One line per SSH message and SFTP request, as ProFTPD names them, written once it has
    // answered: "OPEN /abs/a.tmp", "WRITE HANDLE 0 32768", "CLOSE HANDLE", "SETSTAT /abs/a",
    // "RENAME /abs/a.tmp /abs/a" (then "EXTENDED posix-rename@openssh.com" for posix-rename),
    // "REMOVE /abs/a"; uploads and downloads also as "STOR /abs/a" and "RETR /abs/a".
    std::vector<std::string> Requests() const;
    // Gives what the test wrote under root() to the account, as files it uploaded would be.
    void HandOver() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
