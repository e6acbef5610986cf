#pragma once

// The versions of the FTP, SSH and cipher libraries the transfers run on, for the About box.

#include <string>

namespace bxfr::engine {

// Versions of the libraries the transfers run on, for the About box and bug reports.
std::string FtpLibraryVersion();     // "libcurl 7.88.1"
std::string CryptoLibraryVersion();  // "OpenSSL 3.0.x ..."
std::string SshLibraryVersion();     // "libssh 0.10.6"

}  // namespace bxfr::engine
