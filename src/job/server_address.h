#pragma once

// A server address as users paste it: "ftp.example.com:2121", "sftp://ann@host:2222/pub",
// "ftpes://[2001:db8::1]".

#include <cstdint>
#include <optional>
#include <string>

#include "job/protocol.h"

namespace bxfr::job {

struct ServerAddress {
    std::optional<Protocol> protocol;  // from the scheme, when one was given
    std::string userName;              // percent-decoded; empty when none was given
    std::optional<std::string> password;
    std::string host;  // without the brackets of an IPv6 literal
    std::optional<std::uint16_t> port;
    std::string path;  // percent-decoded, starting with '/'; empty for none or the root
};

// Reads a host, "host:port", "[v6]:port" or a URL with the scheme ftp, ftps (implicit TLS),
// ftpes (explicit TLS) or sftp, with an optional user, password, port and path. Nothing for
// another scheme, a port that is not 1 to 65535, or no host.
std::optional<ServerAddress> ParseServerAddress(const std::string& text);

// The proxy setting: "host:port" or "http://host:port" for an HTTP proxy reached by CONNECT,
// "socks5://host:port" (or socks5h) for a SOCKS5 proxy, which resolves the server's name itself.
struct ProxyAddress {
    bool socks = false;
    std::string host;  // without the brackets of an IPv6 literal
    std::uint16_t port = 0;
};
// Nothing for another scheme, an account, a path, or a missing port.
std::optional<ProxyAddress> ParseProxyAddress(const std::string& text);

}  // namespace bxfr::job
