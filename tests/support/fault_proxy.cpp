#include "support/fault_proxy.h"

#include <algorithm>

#include "support/child_process.h"

namespace bxfr::test {

FaultProxy::FaultProxy(std::uint16_t targetPort, FaultProxyOptions options)
    : eventLog_(dir_.path() / "events.log") {
    const std::filesystem::path ready = dir_.path() / "ready";
    std::vector<std::string> argv{BXFR_TEST_PYTHON, SupportScript("fault_proxy.py").string(),
                                  "--target-port",  std::to_string(targetPort),
                                  "--ready-file",   ready.string(),
                                  "--log",          eventLog_.string()};
    if (options.cutDataEvery > 0) {
        argv.insert(argv.end(), {"--cut-data-every", std::to_string(options.cutDataEvery), "--cut-after",
                                 std::to_string(options.cutAfterBytes)});
    }
    if (options.reset) {
        argv.insert(argv.end(), {"--cut-mode", "reset"});
    }
    if (!options.cutControlOn.empty()) {
        argv.insert(argv.end(), {"--cut-control-on", options.cutControlOn});
    }
    if (options.raw) {
        argv.push_back("--raw");
    }
    if (options.laterTargetPort > 0) {
        argv.insert(argv.end(), {"--later-target-port", std::to_string(options.laterTargetPort)});
    }
    if (options.delayMs > 0) {
        argv.insert(argv.end(), {"--delay-ms", std::to_string(options.delayMs)});
    }

    child_ = std::make_unique<ChildProcess>(argv, dir_.path() / "proxy.log");
    port_ = child_->WaitForPort(ready);
}

FaultProxy::~FaultProxy() = default;

std::vector<std::string> FaultProxy::Events() const { return ReadLines(eventLog_); }

int FaultProxy::CutCount() const {
    const std::vector<std::string> lines = Events();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" cut after ") != std::string::npos;
    }));
}

TunnelProxy::TunnelProxy() {
    const std::filesystem::path ready = dir_.path() / "ready";
    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{BXFR_TEST_PYTHON, SupportScript("tunnel_proxy.py").string(), "--ready-file",
                                 ready.string(), "--log", (dir_.path() / "tunnels.log").string()},
        dir_.path() / "proxy.log");
    port_ = child_->WaitForPort(ready);
}

TunnelProxy::~TunnelProxy() = default;

std::vector<std::string> TunnelProxy::Tunnels() const { return ReadLines(dir_.path() / "tunnels.log"); }

}  // namespace bxfr::test
