// The command lines of both programs, as a file manager or a script may pass them: the
// arguments are the input split at NUL bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli_options.h"
#include "fuzz_check.h"
#include "job/command_line.h"
#include "job/transfer_job.h"

namespace {

using bxfr::fuzz::Require;
using bxfr::job::StartupDecision;

std::string WithoutQuotes(std::string_view arg) {
    std::string out;
    for (const char c : arg) {
        if (c != '"') {
            out += c;
        }
    }
    return out;
}

void CheckDesktopArguments(const std::vector<std::string>& args) {
    const auto line = bxfr::job::ParseArguments(args);
    Require(line.path.find('"') == std::string::npos, "a path has its quotes removed");
    bool transferSwitch = false;
    bool editSwitch = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string arg = WithoutQuotes(args[i]);
        transferSwitch = transferSwitch || arg == "/t";
        editSwitch = editSwitch || arg == "/e";
    }
    const bool anySwitch = transferSwitch || editSwitch;
    Require(!line.transferNow || transferSwitch, "/t only from a /t argument");
    Require(!line.editOnly || editSwitch, "/e only from an /e argument");
    if (!anySwitch) {
        // Empty arguments before the first word add no blank in front of the path.
        std::string joined;
        std::size_t i = 0;
        while (i < args.size() && WithoutQuotes(args[i]).empty()) {
            ++i;
        }
        for (std::size_t first = i; i < args.size(); ++i) {
            joined += (i == first ? "" : " ") + WithoutQuotes(args[i]);
        }
        Require(line.path == joined, "without switches every argument is the path");
    }
    for (const int loadResult : {0, 2}) {
        for (const int autoTransfer : {0, 1}) {
            bxfr::job::TransferJob job;
            job.autoTransfer = autoTransfer;
            const auto decision = bxfr::job::DecideStartup(line, loadResult, job);
            Require(loadResult == 0 || decision == StartupDecision::WizardWithoutFile,
                    "a file that did not load starts the wizard without it");
            if (loadResult == 0 && line.editOnly) {
                Require(decision == StartupDecision::WizardWithFile, "/e opens the file for editing");
            }
        }
    }
}

void CheckRunnerArguments(const std::vector<std::string>& args) {
    std::string error;
    const auto options = bxfr::app::ParseCliOptions(args, error);
    if (!options) {
        Require(!error.empty(), "a usage error says what is wrong");
        return;
    }
    Require(!options->transferFile.empty() || options->help || options->version, "a run names its file");
    Require(!options->logPath || !options->logPath->empty(), "a log option names a file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    if (!input.empty()) {
        for (const auto part : bxfr::fuzz::SplitOn(input, '\0')) {
            args.emplace_back(part);
        }
    }
    CheckDesktopArguments(args);
    CheckRunnerArguments(args);
    return 0;
}
