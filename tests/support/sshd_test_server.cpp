#include "support/sshd_test_server.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <thread>
#include <utility>

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
    const std::pair<bool, const char*> flags[] = {{options.ecdsaToo, "--ecdsa-key"},
                                                  {options.hardened, "--hardened"},
                                                  {options.rsaOnly, "--rsa-only"},
                                                  {options.sha1RsaOnly, "--sha1-rsa-only"}};
    for (const auto& [on, flag] : flags) {
        if (on) argv.push_back(flag);
    }
    if (options.logRequests) {
        requestLog_ = dir_.path() / "requests.log";
        argv.insert(argv.end(), {"--syslog-sink", requestLog_.string()});
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

// The sink writes a mark after every message that came before it, whatever their senders.
bool SendMark(const std::string& socketPath, const std::string& mark) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto sent =
        sendto(fd, mark.data(), mark.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    close(fd);
    return sent == static_cast<ssize_t>(mark.size());
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

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

std::vector<std::string> SshdTestServer::Requests() const {
    if (requestLog_.empty()) return {};
    const std::vector<std::string> socketPath = ReadLines(requestLog_.string() + ".socket");
    const std::string mark =
        "bxfr-test-mark " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<std::string> lines = ReadLines(requestLog_);
    if (!socketPath.empty() && SendMark(socketPath.front(), mark)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!HasLine(lines, mark) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lines = ReadLines(requestLog_);
        }
    }
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        const auto tag = line.find(" internal-sftp[");
        const auto text = line.find("]: ", tag);
        if (tag != std::string::npos && text != std::string::npos) messages.push_back(line.substr(text + 3));
    }
    return messages;
}

int SshdTestServer::RequestCount(const std::string& kind) const {
    // Each request is named once; "request N: sent ..." is its reply.
    const std::regex request("^debug[0-9]: request [0-9]+: ([^ ]+)");
    std::smatch match;
    const std::vector<std::string> messages = Requests();
    return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
        return std::regex_search(message, match, request) && match[1] == kind;
    }));
}

std::string SshdTestServer::KnownHostsLine() const { return KnownHostsLineFor(port_, hostKey_); }

void SshdTestServer::HandOver() const { HandOverToSftpAccount(root_); }

std::string KnownHostsLineFor(std::uint16_t port, const fs::path& hostKey) {
    const std::vector<std::string> lines = ReadLines(fs::path(hostKey.string() + ".pub"));
    if (lines.empty()) return {};
    const std::string& key = lines.front();
    return "[127.0.0.1]:" + std::to_string(port) + " " + key.substr(0, key.rfind(' '));
}

void HandOverToSftpAccount(const fs::path& root) {
    const passwd* account = getpwnam(SshdTestServer::User());
    if (account == nullptr) return;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
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
