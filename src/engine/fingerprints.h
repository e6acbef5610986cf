#pragma once

// SHA-256 fingerprints of certificates and host keys, as OpenSSH prints them.

#include <string>
#include <string_view>

namespace bxfr::engine {

// "SHA256:" and the unpadded base64 of the SHA-256 of `der`.
std::string FingerprintOf(std::string_view der);

// Padded base64, as a known_hosts line holds a key blob.
std::string Base64Of(std::string_view bytes);

// The same fingerprint however it was typed: with or without the "SHA256:" prefix (in any
// case) and the base64 padding. Empty for an empty text.
std::string NormalFingerprint(std::string_view text);

}  // namespace bxfr::engine
