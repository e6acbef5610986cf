// The TCP connection under SSH: direct, or a tunnel through an HTTP proxy's CONNECT, opened
// here since libssh only takes a socket. Bounded by the connect timeout and the stop flag.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "engine/error_texts.h"
#include "engine/sftp/ssh_link.h"

namespace bxfr::engine {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
int PollOne(WSAPOLLFD* fd, int ms) { return WSAPoll(fd, 1, ms); }
using PollFd = WSAPOLLFD;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { ::close(s); }
int PollOne(pollfd* fd, int ms) { return ::poll(fd, 1, ms); }
using PollFd = pollfd;
#endif

constexpr std::uint32_t kCannotConnect = 12029;

[[noreturn]] void Fail(std::uint32_t code, const std::string& text) {
    ThreadLastReply() = ServerReply{0, text};
    throw InternetError(code, WinInetErrorName(code) + ": " + text);
}

// Waits for `events` on `s` until `deadline`, checking the stop flag every 100 ms.
void WaitFor(Socket s, short events, Clock::time_point deadline, const LoginParams& params,
             const std::string& what) {
    for (;;) {
        if (params.stopRequested && params.stopRequested()) Fail(12017, "the transfer was cancelled");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            Fail(kTimeout, what + " did not answer within " + std::to_string(params.connectTimeout.count()) +
                               " seconds");
        PollFd fd{};
        fd.fd = s;
        fd.events = events;
        const int ready = PollOne(&fd, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) Fail(kCannotConnect, what + ": " + std::strerror(errno));
    }
}

// Splits "host:port", "[v6]:port" or "scheme://host:port/"; false without a port.
bool SplitHostPort(std::string text, std::string& host, std::string& port) {
    if (const auto scheme = text.find("://"); scheme != std::string::npos) text = text.substr(scheme + 3);
    if (const auto at = text.rfind('@'); at != std::string::npos) text = text.substr(at + 1);
    if (const auto slash = text.find('/'); slash != std::string::npos) text.resize(slash);
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return !host.empty();
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
                WaitFor(s, POLLOUT, deadline, params, what);
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
    return s;
}

// CONNECT host:port through the proxy on `s`; the proxy's answer must be 2xx.
void Tunnel(Socket s, const std::string& target, Clock::time_point deadline, const LoginParams& params,
            const std::string& proxy) {
    const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        WaitFor(s, POLLOUT, deadline, params, "the proxy " + proxy);
        const auto n = ::send(s, request.data() + sent, request.size() - sent, 0);
        if (n <= 0) Fail(kCannotConnect, "the proxy " + proxy + " closed the connection");
        sent += static_cast<std::size_t>(n);
    }
    // Byte by byte, so that nothing of the SSH stream behind the header is swallowed.
    std::string header;
    while (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
        if (header.size() > 16384) Fail(kCannotConnect, "the proxy " + proxy + " sent an endless header");
        WaitFor(s, POLLIN, deadline, params, "the proxy " + proxy);
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

}  // namespace

int OpenSocket(const LoginParams& params) {
    const auto deadline = Clock::now() + params.connectTimeout;
    const std::string port = std::to_string(params.port);
    std::string host = params.server;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (params.proxy.empty()) {
        return static_cast<int>(Dial(host, port, deadline, params, host + " port " + port));
    }
    std::string proxyHost;
    std::string proxyPort;
    if (!SplitHostPort(params.proxy, proxyHost, proxyPort)) {
        Fail(kCannotConnect, "the proxy " + params.proxy + " is not host:port");
    }
    const Socket s = Dial(proxyHost, proxyPort, deadline, params, "the proxy " + params.proxy);
    try {
        const std::string target =
            (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
        Tunnel(s, target, deadline, params, params.proxy);
    } catch (...) {
        CloseSocket(s);
        throw;
    }
    return static_cast<int>(s);
}

}  // namespace bxfr::engine
