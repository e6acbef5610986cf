// The desktop program's command line: the transfer file, /t and /e, and what start-up then does.

#include "job/command_line.h"

#include <algorithm>

namespace bxfr::job {

CommandLine ParseArguments(const std::vector<std::string>& args) {
    CommandLine result;
    bool inPath = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        arg.erase(std::remove(arg.begin(), arg.end(), '"'), arg.end());
        bool isSwitch = i >= 1 && (arg == "/t" || arg == "/e");
        if (isSwitch) {
            // "/e" counts only before the first "/t": whatever follows "/t" is cut away with it.
            if (arg == "/t") {
                result.transferNow = true;
                break;
            }
            result.editOnly = true;
            inPath = false;
            continue;
        }
        if (!inPath) continue;
        if (!result.path.empty()) result.path += ' ';
        result.path += arg;
    }
    return result;
}

StartupDecision DecideStartup(const CommandLine& commandLine, int loadResult, const TransferJob& job) {
    if (commandLine.path.empty() && !commandLine.transferNow && !commandLine.editOnly)
        return StartupDecision::WizardWithoutFile;
    if (loadResult != 0) return StartupDecision::WizardWithoutFile;
    if (commandLine.editOnly) return StartupDecision::WizardWithFile;
    if (job.autoTransfer == 1 || commandLine.transferNow) return StartupDecision::DirectTransfer;
    return StartupDecision::WizardWithFile;
}

}  // namespace bxfr::job
