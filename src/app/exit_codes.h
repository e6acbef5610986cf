#pragma once

// The exit statuses bxfr and the direct transfer share, and how a run's outcome maps to them.

#include "progress/transfer_worker.h"

namespace bxfr::app {

// Exit status of both programs, so that a script reads bxfr and "Transfer Now" alike.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitCancelled = 2;
inline constexpr int kExitNotLoaded = 3;
inline constexpr int kExitUsage = 64;

// An error box (Incomplete) is a failed run too.
constexpr int ExitCodeOf(progress::TransferStatus status) {
    switch (status) {
        case progress::TransferStatus::Completed:
            return kExitCompleted;
        case progress::TransferStatus::Cancelled:
            return kExitCancelled;
        case progress::TransferStatus::Incomplete:
        case progress::TransferStatus::Failed:
            break;
    }
    return kExitFailed;
}

}  // namespace bxfr::app
