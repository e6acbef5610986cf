#pragma once

// What a run will do before it does it: each file to move, skip or delete and why. The dry run
// prints it, the preview lists it, and the run works from it.

#include <cstdint>
#include <string>
#include <vector>

namespace bxfr::job {

enum class PlanAction { Send, Get, Skip, Delete };

struct PlanItem {
    PlanAction action = PlanAction::Skip;
    // Relative to the base folder of its side, with '/' between parts; a folder ends in '/'.
    std::string name;
    std::uint64_t size = 0;
    std::string why;  // "new", "size differs", "excluded by the selection rules", ...

    bool IsFolder() const { return !name.empty() && name.back() == '/'; }
    bool operator==(const PlanItem&) const = default;
};

struct TransferPlan {
    bool send = true;
    std::vector<PlanItem> items;
    // Scripts and permission rules, listed as the run would apply them.
    std::vector<std::string> notes;
    // Why the run deletes nothing (the guard, a failed listing); empty when it may.
    std::string deletionsRefused;
    // The guard tripped: the run fails before anything moves unless the user allows it.
    bool guardTripped = false;
    std::uint32_t destinationFiles = 0;
};

struct PlanTotals {
    std::uint32_t moveFiles = 0;
    std::uint64_t moveBytes = 0;
    std::uint32_t skipped = 0;
    std::uint32_t deleteFiles = 0;
    std::uint32_t deleteFolders = 0;
    std::uint64_t deleteBytes = 0;
};

inline PlanTotals TotalsOf(const TransferPlan& plan) {
    PlanTotals totals;
    for (const PlanItem& item : plan.items) {
        switch (item.action) {
            case PlanAction::Send:
            case PlanAction::Get:
                ++totals.moveFiles;
                totals.moveBytes += item.size;
                break;
            case PlanAction::Skip:
                ++totals.skipped;
                break;
            case PlanAction::Delete:
                ++(item.IsFolder() ? totals.deleteFolders : totals.deleteFiles);
                totals.deleteBytes += item.size;
                break;
        }
    }
    return totals;
}

}  // namespace bxfr::job
