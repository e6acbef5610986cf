#include "support/vsftpd_test_server.h"

#include <unistd.h>

#include "support/child_process.h"

namespace bxfr::test {

VsftpdTestServer::VsftpdTestServer(const std::string& tlsVersion, bool implicitTls, const std::string& daemon,
                                   bool requireCert)
    : root_(dir_.path() / "root"), daemon_(daemon) {
    std::filesystem::create_directories(root_);
    std::vector<std::string> argv{BXFR_TEST_PYTHON, SupportScript("vsftpd_server.py").string(),
                                  "--root",         root_.string(),
                                  "--dir",          dir_.path().string(),
                                  "--ready-file",   (dir_.path() / "ready").string(),
                                  "--tls-version",  tlsVersion,
                                  "--daemon",       daemon};
    if (implicitTls) {
        argv.push_back("--implicit");
    }
    if (requireCert) {
        argv.push_back("--require-cert");
    }
    child_ = std::make_unique<ChildProcess>(argv, dir_.path() / "server.out");
    port_ = child_->WaitForPort(dir_.path() / "ready");
}

VsftpdTestServer::~VsftpdTestServer() = default;

bool VsftpdTestServer::Available(const std::string& daemon) {
    // tools/install-deps unpacks ProFTPD beside vsftpd: their packages conflict.
    const std::string installed = "/usr/sbin/" + daemon;
    const std::string unpacked = "/opt/bxfr-test-servers/" + daemon + "/usr/sbin/" + daemon;
    return geteuid() == 0 && (access(installed.c_str(), X_OK) == 0 || access(unpacked.c_str(), X_OK) == 0);
}

std::string VsftpdTestServer::Fingerprint() const {
    const std::vector<std::string> lines = ReadLines(dir_.path() / "fingerprint");
    return lines.empty() ? std::string() : lines.front();
}

std::vector<std::string> VsftpdTestServer::Log() const { return ReadLines(dir_.path() / (daemon_ + ".log")); }

}  // namespace bxfr::test
