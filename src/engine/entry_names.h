#pragma once

// Which names a server lists can be taken as entries of their folder.

#include <string>

namespace bxfr::engine {

// "." or "..": the folder itself or its parent, never an entry of it.
bool IsDots(const std::string& name);

// Why a name a server listed cannot be taken as one entry of its folder; empty when it can.
// Refuses empty names, the dots, path separators, NUL and other control characters.
std::string UnsafeEntryName(const std::string& name);

}  // namespace bxfr::engine
