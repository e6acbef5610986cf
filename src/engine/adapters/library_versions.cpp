// The versions of libcurl and OpenSSL as loaded, for the About box.

#include "engine/adapters/library_versions.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

namespace bxfr::engine {

std::string FtpLibraryVersion() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return std::string("libcurl ") + (info && info->version ? info->version : "?");
}

std::string CryptoLibraryVersion() { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace bxfr::engine
