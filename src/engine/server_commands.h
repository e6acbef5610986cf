#pragma once

#include <string>

namespace bxfr::engine {

// A per-file script command with each "%s" replaced by the file name; every other
// character, '%' included, passes through.
std::string FormatTranCommand(const std::string& command, const std::string& fileName);

// "SITE chmod 755 cgi-bin/x.cgi".
std::string ChmodCommand(int permissions, const std::string& remoteName);

}  // namespace bxfr::engine
