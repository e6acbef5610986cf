#pragma once

// The SFTP adapter, as the factory sees it.

#include <memory>

#include "engine/connection.h"

namespace bxfr::engine {

// Connects, checks the host key and logs in; raises InternetError (CertificateError for a
// host key that is not trusted).
std::unique_ptr<Connection> OpenSftpConnection(const LoginParams& params);

}  // namespace bxfr::engine
