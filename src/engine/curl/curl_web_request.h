#pragma once

// The web request on libcurl.

#include <memory>

#include "engine/web_request.h"

namespace bxfr::engine {

std::unique_ptr<WebRequest> MakeCurlWebRequest();

}  // namespace bxfr::engine
