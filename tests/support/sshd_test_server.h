#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

struct SshdOptions {
    // The host key to serve; empty = a fresh ed25519 key of the server's own.
    std::filesystem::path hostKey;
    // A public key the account may log in with besides its password.
    std::filesystem::path authorizedKey;
    // Also an ECDSA host key, the type libssh2 asks for first.
    bool ecdsaToo = false;
};

// OpenSSH's sshd on 127.0.0.1, SFTP only, for the account install-deps makes; its SFTP
// session starts in root(). Only where sshd is installed and the tests run as root: see Available().
class SshdTestServer {
public:
    explicit SshdTestServer(SshdOptions options = {});
    ~SshdTestServer();
    SshdTestServer(const SshdTestServer&) = delete;
    SshdTestServer& operator=(const SshdTestServer&) = delete;

    static bool Available();
    static const char* User() { return "bxfr-sftp-test"; }
    // The account's password, which install-deps makes for each machine.
    static std::string Password();

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& root() const { return root_; }
    // As ssh-keygen -l prints it: "SHA256:..." without padding.
    std::string Fingerprint() const;
    std::filesystem::path HostKey() const;
    // "[127.0.0.1]:PORT ssh-ed25519 AAAA..." for a known_hosts file.
    std::string KnownHostsLine() const;
    // sshd's own log: connections, logins ("Accepted password for ...", "Failed ...").
    std::vector<std::string> Log() const;
    // Gives what the test wrote under root() to the account, as files it uploaded would be.
    void HandOver() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path hostKey_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

// A fresh ed25519 key pair at `path` (and path.pub), with `passphrase` ("" = none).
void MakeSshKey(const std::filesystem::path& path, const std::string& passphrase);

}  // namespace bxfr::test
