#pragma once

// The per-file script's commands.

#include <string>

namespace bxfr::engine {

// A per-file script command with each "%s" replaced by the file name (as the connection's
// CommandArgument gives it); every other character, '%' included, passes through.
std::string FormatTranCommand(const std::string& command, const std::string& fileName);

}  // namespace bxfr::engine
