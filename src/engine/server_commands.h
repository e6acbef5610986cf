#pragma once

#include <string>

#include "job/protocol.h"

namespace bxfr::engine {

// A per-file script command with each "%s" replaced by the file name; every other
// character, '%' included, passes through. SFTP's commands take the name as one quoted argument.
std::string FormatTranCommand(const std::string& command, const std::string& fileName,
                              job::Protocol protocol = job::Protocol::Ftp);

// "SITE chmod 755 cgi-bin/x.cgi"; over SFTP "chmod 755 \"cgi-bin/x.cgi\"".
std::string ChmodCommand(int permissions, const std::string& remoteName,
                         job::Protocol protocol = job::Protocol::Ftp);

}  // namespace bxfr::engine
