#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

struct FaultProxyOptions {
    // Every Nth passive data connection of the proxy's life is cut; 0 = never.
    int cutDataEvery = 0;
    // Bytes forwarded on a cut data connection before the cut, both directions together.
    long long cutAfterBytes = 0;
    // RST instead of a clean close.
    bool reset = false;
    // The first command with this verb (e.g. "STOR") is forwarded, then its session is cut; empty = never.
    std::string cutControlOn{};
    // Every chunk, both ways, on control and data connections, arrives this much later.
    int delayMs = 0;
    // Forwards bytes without reading them (SSH): each connection counts as a data connection.
    bool raw = false;
    // Control connections after the first go to this server instead; 0 = the same one.
    std::uint16_t laterTargetPort = 0;
};

// A fault-injecting FTP proxy on 127.0.0.1 in front of a server on 127.0.0.1:targetPort.
// Passive replies are rewritten so data connections pass through it too.
class FaultProxy {
public:
    explicit FaultProxy(std::uint16_t targetPort, FaultProxyOptions options = {});
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    std::uint16_t port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }

    // Events so far, one a line: "control 1 opened", "data 2 cut after 50000 bytes",
    // "control 1 cut after STOR", "data 3 closed with control 1", "data 3 closed", ...
    std::vector<std::string> Events() const;
    // Cuts the proxy made on purpose, data and control; not the data closed along with a control cut.
    int CutCount() const;

private:
    TempDir dir_;
    std::filesystem::path eventLog_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

// A tunnelling proxy on 127.0.0.1 (tunnel_proxy.py): SOCKS5 and HTTP CONNECT on one port.
class TunnelProxy {
public:
    TunnelProxy();
    ~TunnelProxy();
    std::uint16_t port() const { return port_; }
    // One line per tunnel opened: "socks5 127.0.0.1 2121", "connect ::1 22", ...
    std::vector<std::string> Tunnels() const;

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
