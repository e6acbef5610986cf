#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bxfr::test {

class ChildProcess;

// A web server on 127.0.0.1 that answers every GET with the same body.
class HttpTestServer {
public:
    explicit HttpTestServer(std::string body);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Paths of the requests so far, in order; a tunnel's as "CONNECT host:port".
    std::vector<std::string> Requests() const;

private:
    TempDir dir_;
    std::filesystem::path requestLog_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace bxfr::test
