// The SSH session under SFTP: handshake, host key check and login on libssh, non-blocking.

#include "engine/sftp/ssh_link.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <vector>

#include "engine/error_texts.h"
#include "engine/fingerprints.h"
#include "engine/sftp/ssh_host_keys.h"
#include "engine/socket_wait.h"

namespace bxfr::engine {

namespace {

using Clock = std::chrono::steady_clock;

// Ours, strongest first; ssh-rsa (SHA-1 signatures) is not among them.
constexpr const char* kHostKeyAlgorithms =
    "ssh-ed25519,ecdsa-sha2-nistp521,ecdsa-sha2-nistp384,ecdsa-sha2-nistp256,rsa-sha2-512,rsa-sha2-256";

std::string ReadWholeFile(const std::string& path, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

// The key blob libssh hands out only in base64.
std::string DecodeBase64(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) return {};
    std::size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
    out.resize(static_cast<std::size_t>(length) -
               std::min<std::size_t>(padding, static_cast<std::size_t>(length)));
    return out;
}

[[noreturn]] void Raise(std::uint32_t code, const std::string& text) {
    ThreadLastReply() = ServerReply{code == kIncorrectPassword ? 530 : 0, text};
    throw InternetError(code, ErrorMessage(code, ThreadLastReply(), nullptr));
}

}  // namespace

std::string HostKeyPreference(const std::string& knownLines) {
    std::vector<std::string> order;
    const auto add = [&](const std::string& algorithm) {
        for (const std::string& have : order) {
            if (have == algorithm) return;
        }
        order.push_back(algorithm);
    };
    std::stringstream lines(knownLines);
    for (std::string line; std::getline(lines, line);) {
        std::stringstream words(line);
        std::string name;
        std::string type;
        words >> name >> type;
        // An RSA key is asked for with SHA-2 signatures, which every server since 2017 offers.
        if (type == "ssh-rsa") {
            add("rsa-sha2-512");
            add("rsa-sha2-256");
        } else if (type.starts_with("ssh-ed25519") || type.starts_with("ecdsa-sha2-")) {
            add(type);
        }
    }
    for (const std::string& algorithm : SplitList(kHostKeyAlgorithms)) add(algorithm);
    std::string out;
    for (const std::string& algorithm : order) out += (out.empty() ? "" : ",") + algorithm;
    return out;
}

SshLink::SshLink(const LoginParams& params) : params_(params) {
    static std::once_flag once;
    std::call_once(once, [] { ssh_init(); });
    // "~/.ssh/id_ed25519" as people write it.
    if (params_.keyFile.starts_with("~/") && !UserHomeFolder().empty()) {
        params_.keyFile = UserHomeFolder() + params_.keyFile.substr(1);
    }
    if (params_.knownHosts.empty()) params_.knownHosts = DefaultKnownHostsFile();
    const int fd = OpenSocket(params_);
    session_ = ssh_new();
    if (session_ == nullptr) {
#ifdef _WIN32
        closesocket(fd);
#else
        ::close(fd);
#endif
        Raise(12001, "out of memory for an SSH session");
    }
    socket_t socket = fd;
    ssh_options_set(session_, SSH_OPTIONS_FD, &socket);  // libssh closes it from here on
    ssh_options_set(session_, SSH_OPTIONS_HOST, params_.server.c_str());
    const unsigned int port = params_.port;
    ssh_options_set(session_, SSH_OPTIONS_PORT, &port);
    ssh_options_set(session_, SSH_OPTIONS_USER, params_.userName.c_str());
    // A transfer file runs the same on every machine and for every account: ~/.ssh/config
    // (aliases, ProxyJump, other keys) is not read.
    const int no = 0;
    ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
    const int yes = 1;
    ssh_options_set(session_, SSH_OPTIONS_NODELAY, &yes);
    bool exists = false;
    const std::string known = ReadWholeFile(params_.knownHosts, exists);
    const std::string hostKeys = HostKeyPreference(KnownHostLines(known, params_.server, params_.port));
    ssh_options_set(session_, SSH_OPTIONS_HOSTKEYS, hostKeys.c_str());
    ssh_set_blocking(session_, 0);
    if (Await([&] { return ssh_connect(session_); }, SSH_AGAIN) != SSH_OK) RaiseHandshake();
    CheckHostKey();
    LogIn();
    channel_ = ssh_channel_new(session_);
    if (channel_ == nullptr ||
        Await([&] { return ssh_channel_open_session(channel_); }, SSH_AGAIN) != SSH_OK ||
        Await([&] { return ssh_channel_request_subsystem(channel_, "sftp"); }, SSH_AGAIN) != SSH_OK) {
        Raise(kConnectionAborted, "the server refused to start SFTP: " + LastLibraryError());
    }
    const char* cipher = ssh_get_cipher_out(session_);
    const char* kex = ssh_get_kex_algo(session_);
    security_ += std::string(", cipher ") + (cipher ? cipher : "?") + ", key exchange " + (kex ? kex : "?");
}

SshLink::~SshLink() {
    if (channel_ != nullptr) ssh_channel_free(channel_);
    // A polite goodbye must not hang on a dead server: the socket is simply closed.
    ssh_silent_disconnect(session_);
    ssh_free(session_);
}

std::string SshLink::LastLibraryError() const { return ssh_get_error(session_); }

template <typename Call>
int SshLink::Await(Call call, int again) {
    const auto deadline = Clock::now() + params_.connectTimeout;
    for (;;) {
        const int result = call();
        if (result != again) return result;
        if (params_.stopRequested && params_.stopRequested()) Raise(12017, "the transfer was cancelled");
        if (Clock::now() > deadline) {
            Raise(kTimeout, "the server did not answer within " +
                                std::to_string(params_.connectTimeout.count()) + " seconds");
        }
        Wait(std::chrono::milliseconds(100));
    }
}

void SshLink::Wait(std::chrono::milliseconds timeout) const {
    // libssh wants POLLIN always (its "read pending"), and POLLOUT while it holds unsent bytes.
    const int flags = ssh_get_poll_flags(session_);
    WaitOnSocket(static_cast<std::intptr_t>(ssh_get_fd(session_)),
                 kReadable | ((flags & SSH_WRITE_PENDING) != 0 ? kWritable : 0),
                 static_cast<int>(timeout.count()));
}

void SshLink::RaiseHandshake() {
    const std::string error = LastLibraryError();
    // "kex error : no match for method WHAT: server [LIST], client [LIST]"
    const auto method = error.find("no match for method ");
    const auto server = error.find(": server [");
    const auto client = error.find("], client [");
    if (method != std::string::npos && server != std::string::npos && client != std::string::npos) {
        const std::string what = error.substr(method + 20, server - method - 20);
        const std::string offered = error.substr(server + 10, client - server - 10);
        const std::string ours = error.substr(client + 11, error.rfind(']') - client - 11);
        if (what == "server host key algo" && SplitList(offered) == std::vector<std::string>{"ssh-rsa"}) {
            Raise(kSecurityChannelError,
                  "The server proves its identity only with SHA-1 signatures (ssh-rsa), which are no longer "
                  "safe and which we do not accept. Its administrator can offer rsa-sha2-256 with the same "
                  "key.");
        }
        const std::string plain = what == "kex algos"               ? "key exchange methods"
                                  : what == "server host key algo"  ? "host key types"
                                  : what.starts_with("encryption")  ? "ciphers"
                                  : what.starts_with("mac algo")    ? "message authentication codes (MACs)"
                                  : what.starts_with("compression") ? "compression methods"
                                                                    : what;
        Raise(kSecurityChannelError, "The server accepts none of the " + plain + " we offer: it offers " +
                                         offered + "; we offer " + ours + ".");
    }
    if (error.find("Timeout") != std::string::npos) Raise(kTimeout, "the SSH handshake timed out");
    Raise(kSecurityChannelError, "The SSH handshake failed: " + error);
}

void SshLink::CheckHostKey() {
    ssh_key key = nullptr;
    char* base64 = nullptr;
    if (ssh_get_server_publickey(session_, &key) != SSH_OK ||
        ssh_pki_export_pubkey_base64(key, &base64) != SSH_OK) {
        ssh_key_free(key);
        Raise(kSecurityChannelError, "The server did not show its host key, so it cannot be checked.");
    }
    const std::string bytes = DecodeBase64(base64);
    ssh_string_free_char(base64);
    ssh_key_free(key);
    ServerCertificate shown;
    shown.fingerprint = FingerprintOf(bytes);
    shown.keyType = HostKeyType(bytes);
    if (shown.keyType.empty()) shown.keyType = "unknown";
    shown.keyBase64 = Base64Of(bytes);
    shown.host = params_.server;
    shown.port = params_.port;
    security_ = "SSH: host key " + shown.keyType + " " + shown.fingerprint;
    bool exists = false;
    const std::string& file = params_.knownHosts;
    const std::string text = file.empty() ? std::string() : ReadWholeFile(file, exists);
    const KnownHostVerdict verdict = LookUpKnownHost(text, file, params_.server, params_.port, bytes);
    // A revoked key stays refused whatever trusts it: the pin, --trust, the question.
    if (verdict.kind == KnownHostVerdict::Kind::Revoked) {
        Raise(kInvalidCertificate, "The server's host key " + shown.fingerprint +
                                       " is marked as revoked in " + verdict.where +
                                       "; it is never accepted.");
    }
    const std::string pin = NormalFingerprint(params_.fingerprint);
    if (!pin.empty()) {
        if (pin == shown.fingerprint) return;
        shown.pinned = params_.fingerprint;
        shown.pinnedIn = "FINGERPRINT";
        shown.whyUntrusted = "it is not the host key trusted for this transfer";
    } else if (verdict.kind == KnownHostVerdict::Kind::Known) {
        return;
    } else if (verdict.kind == KnownHostVerdict::Kind::Changed) {
        shown.pinned = verdict.knownFingerprint;
        shown.pinnedIn = verdict.where;
        shown.whyUntrusted = "it is not the host key " + verdict.where + " holds";
    } else {
        shown.whyUntrusted =
            exists ? "it is not in " + file
                   : "there is no known_hosts file (" + (file.empty() ? "no home folder" : file) + ")";
    }
    const std::string message =
        shown.pinned.empty()
            ? "The server's host key " + shown.fingerprint + " is not trusted: " + shown.whyUntrusted
            : "The server's host key has changed: " + shown.pinnedIn + " trusts " + shown.pinned +
                  ", the server showed " + shown.fingerprint;
    ThreadLastReply() = ServerReply{0, message};
    throw CertificateError(shown, message);
}

bool SshLink::TryPassword() {
    return Await([&] { return ssh_userauth_password(session_, nullptr, params_.password.c_str()); },
                 SSH_AUTH_AGAIN) == SSH_AUTH_SUCCESS;
}

// Keyboard-interactive as servers use it for passwords: every hidden prompt gets the password.
bool TryKeyboardWith(ssh_session session, const std::string& password,
                     const std::function<int(const std::function<int()>&)>& await) {
    for (int round = 0; round < 8; ++round) {
        const int result = await([&] { return ssh_userauth_kbdint(session, nullptr, nullptr); });
        if (result != SSH_AUTH_INFO) return result == SSH_AUTH_SUCCESS;
        const int prompts = ssh_userauth_kbdint_getnprompts(session);
        for (int i = 0; i < prompts; ++i) {
            char echo = 1;
            ssh_userauth_kbdint_getprompt(session, static_cast<unsigned>(i), &echo);
            if (echo != 0) return false;  // it asks for something else than a password
            ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), password.c_str());
        }
    }
    return false;
}

