#pragma once

// Comparing a transfer's source with its destination: the trees as names relative to their base
// folders, which files differ, what the source no longer has, and the plan as text.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "job/transfer_job.h"
#include "job/transfer_plan.h"

namespace bxfr::engine {

struct TreeFile {
    std::uint64_t size = 0;
    std::optional<std::int64_t> modified;  // seconds since 1970 UTC, where known to the second
};

// One side of a transfer as its walk saw it, by names relative to its base ('/' between parts).
struct TreeListing {
    std::map<std::string, TreeFile> files;  // files, links never among them
    std::set<std::string> folders;
    // Links, names that were refused, unreadable folders: never removed, and what holds them stays.
    std::set<std::string> untouchable;
    bool complete = true;  // every folder could be read
};

// The local tree below `base`, links not followed.
TreeListing ListLocalTree(const std::filesystem::path& base);

// Why the source's file moves, or "" when the destination's copy is the same. `lineEnds`, given
// for ASCII files, counts the local copy's LFs: the other side may hold a CR before each.
std::string WhyItMoves(const TreeFile& source, const std::optional<TreeFile>& destination,
                       const std::function<std::uint64_t()>& lineEnds);

// The destination's files that the source no longer has and `selected` takes, then the folders
// that removing them leaves empty (deepest first, each ending in '/').
std::vector<job::PlanItem> Deletions(const TreeListing& source, const TreeListing& destination,
                                     const std::function<bool(const std::string& name)>& selected);

// The lines a dry run prints: one per item, the notes, and the totals.
std::vector<std::string> PlanLines(const job::TransferPlan& plan);

// "3 files to send (1.20 KB), 2 skipped, 1 file and 1 folder to delete (340 Bytes)".
std::string PlanSummary(const job::TransferPlan& plan);

// SYNC found at least one file the same on both sides.
bool SomeUnchanged(const job::TransferPlan& plan);

// Every part of a relative name matches the mask, as the local walk asks of each entry.
bool NameMatchesMask(const std::string& name, const std::string& mask);

}  // namespace bxfr::engine
