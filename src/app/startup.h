#pragma once

// The desktop program's start-up: load the file named on the command line, then run the direct
// transfer or the wizard, and the exit status that follows.

#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dialogs/remote_pickers.h"
#include "job/command_line.h"
#include "job/transfer_job.h"

namespace bxfr::app {

// What start-up did, for the tests.
struct StartupOutcome {
    job::StartupDecision decision = job::StartupDecision::WizardWithoutFile;
    bool loadFailed = false;
    std::int32_t transferStatus = 0;
    bool passwordCancelled = false;
};

// Seams for the tests: how the wizard and the progress dialog are run.
struct StartupHooks {
    std::function<void(job::TransferJob& job, const QString& transferFile)> runWizard;
    dialogs::ConnectorFactory makeClient;
};

// The exit status of the program after start-up: for a direct transfer how the run ended, with
// the codes of bxfr; 3 when the named file could not be loaded; else 0.
int StartupExitCode(const StartupOutcome& outcome);

// The direct transfer: the password prompt when the job asks for one, then the progress
// dialog. False when the prompt was cancelled (nothing is run then). A server certificate the
// user trusts on the way is written into `transferFile`, so that the next run need not ask.
bool RunDirectTransfer(job::TransferJob& job, std::int32_t& transferStatus,
                       const dialogs::ConnectorFactory& makeClient, const std::string& transferFile = {});

// The whole start-up for the arguments after the program name: load the file they name,
// decide, and run the direct transfer or the wizard. Returns once that has ended.
StartupOutcome RunStartup(const std::vector<std::string>& args, const StartupHooks& hooks = {});

}  // namespace bxfr::app
