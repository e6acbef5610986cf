#pragma once

// The connection protocols (FTP, FTP over TLS, SFTP), their transfer-file keys and default ports.

#include <cstdint>
#include <optional>
#include <string>

namespace bxfr::job {

// How the connection is made. The transfer file's PROTOCOL key holds the text of ProtocolKey.
enum class Protocol {
    Ftp,    // plain, the default
    Ftpes,  // explicit TLS: AUTH TLS on the control connection, TLS required
    Ftps,   // implicit TLS from the first byte
    Sftp,   // the SSH file transfer protocol
};

// "ftp", "ftpes", "ftps", "sftp".
const char* ProtocolKey(Protocol protocol);
// Case-insensitive; nothing for a value this version does not know.
std::optional<Protocol> ParseProtocol(const std::string& key);
// A trusted certificate's or host key's fingerprint as the trust question and bxfr show it:
// "SHA256:" (in any case, or left out) and the 43 base64 characters of the digest, padded or not.
bool IsFingerprint(const std::string& text);

// 21 for FTP and FTP over explicit TLS, 990 for implicit TLS, 22 for SFTP.
std::uint16_t DefaultPort(Protocol protocol);

}  // namespace bxfr::job
