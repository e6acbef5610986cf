#pragma once

// The wizard's start: the eight pages built into a sheet and run.

#include <QString>
#include <cstdint>

#include "job/transfer_job.h"
#include "prefs/user_settings.h"

namespace bxfr::wizard {

// Builds the eight pages into a sheet and runs it modally; returns when the wizard closes.
// `transferFile` (may be empty) is shown on the Load page. transferStatus is set to 0 first.
void RunWizard(job::TransferJob& job, job::TransferJob& baseline, prefs::UserSettings& settings,
               std::int32_t& transferStatus, const QString& transferFile);

}  // namespace bxfr::wizard
