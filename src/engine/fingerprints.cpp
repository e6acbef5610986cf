// SHA-256 fingerprints of certificates and host keys, as OpenSSH prints them.

#include "engine/fingerprints.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace bxfr::engine {

namespace {

constexpr std::string_view kPrefix = "SHA256:";

}  // namespace

std::string Base64Of(std::string_view bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    encoded.resize(static_cast<std::size_t>(std::max(written, 0)));
    return encoded;
}

std::string FingerprintOf(std::string_view der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    std::string encoded = Base64Of(std::string_view(reinterpret_cast<const char*>(digest), length));
    while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
    return std::string(kPrefix) + encoded;
}

std::string NormalFingerprint(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '=' || std::isspace(static_cast<unsigned char>(text.back()))))
        text.remove_suffix(1);
    if (text.size() >= kPrefix.size() &&
        std::equal(kPrefix.begin(), kPrefix.end(), text.begin(),
                   [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); })) {
        text.remove_prefix(kPrefix.size());
    }
    return text.empty() ? std::string() : std::string(kPrefix) + std::string(text);
}

}  // namespace bxfr::engine
