#pragma once

// The upgrade check: the address asked and what its reply means.

#include <string>

namespace bxfr::engine {

// The upgrade page's address for this version below the base address.
std::string UpgradeRequestUrl(const std::string& baseUrl);

// The reply announces an upgrade when it says "available", but not "not available" or "unavailable".
bool IsUpgradeReply(const std::string& reply);

}  // namespace bxfr::engine
