// Comparing source and destination trees, and the plan as the dry run prints it.

#include "engine/mirror_plan.h"

#include <algorithm>
#include <system_error>

#include "engine/send_walk.h"
#include "engine/sizes.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

void ListLocal(const fs::path& folder, const std::string& prefix, TreeListing& tree, int depth) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error || depth > 64) {
        tree.complete = false;
        if (!prefix.empty()) tree.untouchable.insert(prefix.substr(0, prefix.size() - 1));
        return;
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            tree.complete = false;
            return;
        }
        const std::string name = prefix + it->path().filename().string();
        std::error_code statusError;
        if (it->is_symlink(statusError)) {
            tree.untouchable.insert(name);
        } else if (it->is_directory(statusError)) {
            tree.folders.insert(name);
            ListLocal(it->path(), name + "/", tree, depth + 1);
        } else if (it->is_regular_file(statusError)) {
            tree.files[name] = {it->file_size(statusError), LocalSeconds(it->path())};
        } else {
            tree.untouchable.insert(name);
        }
    }
}

// "a/b/c" gives "a/b" and "a".
template <typename F>
void ForEachParent(const std::string& name, F&& f) {
    for (std::size_t slash = name.rfind('/'); slash != std::string::npos && slash > 0;
         slash = name.rfind('/', slash - 1)) {
        f(name.substr(0, slash));
        if (slash == 0) break;
    }
}

bool UnderAny(const std::string& name, const std::set<std::string>& names) {
    if (names.count(name) != 0) return true;
    bool found = false;
    ForEachParent(name, [&](const std::string& parent) { found = found || names.count(parent) != 0; });
    return found;
}

const char* Verb(job::PlanAction action) {
    switch (action) {
        case job::PlanAction::Send:
            return "send    ";
        case job::PlanAction::Get:
            return "get     ";
        case job::PlanAction::Skip:
            return "skip    ";
        case job::PlanAction::Delete:
            return "delete  ";
    }
    return "";
}

std::string Files(std::uint32_t count) { return std::to_string(count) + (count == 1 ? " file" : " files"); }

}  // namespace

TreeListing ListLocalTree(const fs::path& base) {
    TreeListing tree;
    ListLocal(base, "", tree, 0);
    return tree;
}

std::string WhyItMoves(const TreeFile& source, const std::optional<TreeFile>& destination,
                       const std::function<std::uint64_t()>& lineEnds) {
    if (!destination) return "new";
    if (source.size != destination->size) {
        // An ASCII copy may hold a CR before each LF on one side only.
        const std::uint64_t small = std::min(source.size, destination->size);
        const std::uint64_t large = std::max(source.size, destination->size);
        if (!lineEnds || small + lineEnds() != large) return "size differs";
    }
    if (source.modified && destination->modified && *source.modified != *destination->modified) {
        return *source.modified > *destination->modified ? "newer" : "older than the copy there";
    }
    return "";
}

std::vector<job::PlanItem> Deletions(const TreeListing& source, const TreeListing& destination,
                                     const std::function<bool(const std::string& name)>& selected) {
    std::vector<job::PlanItem> items;
    std::set<std::string> kept;     // folders that keep something
    std::set<std::string> touched;  // folders that lose something
    const auto keep = [&](const std::string& name) {
        ForEachParent(name, [&](const std::string& p) { kept.insert(p); });
    };
    for (const auto& [name, file] : destination.files) {
        const bool gone = source.files.count(name) == 0 && source.folders.count(name) == 0 &&
                          !UnderAny(name, source.untouchable) && selected(name);
        if (!gone) {
            keep(name);
            continue;
        }
        items.push_back({job::PlanAction::Delete, name, file.size, "not in the source"});
        ForEachParent(name, [&](const std::string& p) { touched.insert(p); });
    }
    for (const auto& name : destination.untouchable) keep(name);
    for (const auto& folder : destination.folders) {
        if (source.folders.count(folder) != 0 || UnderAny(folder, source.untouchable)) {
            kept.insert(folder);
            keep(folder);
        }
    }
    std::set<std::string> emptied;
    for (const auto& folder : destination.folders) {
        if (kept.count(folder) == 0 && touched.count(folder) != 0) emptied.insert(folder);
    }
    // An empty folder inside one that goes would keep it from going.
    for (const auto& folder : destination.folders) {
        if (kept.count(folder) == 0 && emptied.count(folder) == 0) {
            bool inside = false;
            ForEachParent(folder, [&](const std::string& p) { inside = inside || emptied.count(p) != 0; });
            if (inside) emptied.insert(folder);
        }
    }
    for (auto it = emptied.rbegin(); it != emptied.rend(); ++it) {
        items.push_back({job::PlanAction::Delete, *it + "/", 0, "left empty"});
    }
    return items;
}

std::vector<std::string> PlanLines(const job::TransferPlan& plan) {
    std::vector<std::string> lines;
    for (const job::PlanItem& item : plan.items) {
        std::string line = Verb(item.action) + item.name + " (" + item.why;
        if (!item.IsFolder() && item.action != job::PlanAction::Skip) line += ", " + FormatSize(item.size);
        lines.push_back(line + ")");
    }
    for (const std::string& note : plan.notes) lines.push_back(note);
    if (!plan.deletionsRefused.empty()) lines.push_back(plan.deletionsRefused);
    lines.push_back(PlanSummary(plan) + ".");
    return lines;
}

std::string PlanSummary(const job::TransferPlan& plan) {
    const job::PlanTotals totals = job::TotalsOf(plan);
    std::string text = Files(totals.moveFiles) + (plan.send ? " to send (" : " to get (") +
                       FormatSize(totals.moveBytes) + "), " + std::to_string(totals.skipped) + " skipped";
    if (totals.deleteFiles != 0 || totals.deleteFolders != 0) {
        text += ", " + Files(totals.deleteFiles);
        if (totals.deleteFolders != 0) {
            text += " and " + std::to_string(totals.deleteFolders) +
                    (totals.deleteFolders == 1 ? " folder" : " folders");
        }
        text += " to delete (" + FormatSize(totals.deleteBytes) + ")";
    }
    return text;
}

bool SomeUnchanged(const job::TransferPlan& plan) {
    return std::any_of(plan.items.begin(), plan.items.end(), [](const job::PlanItem& item) {
        return item.action == job::PlanAction::Skip && item.why == "unchanged";
    });
}

bool NameMatchesMask(const std::string& name, const std::string& mask) {
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (!MaskMatches(name.substr(start, end - start), mask)) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace bxfr::engine
