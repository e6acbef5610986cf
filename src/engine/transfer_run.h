#pragma once

// The engine's entry point: one whole transfer run for a job.

#include "engine/connection.h"
#include "engine/web_request.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

// Runs the whole transfer the job describes through the job's callbacks. Returns 0 on every
// normal return. A failed login, or a failure that is not ignored, leaves it as InternetError
// or FileError; the session and connection are released on every path.
int RunTransfer(job::TransferJob& job, Connector& connector, WebRequest& web);

// Base address of the upgrade page: BXFR_UPGRADE_URL when set, else the build default.
std::string UpgradeBaseUrl();

}  // namespace bxfr::engine
