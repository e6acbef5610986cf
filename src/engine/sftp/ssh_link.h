#pragma once

// One SSH connection on libssh, up to an open SFTP channel: the socket (direct or through an
// HTTP CONNECT proxy), the handshake, the host key check and the login. The session is
// non-blocking from the start, so that a stop request or a dead server ends any wait.

#include <libssh/libssh.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/connection.h"

namespace bxfr::engine {

class SshLink {
public:
    // Connects, checks the host key, logs in and starts the SFTP subsystem; raises
    // InternetError (CertificateError for a host key that is not trusted).
    explicit SshLink(const LoginParams& params);
    ~SshLink();
    SshLink(const SshLink&) = delete;
    SshLink& operator=(const SshLink&) = delete;

    ssh_channel channel() const { return channel_; }
    // "SSH: host key ssh-ed25519 SHA256:..., cipher ..., key exchange ..."
    const std::string& Security() const { return security_; }
    // The library's words for its last failure.
    std::string LastLibraryError() const;

    // Sleeps until the socket has something to read, or can take what libssh holds to send, or
    // `timeout` passes.
    void Wait(std::chrono::milliseconds timeout) const;

private:
    // Repeats a call that answers SSH_AGAIN until it is done, waiting on the socket between
    // tries; raises when the stop flag is set or nothing arrives for the connect timeout.
    template <typename Call>
    int Await(Call call, int again);
    void CheckHostKey();
    void LogIn();
    bool TryPassword();
    bool TryKeyboard();
    [[noreturn]] void RaiseHandshake();

    LoginParams params_;
    ssh_session session_ = nullptr;
    ssh_channel channel_ = nullptr;
    std::string security_;
};

// Opens a TCP connection to host:port, through `proxy` ("host:port" or "http://host:port" of an
// HTTP proxy that takes CONNECT) when one is given; raises InternetError. The socket has
// TCP_NODELAY and keep-alive set.
int OpenSocket(const LoginParams& params);

// The host-key algorithms to ask for, those known_hosts lists for the server first.
std::string HostKeyPreference(const std::string& knownLines);

}  // namespace bxfr::engine
