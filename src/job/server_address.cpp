// Reading a pasted server address into protocol, account, host, port and path.

#include "job/server_address.h"

#include <algorithm>
#include <cctype>

namespace bxfr::job {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "%40" and the like; a '%' that starts no escape stays as it is.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<std::uint16_t> PortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<ServerAddress> ParseServerAddress(const std::string& text) {
    ServerAddress address;
    std::string rest = text;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        address.protocol = ParseProtocol(rest.substr(0, scheme));
        if (!address.protocol) return std::nullopt;
        rest = rest.substr(scheme + 3);
    }
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) {
        std::string path = PercentDecoded(rest.substr(slash));
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (path != "/") address.path = path;
    }
    // The last '@' ends the account: a user name may hold an unescaped one.
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string account = authority.substr(0, at);
        const std::size_t colon = account.find(':');
        address.userName = PercentDecoded(account.substr(0, colon));
        if (colon != std::string::npos) address.password = PercentDecoded(account.substr(colon + 1));
        authority = authority.substr(at + 1);
    }
    std::string portText;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        address.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            if (portText.empty()) return std::nullopt;
        }
    } else if (std::count(authority.begin(), authority.end(), ':') == 1) {
        const std::size_t colon = authority.find(':');
        address.host = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
        if (portText.empty()) return std::nullopt;
    } else {
        // No port, or an IPv6 literal without brackets, whose colons are its own.
        address.host = authority;
    }
    if (!portText.empty()) {
        address.port = PortNumber(portText);
        if (!address.port) return std::nullopt;
    }
    if (address.host.empty()) return std::nullopt;
    return address;
}

std::optional<ProxyAddress> ParseProxyAddress(const std::string& text) {
    ProxyAddress proxy;
    std::string rest = text;
    if (const std::size_t scheme = rest.find("://"); scheme != std::string::npos) {
        std::string name = rest.substr(0, scheme);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name == "socks5" || name == "socks5h") {
            proxy.socks = true;
        } else if (name != "http") {
            return std::nullopt;
        }
        rest = rest.substr(scheme + 3);
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::optional<ServerAddress> address = ParseServerAddress(rest);
    if (!address || !address->port || !address->userName.empty() || address->password ||
        !address->path.empty()) {
        return std::nullopt;
    }
    proxy.host = address->host;
    proxy.port = *address->port;
    return proxy;
}

}  // namespace bxfr::job