bool SshLink::TryKeyboard() {
    return TryKeyboardWith(session_, params_.password,
                           [&](const std::function<int()>& call) { return Await(call, SSH_AUTH_AGAIN); });
}

void SshLink::LogIn() {
    if (Await([&] { return ssh_userauth_none(session_, nullptr); }, SSH_AUTH_AGAIN) == SSH_AUTH_SUCCESS)
        return;
    const int methods = ssh_userauth_list(session_, nullptr);
    const char* agentSocket = std::getenv("SSH_AUTH_SOCK");
    const bool agent =
        agentSocket != nullptr && *agentSocket != '\0' && (methods & SSH_AUTH_METHOD_PUBLICKEY);
    const auto tryAgent = [&] {
        return agent && Await([&] { return ssh_userauth_agent(session_, nullptr); }, SSH_AUTH_AGAIN) ==
                            SSH_AUTH_SUCCESS;
    };
    if (!params_.keyFile.empty()) {
        // The password is the key's passphrase: it never reaches the server as a password.
        bool readable = false;
        ReadWholeFile(params_.keyFile, readable);
        if (!readable) Raise(kLoginFailure, "The private key file " + params_.keyFile + " cannot be read.");
        ssh_key key = nullptr;
        const int imported = ssh_pki_import_privkey_file(
            params_.keyFile.c_str(), params_.password.empty() ? nullptr : params_.password.c_str(), nullptr,
            nullptr, &key);
        bool done = false;
        if (imported == SSH_OK) {
            done = Await([&] { return ssh_userauth_publickey(session_, nullptr, key); }, SSH_AUTH_AGAIN) ==
                   SSH_AUTH_SUCCESS;
            ssh_key_free(key);
        }
        if (done || tryAgent()) return;
        Raise(kIncorrectPassword,
              "530 The server refused the login: " +
                  std::string(imported == SSH_OK
                                  ? "the key " + params_.keyFile + " was refused"
                                  : "the passphrase of the key " + params_.keyFile + " is wrong") +
                  ".");
    }
    if (params_.password.empty() && tryAgent()) return;
    if ((methods & SSH_AUTH_METHOD_PASSWORD) && TryPassword()) return;
    if ((methods & SSH_AUTH_METHOD_INTERACTIVE) && TryKeyboard()) return;
    if (!params_.password.empty() && tryAgent()) return;
    Raise(kIncorrectPassword, "530 The server refused the login: the user name or password is wrong.");
}

}  // namespace bxfr::engine
