#include "support/proftpd_sftp_test_server.h"

#include <unistd.h>

#include "support/child_process.h"
#include "support/sshd_test_server.h"

namespace bxfr::test {

namespace fs = std::filesystem;

namespace {
const char* const kProftpd = "/opt/bxfr-test-servers/proftpd/usr/sbin/proftpd";
const char* const kModSftp = "/opt/bxfr-test-servers/proftpd/usr/lib/proftpd/mod_sftp.so";
}  // namespace

ProftpdSftpTestServer::ProftpdSftpTestServer() : root_(dir_.path() / "root") {
    fs::create_directories(root_);
    const std::vector<std::string> argv{BXFR_TEST_PYTHON,
                                        SupportScript("vsftpd_server.py").string(),
                                        "--sftp",
                                        "--root",
                                        root_.string(),
                                        "--dir",
                                        dir_.path().string(),
                                        "--ready-file",
                                        (dir_.path() / "ready").string()};
    child_ = std::make_unique<ChildProcess>(argv, dir_.path() / "server.out");
    port_ = child_->WaitForPort(dir_.path() / "ready");
}

ProftpdSftpTestServer::~ProftpdSftpTestServer() = default;

bool ProftpdSftpTestServer::Available() {
    // Unpacked beside vsftpd by install-deps, never installed: the packages conflict.
    return SshdTestServer::Available() && access(kProftpd, X_OK) == 0 && access(kModSftp, R_OK) == 0;
}

std::string ProftpdSftpTestServer::Fingerprint(const std::string& keyType) const {
    const std::vector<std::string> lines = ReadLines(dir_.path() / (keyType + ".fingerprint"));
    return lines.empty() ? std::string() : lines.front();
}

fs::path ProftpdSftpTestServer::HostKey(const std::string& keyType) const {
    return dir_.path() / (keyType + "_key");
}

std::string ProftpdSftpTestServer::KnownHostsLine(const std::string& keyType) const {
    return KnownHostsLineFor(port_, HostKey(keyType));
}

std::vector<std::string> ProftpdSftpTestServer::Log() const { return ReadLines(dir_.path() / "proftpd.log"); }

std::vector<std::string> ProftpdSftpTestServer::Requests() const {
    return ReadLines(dir_.path() / "requests.log");
}

void ProftpdSftpTestServer::HandOver() const { HandOverToSftpAccount(root_); }

}  // namespace bxfr::test
