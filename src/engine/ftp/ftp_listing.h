#pragma once

// FTP listings: LIST and MLSD lines read as entries, and the time form of MLSD, MDTM and MFMT.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/connection.h"

namespace bxfr::engine {

// One line of a LIST reply, in the Unix "ls -l" form or the DOS/IIS form. False for lines
// that name no entry ("total 12", blank lines, forms it does not know).
bool ParseListLine(std::string_view line, RemoteEntry& entry);

// One line of an MLSD reply: "fact=value;fact=value; name". False for the folder itself
// and its parent (type cdir/pdir) and for malformed lines.
bool ParseMlsdLine(std::string_view line, RemoteEntry& entry);

// "YYYYMMDDHHMMSS" with optional ".fff" (MLSD modify, MDTM), UTC, as seconds since 1970;
// nullopt for anything else.
std::optional<std::int64_t> ParseFtpTime(std::string_view text);
// The same form, without fractions (MFMT).
std::string FormatFtpTime(std::int64_t unixSeconds);

// Every entry of a whole listing (lines end in CRLF or LF); "." and ".." are left out.
std::vector<RemoteEntry> ParseListing(std::string_view body, bool mlsd);

}  // namespace bxfr::engine
