#pragma once

// bxfr's command line: the options it takes, their parsing, and the usage text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_codes.h"

namespace bxfr::app {

struct CliOptions {
    std::string transferFile;
    bool help = false;
    bool version = false;
    bool passwordStdin = false;
    std::optional<std::string> logPath;
    bool verbose = false;
    bool quiet = false;
    bool dryRun = false;                   // prints the plan, changes nothing
    bool allowMassDelete = false;          // lets DELETE=1 remove more than the guard allows
    std::optional<int> connections;        // overrides the file's simultaneous transfers
    std::optional<std::int64_t> limitKiB;  // overrides the file's speed limit (KiB/s; 0 = none)
    // --trust SHA256:...: the server certificate to accept for this run, whatever the file says.
    std::optional<std::string> trust;
};

// Parses argv without the program name. On a usage error returns nothing and sets `error`.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error);

std::string UsageText();

}  // namespace bxfr::app
