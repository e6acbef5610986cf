// The versions of libcurl, libssh and OpenSSL as loaded, for the About box.

#include "engine/adapters/library_versions.h"

#include <curl/curl.h>
#include <libssh/libssh.h>
#include <openssl/crypto.h>

namespace bxfr::engine {

std::string FtpLibraryVersion() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return std::string("libcurl ") + (info && info->version ? info->version : "?");
}

std::string CryptoLibraryVersion() { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace bxfr::engine

namespace bxfr::engine {

std::string SshLibraryVersion() {
    // "0.10.6/openssl/zlib": the version comes first.
    const std::string full = ssh_version(0) != nullptr ? ssh_version(0) : "?";
    return "libssh " + full.substr(0, full.find('/'));
}

}  // namespace bxfr::engine
