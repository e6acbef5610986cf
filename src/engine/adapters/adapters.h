#pragma once

// Where the engine's interfaces meet their implementations: the programs and the dialogs ask
// here for a connector (FTP, FTP over TLS or SFTP, by the login's protocol) and a web request.

#include <memory>

#include "engine/connection.h"
#include "engine/web_request.h"

namespace bxfr::engine {

std::unique_ptr<Connector> MakeConnector();
std::unique_ptr<WebRequest> MakeWebRequest();

}  // namespace bxfr::engine
