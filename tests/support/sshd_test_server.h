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
    // Only what hardening guides leave: chacha20-poly1305 and AES-GCM, the SHA-2 encrypt-then-MAC
    // MACs, sntrup761x25519 and curve25519 key exchange.
    bool hardened = false;
    // The one host key is RSA (made unless hostKey is given), offered as rsa-sha2-512/256 only.
    bool rsaOnly = false;
    // The one host key is RSA, offered as SHA-1 "ssh-rsa" only, as before OpenSSH 7.2.
    bool sha1RsaOnly = false;
    // internal-sftp logs every request, for Requests() and RequestCount().
    bool logRequests = false;
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
    // sshd's own log: connections, logins ("Accepted password for ...", "Failed ..."), and the
    // algorithms agreed ("kex: client->server cipher: aes128-gcm@openssh.com MAC: <implicit> ...",
    // "kex: host key algorithm: rsa-sha2-512").
    std::vector<std::string> Log() const;
    // With logRequests, internal-sftp's messages so far, everything logged before the call:
    //   session opened for local user bxfr-sftp-test from [127.0.0.1]
    //   debug3: request 4: open flags 26
    //   open "/abs/a.tmp" flags WRITE,CREATE,TRUNCATE mode 0644
    //   debug1: request 6: write "/abs/a.tmp" (handle 0) off 0 len 4096
    //   close "/abs/a.tmp" bytes read 0 written 4096
    //   debug3: request 9: posix-rename
    //   posix-rename old "/abs/a.tmp" new "/abs/a"
    // Without logRequests, none.
    std::vector<std::string> Requests() const;
    // Requests of this kind ("open", "write", "posix-rename", "rename", "setstat", ...) so far.
    int RequestCount(const std::string& kind) const;
    // Gives what the test wrote under root() to the account, as files it uploaded would be.
    void HandOver() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path hostKey_;
    std::filesystem::path requestLog_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

// "[127.0.0.1]:PORT TYPE BASE64" for a known_hosts file, from the host key's .pub file.
std::string KnownHostsLineFor(std::uint16_t port, const std::filesystem::path& hostKey);

// Gives everything under `root` to the SFTP test account.
void HandOverToSftpAccount(const std::filesystem::path& root);

// A fresh ed25519 key pair at `path` (and path.pub), with `passphrase` ("" = none).
void MakeSshKey(const std::filesystem::path& path, const std::string& passphrase);

}  // namespace bxfr::test
