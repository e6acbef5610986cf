#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

// vsftpd on 127.0.0.1 with FTP over TLS that refuses a data connection which does not resume
// the control connection's TLS session; anonymous, writable under /pub. Only where vsftpd is
// installed and the tests run as root (its chroot needs it): see Available().
class VsftpdTestServer {
public:
    // tlsVersion "1.2" or "1.3": the newest version the server speaks (it speaks 1.2 too).
    explicit VsftpdTestServer(const std::string& tlsVersion, bool implicitTls = false);
    ~VsftpdTestServer();
    VsftpdTestServer(const VsftpdTestServer&) = delete;
    VsftpdTestServer& operator=(const VsftpdTestServer&) = delete;

    static bool Available();

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& root() const { return root_; }
    std::string Fingerprint() const;
    // vsftpd's protocol log (log_ftp_protocol and debug_ssl).
    std::vector<std::string> Log() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
