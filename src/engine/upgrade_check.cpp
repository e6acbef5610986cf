// The upgrade check at the start of a run: the address asked and what its reply means.

#include "engine/upgrade_check.h"

#include <cstdlib>

#include "engine/error_texts.h"
#include "engine/run_context.h"
#include "engine/transfer_run.h"

namespace bxfr::engine {
namespace {

#ifndef BXFR_UPGRADE_URL_DEFAULT
#define BXFR_UPGRADE_URL_DEFAULT "https://www.brindle-ftp.com/"
#endif

}  // namespace

std::string UpgradeBaseUrl() {
    const char* overridden = std::getenv("BXFR_UPGRADE_URL");
    std::string base = overridden != nullptr && *overridden != '\0' ? overridden : BXFR_UPGRADE_URL_DEFAULT;
    if (base.back() != '/') {
        base += '/';
    }
    return base;
}

std::string UpgradeRequestUrl(const std::string& baseUrl) {
    return baseUrl + "upgrade.asp?product=bxfr&version=" + BXFR_VERSION;
}

bool IsUpgradeReply(const std::string& reply) {
    return reply.find("available") != std::string::npos && reply.find("not available") == std::string::npos &&
           reply.find("unavailable") == std::string::npos;
}

void TransferRun::CheckForUpgrade() {
    const std::string base = UpgradeBaseUrl();
    try {
        const std::string reply = web_->Fetch(UpgradeRequestUrl(base), 1024);
        if (IsUpgradeReply(reply)) {
            job_.ReportMessage("UPGRADE AVAILABLE - Visit " + base + " to download!");
            job_.upgradeAvailable = 1;
        } else {
            job_.ReportMessage("No upgrade available.");
            job_.upgradeAvailable = 0;
        }
    } catch (const InternetError& error) {
        // The user's transfer matters more than the answer: say so and go on. -1: nobody knows.
        job_.upgradeAvailable = -1;
        job_.ReportMessage("The upgrade check could not reach " + base + " (" +
                           WinInetErrorName(error.code()) + "); the transfer goes on.");
    }
    job_.ReportMessage("");
}

}  // namespace bxfr::engine
