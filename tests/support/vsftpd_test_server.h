#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

// vsftpd (or ProFTPD) on 127.0.0.1 with FTP over TLS that refuses a data connection which does
// not resume the control connection's TLS session; anonymous, writable under /pub. Only where
// the server is installed and the tests run as root (the chroot needs it): see Available().
class VsftpdTestServer {
public:
    // tlsVersion "1.2" or "1.3": the newest version the server speaks (it speaks 1.2 too);
    // "1.0": that version alone. daemon "vsftpd" or "proftpd" (mod_tls as it ships);
    // requireCert: vsftpd demands a client certificate.
    explicit VsftpdTestServer(const std::string& tlsVersion, bool implicitTls = false,
                              const std::string& daemon = "vsftpd", bool requireCert = false);
    ~VsftpdTestServer();
    VsftpdTestServer(const VsftpdTestServer&) = delete;
    VsftpdTestServer& operator=(const VsftpdTestServer&) = delete;

    static bool Available(const std::string& daemon = "vsftpd");

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& root() const { return root_; }
    std::string Fingerprint() const;
    // The server's protocol log (vsftpd's log_ftp_protocol and debug_ssl; ProFTPD's TLS log).
    std::vector<std::string> Log() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    std::unique_ptr<ChildProcess> child_;
    std::string daemon_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
