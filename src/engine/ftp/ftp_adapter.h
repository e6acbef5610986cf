#pragma once

// The FTP and FTP over TLS adapter (libcurl), as the factory sees it.

#include <memory>

#include "engine/connection.h"

namespace bxfr::engine {

// Connects and logs in; raises InternetError.
std::unique_ptr<Connection> OpenFtpConnection(const LoginParams& params);

}  // namespace bxfr::engine
