#pragma once

// The desktop program's command line: the transfer file, /t and /e, and what start-up then does.

#include <string>
#include <vector>

#include "job/transfer_job.h"

namespace bxfr::job {

struct CommandLine {
    std::string path;          // the transfer file; empty when none was given
    bool transferNow = false;  // "/t"
    bool editOnly = false;     // "/e"
};

// The command line as an argument vector (argv without the program): quotes removed, and only
// an argument that is exactly "/t" or "/e", after the first, is a switch, so a path such as
// /home/me/transfers/a.bxt keeps its "/t". The arguments before the first switch, joined by
// blanks, are the path.
CommandLine ParseArguments(const std::vector<std::string>& args);

enum class StartupDecision { DirectTransfer, WizardWithFile, WizardWithoutFile };

// What start-up does once the file named on the command line was loaded with `loadResult`
// (ignored when no path was given).
StartupDecision DecideStartup(const CommandLine& commandLine, int loadResult, const TransferJob& job);

}  // namespace bxfr::job
