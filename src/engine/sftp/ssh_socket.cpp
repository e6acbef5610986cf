// The TCP connection under SSH: direct, or a tunnel through an HTTP proxy's CONNECT, opened
// here since libssh only takes a socket. Bounded by the connect timeout and the stop flag.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "engine/error_texts.h"
#include "engine/sftp/ssh_link.h"
#include "engine/socket_wait.h"
#include "job/server_address.h"

namespace bxfr::engine {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { ::close(s); }
#endif

constexpr std::uint32_t kCannotConnect = 12029;

[[noreturn]] void Fail(std::uint32_t code, const std::string& text) {
    ThreadLastReply() = ServerReply{0, text};
    throw InternetError(code, WinInetErrorName(code) + ": " + text);
}

// Waits for `events` on `s` until `deadline`, checking the stop flag every 100 ms.
void WaitFor(Socket s, int events, Clock::time_point deadline, const LoginParams& params,
             const std::string& what) {
    for (;;) {
        if (params.stopRequested && params.stopRequested()) Fail(12017, "the transfer was cancelled");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            Fail(kTimeout, what + " did not answer within " + std::to_string(params.connectTimeout.count()) +
                               " seconds");
        const int ready = WaitOnSocket(static_cast<std::intptr_t>(s), events,
                                       static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) Fail(kCannotConnect, what + ": " + std::strerror(errno));
    }
}

Socket Dial(const std::string& host, const std::string& port, Clock::time_point deadline,
            const LoginParams& params, const std::string& what) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        Fail(kNameNotResolved, "the name " + host + " could not be resolved");
    }
    std::string lastError = "no address";
    Socket s = kNoSocket;
    for (const addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) continue;
#ifdef _WIN32
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
#else
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
        ::fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
        int result = ::connect(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen));
        if (result != 0 && (errno == EINPROGRESS || errno == EWOULDBLOCK)) {
            try {
                WaitFor(s, kWritable, deadline, params, what);
            } catch (...) {
                CloseSocket(s);
                freeaddrinfo(found);
                throw;
            }
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            result = error == 0 ? 0 : -1;
            errno = error;
        }
        if (result != 0) {
            lastError = std::strerror(errno);
            CloseSocket(s);
            s = kNoSocket;
        }
    }
    freeaddrinfo(found);
    if (s == kNoSocket) Fail(kCannotConnect, "cannot connect to " + what + ": " + lastError);
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Routers that forget idle flows then see the long quiet control connection as alive.
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
#ifdef TCP_KEEPIDLE
    // A probe after a minute of quiet, well inside the five minutes many routers allow.
    const int idle = 60;
    const int interval = 30;
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<const char*>(&idle), sizeof idle);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, reinterpret_cast<const char*>(&interval), sizeof interval);
#endif
    return s;
}

// CONNECT host:port through the proxy on `s`; the proxy's answer must be 2xx.
void Tunnel(Socket s, const std::string& target, Clock::time_point deadline, const LoginParams& params,
            const std::string& proxy) {
    const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        WaitFor(s, kWritable, deadline, params, "the proxy " + proxy);
        const auto n = ::send(s, request.data() + sent, request.size() - sent, 0);
        if (n <= 0) Fail(kCannotConnect, "the proxy " + proxy + " closed the connection");
        sent += static_cast<std::size_t>(n);
    }
    // Byte by byte, so that nothing of the SSH stream behind the header is swallowed.
    std::string header;
    while (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
        if (header.size() > 16384) Fail(kCannotConnect, "the proxy " + proxy + " sent an endless header");
        WaitFor(s, kReadable, deadline, params, "the proxy " + proxy);
        char c = 0;
        const auto n = ::recv(s, &c, 1, 0);
        if (n <= 0) Fail(kCannotConnect, "the proxy " + proxy + " closed the connection");
        header += c;
    }
    const std::string status = header.substr(0, header.find('\r'));
    const auto space = status.find(' ');
    if (!status.starts_with("HTTP/") || space == std::string::npos ||
        status.compare(space + 1, 1, "2") != 0) {
        Fail(kCannotConnect, "the proxy " + proxy + " refused the tunnel to " + target + ": " + status);
    }
}

