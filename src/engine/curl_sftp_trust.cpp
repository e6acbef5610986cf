// The SFTP connection's host key check: what known_hosts or the transfer file trusts, decided
// in libcurl's host key hook, before any authentication.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/certificate_trust.h"
#include "engine/curl_ftp_connection.h"
#include "engine/curl_sftp_connection.h"
#include "engine/ssh_host_keys.h"

namespace bxfr::engine {

namespace fs = std::filesystem;

namespace {

std::string ReadWholeFile(const std::string& path, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

void CurlSftpConnection::AskForKnownKeyType() {
    // The server is asked for a key of a type known_hosts lists for it (libssh2 would pick its
    // own favourite, whose key the user has never seen). curl finds that type only under a plain
    // name and takes a hashed line of any host for ours, so it reads the host's lines in plain.
    bool exists = false;
    const std::string known = knownHosts_.empty() ? std::string() : ReadWholeFile(knownHosts_, exists);
    if (const std::string lines = KnownHostLines(known, params_.server, params_.port); !lines.empty()) {
        typeHints_ = (fs::temp_directory_path() / ("bxfr-known-hosts-" + std::to_string(std::random_device{}()) +
                                                  std::to_string(std::random_device{}())))
                         .string();
        std::ofstream out(typeHints_, std::ios::binary | std::ios::trunc);
        out << lines;
        if (out.flush()) {
            curl_easy_setopt(easy_.get(), CURLOPT_SSH_KNOWNHOSTS, typeHints_.c_str());
        }
    }
}

void CurlSftpConnection::DropKnownKeyType() {
    if (typeHints_.empty()) return;
    curl_easy_setopt(easy_.get(), CURLOPT_SSH_KNOWNHOSTS, nullptr);
    std::error_code ignored;
    fs::remove(typeHints_, ignored);
    typeHints_.clear();
}

int CurlSftpConnection::OnHostKey(void* self, int, const char* key, std::size_t length) {
    auto* connection = static_cast<CurlSftpConnection*>(self);
    const std::string_view blob(key, length);
    ServerCertificate shown;
    shown.fingerprint = FingerprintOf(blob);
    shown.keyType = HostKeyType(blob);
    if (shown.keyType.empty()) shown.keyType = "unknown";
    connection->presented_ = shown;
    connection->hostKeyRefused_ = true;
    connection->hostKeyProblem_.clear();
    const std::string pin = NormalFingerprint(connection->params_.fingerprint);
    if (!pin.empty()) {
        if (pin == shown.fingerprint) {
            connection->hostKeyRefused_ = false;
            return CURLKHMATCH_OK;
        }
        connection->presented_->pinned = connection->params_.fingerprint;
        connection->presented_->pinnedIn = "FINGERPRINT";
        connection->presented_->whyUntrusted = "it is not the host key trusted for this transfer";
        return CURLKHMATCH_MISMATCH;
    }
    const std::string& file = connection->knownHosts_;
    bool exists = false;
    const std::string text = file.empty() ? std::string() : ReadWholeFile(file, exists);
    const KnownHostVerdict verdict =
        LookUpKnownHost(text, file, connection->params_.server, connection->params_.port, blob);
    switch (verdict.kind) {
        case KnownHostVerdict::Kind::Known:
            connection->hostKeyRefused_ = false;
            return CURLKHMATCH_OK;
        case KnownHostVerdict::Kind::Revoked:
            connection->hostKeyProblem_ = "The server's host key " + shown.fingerprint + " is marked as revoked in " +
                                          verdict.where + "; it is never accepted.";
            return CURLKHMATCH_MISMATCH;
        case KnownHostVerdict::Kind::Changed:
            connection->presented_->pinned = verdict.knownFingerprint;
            connection->presented_->pinnedIn = verdict.where;
            connection->presented_->whyUntrusted = "it is not the host key " + verdict.where + " holds";
            return CURLKHMATCH_MISMATCH;
        case KnownHostVerdict::Kind::Unknown:
            break;
    }
    connection->presented_->whyUntrusted =
        exists ? "it is not in " + file : "there is no known_hosts file (" + (file.empty() ? "no home folder" : file) + ")";
    return CURLKHMATCH_MISMATCH;
}

void CurlSftpConnection::RaiseForHostKey() {
    if (!hostKeyProblem_.empty()) {
        lastReply_ = FtpReply{0, hostKeyProblem_};
        ThreadLastReply() = lastReply_;
        throw InternetError(kInvalidCertificate, hostKeyProblem_);
    }
    const ServerCertificate& key = *presented_;
    const std::string text = key.pinned.empty()
                                 ? "The server's host key " + key.fingerprint + " is not trusted: " + key.whyUntrusted
                                 : "The server's host key has changed: " + key.pinnedIn + " trusts " + key.pinned +
                                       ", the server showed " + key.fingerprint;
    lastReply_ = FtpReply{0, text};
    ThreadLastReply() = lastReply_;
    lastError_ = kInvalidCertificate;
    throw CertificateError(key, text);
}

}  // namespace bxfr::engine
