#include "support/http_test_server.h"

#include "support/child_process.h"

namespace bxfr::test {

HttpTestServer::HttpTestServer(std::string body) : requestLog_(dir_.path() / "requests.log") {
    const std::filesystem::path ready = dir_.path() / "ready";
    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{BXFR_TEST_PYTHON, SupportScript("upgrade_http_server.py").string(), "--body",
                                 body, "--request-log", requestLog_.string(), "--ready-file", ready.string()},
        dir_.path() / "server.log");
    port_ = child_->WaitForPort(ready);
}

HttpTestServer::~HttpTestServer() = default;

std::vector<std::string> HttpTestServer::Requests() const { return ReadLines(requestLog_); }

}  // namespace bxfr::test
