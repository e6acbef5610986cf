#include "support/sshd_test_server.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/child_process.h"
#include "support/files.h"

namespace bxfr::test {

namespace fs = std::filesystem;

SshdTestServer::SshdTestServer(SshdOptions options) : root_(dir_.path() / "root") {
    fs::create_directories(root_);
    hostKey_ = options.hostKey.empty() ? dir_.path() / "host_key" : options.hostKey;
    std::vector<std::string> argv{BXFR_TEST_PYTHON, SupportScript("sshd_server.py").string(),
                                  "--root",         root_.string(),
                                  "--dir",          dir_.path().string(),
                                  "--ready-file",   (dir_.path() / "ready").string(),
                                  "--host-key",     hostKey_.string()};
    if (options.ecdsaToo) {
        argv.push_back("--ecdsa-key");
    }
    if (!options.authorizedKey.empty()) {
        argv.insert(argv.end(), {"--authorized-key", options.authorizedKey.string()});
    }
    child_ = std::make_unique<ChildProcess>(argv, dir_.path() / "server.out");
    port_ = child_->WaitForPort(dir_.path() / "ready");
}

SshdTestServer::~SshdTestServer() = default;

namespace {
const char* const kPasswordFile = "/etc/bxfr-sftp-test.password";
}  // namespace

bool SshdTestServer::Available() {
    return geteuid() == 0 && access("/usr/sbin/sshd", X_OK) == 0 && getpwnam(User()) != nullptr &&
           !Password().empty();
}

std::string SshdTestServer::Password() {
    const std::vector<std::string> lines = ReadLines(kPasswordFile);
    return lines.empty() ? std::string() : lines.front();
}

std::string SshdTestServer::Fingerprint() const {
    const std::vector<std::string> lines = ReadLines(dir_.path() / "fingerprint");
    return lines.empty() ? std::string() : lines.front();
}

fs::path SshdTestServer::HostKey() const { return hostKey_; }

std::vector<std::string> SshdTestServer::Log() const { return ReadLines(dir_.path() / "sshd.log"); }

std::string SshdTestServer::KnownHostsLine() const {
    const std::vector<std::string> lines = ReadLines(fs::path(hostKey_.string() + ".pub"));
    if (lines.empty()) return {};
    const std::string& key = lines.front();
    return "[127.0.0.1]:" + std::to_string(port_) + " " + key.substr(0, key.rfind(' '));
}

void SshdTestServer::HandOver() const {
    const passwd* account = getpwnam(User());
    if (account == nullptr) return;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        if (lchown(entry.path().c_str(), account->pw_uid, account->pw_gid) != 0) {
            throw std::runtime_error("cannot hand over " + entry.path().string());
        }
    }
}

void MakeSshKey(const fs::path& path, const std::string& passphrase) {
    // Test-made names and passphrases only: nothing here needs quoting beyond the quotes.
    const std::string command = "ssh-keygen -q -t ed25519 -C bxfr-test -N '" + passphrase + "' -f '" +
                                path.string() + "' </dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("ssh-keygen failed for " + path.string());
    }
}

}  // namespace bxfr::test
