// The SFTP connection's host key check: what known_hosts or the transfer file trusts, decided
// in libcurl's host key hook, before any authentication.

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/fingerprints.h"
#include "engine/ftp/curl_ftp_connection.h"
#include "engine/sftp/curl_sftp_connection.h"
#include "engine/sftp/ssh_host_keys.h"

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

// curl asks the server for a key of the type its known_hosts file lists for the host (libssh2
// would pick its own favourite, whose key the user has never seen). curl finds that type only
// under a plain name and takes a hashed line of any host for ours, so it is given a file of the
// host's own lines in plain text, readable by the user alone.
std::string CurlSftpConnection::ReadKnownLines() const {
    bool exists = false;
    const std::string text = knownHosts_.empty() ? std::string() : ReadWholeFile(knownHosts_, exists);
    return KnownHostLines(text, params_.server, params_.port);
}

bool CurlSftpConnection::AskForKnownKeyType() {
    if (knownLines_.empty()) return false;
    if (typeHints_.empty()) {
        for (int attempt = 0; attempt < 4 && typeHints_.empty(); ++attempt) {
            const fs::path path =
                fs::temp_directory_path() / ("bxfr-known-hosts-" + std::to_string(std::random_device{}()) +
                                             std::to_string(std::random_device{}()));
#ifdef _WIN32
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            if (!(out << knownLines_).flush()) continue;
#else
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) continue;
            const bool written = ::write(fd, knownLines_.data(), knownLines_.size()) ==
                                 static_cast<ssize_t>(knownLines_.size());
            ::close(fd);
            if (!written) {
                std::error_code ignored;
                fs::remove(path, ignored);
                continue;
            }
#endif
            typeHints_ = path.string();
        }
        if (typeHints_.empty()) return false;
    }
    usingHints_ = curl_easy_setopt(easy_.get(), CURLOPT_SSH_KNOWNHOSTS, typeHints_.c_str()) == CURLE_OK;
    return usingHints_;
}

void CurlSftpConnection::DropKnownKeyType() {
    curl_easy_setopt(easy_.get(), CURLOPT_SSH_KNOWNHOSTS, nullptr);
    usingHints_ = false;
    if (typeHints_.empty()) return;
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
    shown.keyBase64 = Base64Of(blob);
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
            connection->hostKeyProblem_ = "The server's host key " + shown.fingerprint +
                                          " is marked as revoked in " + verdict.where +
                                          "; it is never accepted.";
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
        exists ? "it is not in " + file
               : "there is no known_hosts file (" + (file.empty() ? "no home folder" : file) + ")";
    return CURLKHMATCH_MISMATCH;
}

void CurlSftpConnection::RaiseForHostKey() {
    if (!hostKeyProblem_.empty()) {
        Record(kInvalidCertificate, ServerReply{0, hostKeyProblem_});
        throw InternetError(kInvalidCertificate, hostKeyProblem_);
    }
    const ServerCertificate& key = *presented_;
    const std::string text =
        key.pinned.empty()
            ? "The server's host key " + key.fingerprint + " is not trusted: " + key.whyUntrusted
            : "The server's host key has changed: " + key.pinnedIn + " trusts " + key.pinned +
                  ", the server showed " + key.fingerprint;
    Record(kInvalidCertificate, ServerReply{0, text});
    throw CertificateError(key, text);
}

}  // namespace bxfr::engine
