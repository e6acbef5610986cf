#include "support/ftp_test_server.h"

#include <algorithm>
#include <sstream>

#include "support/child_process.h"

namespace bxfr::test {
namespace {

std::string Number(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

}  // namespace

FtpTestServer::FtpTestServer(FtpServerOptions options)
    : options_(std::move(options)), root_(dir_.path() / "root"), commandLog_(dir_.path() / "commands.log") {
    std::filesystem::create_directories(root_);
    const std::filesystem::path ready = dir_.path() / "ready";

    std::vector<std::string> argv{BXFR_TEST_PYTHON};
    if (options_.hostile) {
        argv.push_back(SupportScript("hostile_ftp_server.py").string());
        if (options_.hostileMlsd) {
            argv.push_back("--mlsd");
        }
    } else {
        argv.push_back(SupportScript("ftp_server.py").string());
        argv.insert(argv.end(),
                    {"--root", root_.string(), "--user", options_.user, "--password", options_.password});
        if (options_.anonymous) {
            argv.push_back("--anonymous");
        }
        if (!options_.mlsd) {
            argv.push_back("--no-mlsd");
        }
        if (options_.replyDelaySeconds > 0) {
            argv.insert(argv.end(), {"--reply-delay", Number(options_.replyDelaySeconds)});
        }
        if (options_.silent) {
            argv.push_back("--silent");
        }
        if (options_.dropDataAfterBytes >= 0) {
            argv.insert(argv.end(), {"--drop-data-after", std::to_string(options_.dropDataAfterBytes)});
        }
        if (options_.maxConsPerIp > 0) {
            argv.insert(argv.end(), {"--max-cons-per-ip", std::to_string(options_.maxConsPerIp)});
        }
        if (options_.maxRateBytesPerSecond > 0) {
            argv.insert(argv.end(), {"--max-rate", std::to_string(options_.maxRateBytesPerSecond)});
        }
        if (options_.maxCons > 0) {
            argv.insert(argv.end(), {"--max-cons", std::to_string(options_.maxCons)});
        }
        if (options_.siteChmod) {
            argv.push_back("--site-chmod");
        }
        if (options_.noRenameOver) {
            argv.push_back("--no-rename-over");
        }
        if (!options_.tls.empty()) {
            argv.insert(argv.end(), {"--tls", options_.tls, "--cert-dir", dir_.path().string(), "--cert-name",
                                     options_.certificateName});
            if (options_.certificateExpired) {
                argv.push_back("--cert-expired");
            }
        }
        if (options_.loseLogin > 0) {
            argv.insert(argv.end(), {"--lose-login", std::to_string(options_.loseLogin)});
        }
        if (options_.quitDelaySeconds > 0) {
            argv.insert(argv.end(), {"--quit-delay", Number(options_.quitDelaySeconds)});
        }
        if (!options_.refused.empty()) {
            argv.insert(argv.end(), {"--refuse", options_.refused});
        }
    }
    if (options_.ipv6) argv.push_back("--ipv6");
    argv.insert(argv.end(), {"--ready-file", ready.string(), "--command-log", commandLog_.string()});

    child_ = std::make_unique<ChildProcess>(argv, dir_.path() / "server.log");
    port_ = child_->WaitForPort(ready);
}

FtpTestServer::~FtpTestServer() = default;

std::vector<std::string> FtpTestServer::Commands() const {
    std::vector<std::string> lines = ReadLines(commandLog_);
    std::erase_if(lines, [](const std::string& line) { return line.rfind("LOGIN ", 0) == 0; });
    return lines;
}

int FtpTestServer::LoginCount() const {
    const std::vector<std::string> lines = ReadLines(commandLog_);
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("LOGIN ", 0) == 0; }));
}

std::string FtpTestServer::Fingerprint() const {
    const std::vector<std::string> lines = ReadLines(dir_.path() / "fingerprint");
    return lines.empty() ? std::string() : lines.front();
}

}  // namespace bxfr::test