void SendAll(Socket s, const std::string& bytes, Clock::time_point deadline, const LoginParams& params,
             const std::string& what) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        WaitFor(s, kWritable, deadline, params, what);
        const auto n = ::send(s, bytes.data() + sent, bytes.size() - sent, 0);
        if (n <= 0) Fail(kCannotConnect, what + " closed the connection");
        sent += static_cast<std::size_t>(n);
    }
}

std::string ReceiveExactly(Socket s, std::size_t count, Clock::time_point deadline, const LoginParams& params,
                           const std::string& what) {
    std::string out;
    while (out.size() < count) {
        WaitFor(s, kReadable, deadline, params, what);
        char buffer[256];
        const auto n = ::recv(s, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0) Fail(kCannotConnect, what + " closed the connection");
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// SOCKS5 without authentication: the server is named to the proxy, which resolves it.
void SocksTunnel(Socket s, const std::string& host, std::uint16_t port, Clock::time_point deadline,
                 const LoginParams& params, const std::string& what) {
    SendAll(s, std::string("\x05\x01\x00", 3), deadline, params, what);
    if (ReceiveExactly(s, 2, deadline, params, what) != std::string("\x05\x00", 2)) {
        Fail(kCannotConnect, what + " asks for a login, which bxfr does not give to SOCKS proxies");
    }
    std::string request("\x05\x01\x00", 3);
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1) {
        request += '\x01';
        request.append(reinterpret_cast<const char*>(address), 4);
    } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
        request += '\x04';
        request.append(reinterpret_cast<const char*>(address), 16);
    } else {
        if (host.size() > 255) Fail(kNameNotResolved, "the name " + host + " is too long for a SOCKS proxy");
        request += '\x03';
        request += static_cast<char>(host.size());
        request += host;
    }
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xFF);
    SendAll(s, request, deadline, params, what);
    const std::string reply = ReceiveExactly(s, 4, deadline, params, what);
    if (reply[0] != '\x05' || reply[1] != '\x00') {
        static constexpr const char* kWhy[] = {"a general failure",
                                               "a general failure",
                                               "the connection is not allowed",
                                               "the network cannot be reached",
                                               "the host cannot be reached",
                                               "the connection was refused",
                                               "the time to live expired",
                                               "the command is not supported",
                                               "the address type is not supported"};
        const auto code = static_cast<unsigned char>(reply[1]);
        Fail(kCannotConnect, what + " could not reach " + host + " port " + std::to_string(port) + ": " +
                                 (code < std::size(kWhy) ? kWhy[code] : "reply " + std::to_string(code)));
    }
    // The address the proxy bound: read and passed over.
    const std::size_t length =
        reply[3] == '\x01'   ? 4
        : reply[3] == '\x04' ? 16
                             : static_cast<unsigned char>(ReceiveExactly(s, 1, deadline, params, what)[0]);
    ReceiveExactly(s, length + 2, deadline, params, what);
}

}  // namespace

int OpenSocket(const LoginParams& params) {
    const auto deadline = Clock::now() + params.connectTimeout;
    const std::string port = std::to_string(params.port);
    std::string host = params.server;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (params.proxy.empty()) {
        return static_cast<int>(Dial(host, port, deadline, params, host + " port " + port));
    }
    const std::optional<job::ProxyAddress> proxy = job::ParseProxyAddress(params.proxy);
    if (!proxy) Fail(kCannotConnect, "the proxy " + params.proxy + " is not host:port or socks5://host:port");
    const std::string what = "the proxy " + params.proxy;
    const Socket s = Dial(proxy->host, std::to_string(proxy->port), deadline, params, what);
    try {
        if (proxy->socks) {
            SocksTunnel(s, host, params.port, deadline, params, what);
        } else {
            const std::string target =
                (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
            Tunnel(s, target, deadline, params, params.proxy);
        }
    } catch (...) {
        CloseSocket(s);
        throw;
    }
    return static_cast<int>(s);
}

}  // namespace bxfr::engine
