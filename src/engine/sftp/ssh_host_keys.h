#pragma once

// SSH host keys: their type and fingerprint, and what the user's known_hosts file says of
// one. No curl here, so the parser can be fed hostile files on its own. Private to the engine.

#include <cstdint>
#include <string>
#include <string_view>

namespace bxfr::engine {

// The key type a public key blob names first ("ssh-ed25519"); empty for a malformed blob.
std::string HostKeyType(std::string_view blob);

// $HOME (%USERPROFILE% on Windows); empty when unset.
std::string UserHomeFolder();

// The user's known_hosts file: ~/.ssh/known_hosts; empty without a home folder.
std::string DefaultKnownHostsFile();

struct KnownHostVerdict {
    enum class Kind {
        Unknown,  // no key of this type is listed for the host
        Known,    // listed as it is
        Changed,  // the file lists other keys for the host (of this type first, else of any)
        Revoked,  // the file marks the key @revoked
    };
    Kind kind = Kind::Unknown;
    std::string knownFingerprint;  // Changed: the fingerprint of the key listed instead
    std::string where;             // Known, Changed, Revoked: "FILE line N"
};

// The keys known_hosts lists for `host` on `port` (none revoked), as "NAME TYPE BASE64" lines
// with the name in plain text: what libcurl reads to ask the server for a key type we know.
std::string KnownHostLines(std::string_view fileText, const std::string& host, std::uint16_t port);

// Looks `blob` up for `host` on `port` as OpenSSH does: plain or hashed names, "[host]:port"
// for ports other than 22, wildcard and negated patterns, @revoked. A line it cannot read is
// passed over, as OpenSSH passes it over.
KnownHostVerdict LookUpKnownHost(std::string_view fileText, const std::string& fileName,
                                 const std::string& host, std::uint16_t port, std::string_view blob);

}  // namespace bxfr::engine
