// What an SSH server and the user's files hand the SFTP side: known_hosts files looked up
// for a presented key, and script commands turned into SFTP commands.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sftp/sftp_commands.h"
#include "engine/sftp/ssh_host_keys.h"
#include "fuzz_check.h"

namespace {

using bxfr::fuzz::Require;

void CheckKnownHosts(std::string_view text) {
    // The input's first line is the presented blob (raw bytes), the rest the file.
    const std::size_t end = text.find('\n');
    const std::string_view blob = text.substr(0, end);
    const std::string_view file = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    for (const std::uint16_t port : {std::uint16_t{22}, std::uint16_t{2222}}) {
        const auto verdict = bxfr::engine::LookUpKnownHost(file, "kh", "host.example", port, blob);
        using Kind = bxfr::engine::KnownHostVerdict::Kind;
        Require(verdict.kind == Kind::Unknown || verdict.where.rfind("kh line ", 0) == 0,
                "a verdict from the file names its line");
        Require(verdict.kind != Kind::Changed || verdict.knownFingerprint.rfind("SHA256:", 0) == 0,
                "a changed key names the listed fingerprint");
    }
    const std::string type = bxfr::engine::HostKeyType(blob);
    Require(type.size() <= 64 && type.find_first_of(" \n") == std::string::npos,
            "a key type is one short word");
}

void CheckCommand(const std::string& text) {
    const auto command = bxfr::engine::SftpCommandFor(text, "/site dir");
    if (!command) return;
    std::vector<std::string> words;
    Require(bxfr::engine::SplitWords(*command, words), "an SFTP command splits again");
    Require(words.size() >= 2 && words.size() <= 3, "an SFTP command has one or two arguments");
    for (std::size_t i = 1; i < words.size(); ++i) {
        Require(words[i].find('\0') == std::string::npos || text.find('\0') != std::string::npos,
                "no NUL appears from nowhere");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckKnownHosts(text);
    CheckCommand(text);
    return 0;
}
