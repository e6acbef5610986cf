#pragma once

// The job, baseline, settings and status a wizard sheet works on, as the launch builds them.

#include <cstdint>

#include "prefs/user_settings.h"
#include "wizard/wiz_page.h"

namespace bxfr::test {

struct WizardState {
    WizardState() = default;
    // The context points into this object.
    WizardState(const WizardState&) = delete;
    WizardState& operator=(const WizardState&) = delete;

    job::TransferJob job;
    job::TransferJob baseline;
    prefs::UserSettings settings;
    std::int32_t status = 0;
    // Runs go ahead without the dry run and its preview unless a test clears the hook.
    int previews = 0;
    wizard::WizardContext context{
        &job, &baseline, &settings, &status, nullptr, {}, [this](job::TransferJob&) {
            ++previews;
            return true;
        }};
};

}  // namespace bxfr::test
