#pragma once

// Server certificates for FTP over TLS: their description for the trust question, and the
// check the adapter installs on each TLS connection. Private to the FTP adapter.

#include <optional>
#include <string>
#include <string_view>

#include "engine/connection.h"

namespace bxfr::engine {

// What the check decides for one connection and what it saw of the server.
struct PeerCheck {
    std::string host;  // the name or address the user gave
    std::string pin;   // NormalFingerprint of the trusted one; empty = authorities and host name
    std::optional<ServerCertificate> presented;  // the last leaf certificate offered
    bool refused = false;
    // Of the latest handshakes: whether the last one resumed a session, and the fatal alert
    // the server ended one with, in OpenSSL's words.
    std::optional<bool> resumed;
    std::string alert;
};

// Installs the check on an OpenSSL SSL_CTX (as libcurl's SSL context callback hands it over).
// `check` must outlive every connection made with the context.
void InstallPeerCheck(void* sslContext, PeerCheck* check);

// "TLS: TLSv1.3, cipher TLS_AES_256_GCM_SHA384" of an OpenSSL SSL*; empty for none.
std::string DescribeTlsSession(void* ssl);

}  // namespace bxfr::engine
