// The run's plan against the destination: which files move (SYNC), which the source no longer
// has (DELETE) and the guard against removing a whole site; the dry run reports it and stops.

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "engine/error_texts.h"
#include "engine/get_walk.h"
#include "engine/local_trash.h"
#include "engine/run_context.h"
#include "engine/send_walk.h"
#include "engine/single_file_transfer.h"
#include "engine/sizes.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

std::uint64_t LineFeedsIn(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t count = 0;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        count += static_cast<std::uint64_t>(std::count(buffer, buffer + in.gcount(), '\n'));
    }
    return count;
}

std::string RelativeTo(const std::string& base, std::string path) {
    CollapseSlashes(path);
    std::string prefix = base;
    CollapseSlashes(prefix);
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

std::string Plural(std::size_t count, const char* one) {
    return std::to_string(count) + " " + one + (count == 1 ? "" : "s");
}

}  // namespace

bool TransferRun::ListRemoteTree(TreeListing& tree) {
    const int walked = WalkRemoteFolder(
        *connection_, remoteBase_,
        [&](const std::string& path, const RemoteEntry& entry) {
            const std::string name = RelativeTo(remoteBase_, path);
            if (entry.isLink) {
                tree.untouchable.insert(name);
            } else {
                tree.files[name] = {entry.length, entry.modified};
            }
            return 1;
        },
        [&](const std::string& path, const std::string&) {
            tree.untouchable.insert(RelativeTo(remoteBase_, path));
        },
        [&](const std::string& folder, int attempt) {
            const int decision = ReportListFailure(folder, attempt);
            if (decision != kListRetry) tree.complete = false;
            return decision;
        },
        [&](const std::string& path) { tree.folders.insert(RelativeTo(remoteBase_, path)); });
    return walked != 0;
}

std::string TransferRun::LocalRelative(const std::string& remoteFile) {
    std::string refusal;
    const auto local = LocalNameForRemote(job_, remoteFile, refusal);
    return local ? local->lexically_relative(job_.localPath).generic_string() : std::string();
}

void TransferRun::NotePlanScripts() {
    const auto note = [&](const char* what, const std::list<job::tagBXFR_SCRIPT>& script) {
        for (const auto& entry : script) plan_.notes.push_back(std::string(what) + ": " + entry.command);
    };
    note("connect script", job_.connScript);
    note("script for each file", job_.tranScript);
    note("disconnect script", job_.discScript);
    for (const auto& rule : job_.chmodRules) {
        plan_.notes.push_back("permission rule: " + rule.extension + " gets " +
                              std::to_string(rule.permissions));
    }
}

bool TransferRun::Unchanged(bool send, const std::string& name, const TreeFile& source,
                            std::optional<TreeFile> destination, const fs::path& localFile,
                            const std::string& remoteFile, int type) {
    const bool ascii = type == job::TransferTypeAscii && job_.protocol != job::Protocol::Sftp;
    // A listing without exact times leaves the server's time to MDTM, asked only where it decides.
    TreeFile from = source;
    if (destination && job_.syncMode == 1 && destination->size == source.size) {
        std::int64_t seconds = 0;
        if (send && !destination->modified && connection_->GetModificationTime(remoteFile, seconds)) {
            destination->modified = seconds;
        } else if (!send && !from.modified && connection_->GetModificationTime(remoteFile, seconds)) {
            from.modified = seconds;
        }
    }
    std::string why = destination ? "replaces the copy there" : "new";
    if (job_.syncMode == 1) {
        why = WhyItMoves(
            from, destination,
            ascii ? std::function<std::uint64_t()>([&] { return LineFeedsIn(localFile); }) : nullptr);
    }
    if (!why.empty()) {
        plan_.items.push_back({send ? job::PlanAction::Send : job::PlanAction::Get, name, source.size, why});
        return false;
    }
    plan_.items.push_back({job::PlanAction::Skip, name, source.size, "unchanged"});
    if (!job_.dryRun) {
        job_.ReportVerbose(std::string(send ? "Unchanged, not sent: " : "Unchanged, not received: ") + name);
        ++job_.progress.filesSkipped;
    }
    return true;
}

bool TransferRun::PlanTransfer(std::vector<FileTask>& tasks, bool send, const TreeListing& source) {
    plan_.send = send;
    TreeListing destination;
    if (send) {
        if (remoteBaseMissing_) {
            plan_.notes.push_back("the remote folder " + job_.remotePath +
                                  " is not there yet: the run creates it");
        } else if (!ListRemoteTree(destination)) {
            return false;
        }
        remoteFolders_ = destination.folders;
    } else {
        std::error_code error;
        if (fs::exists(job_.localPath, error)) destination = ListLocalTree(job_.localPath);
    }
    std::vector<FileTask> moving;
    for (FileTask& task : tasks) {
        std::string name;
        std::string skipped;
        TreeFile from;
        int type = job::TransferTypeBinary;
        fs::path localFile = task.localPath;
        if (send) {
            name = RemoteNameFor(task.localPath);
            if (HoldsControlCharacter(name)) {
                skipped = "the name holds a control character";
            } else if (!IsRemoteFileSelected(job_, task.localPath.string())) {
                skipped = "excluded by the selection rules";
            } else if (!IsLocalFileSelected(job_, task.localPath)) {
                skipped = "not changed since it was last sent (archive mode)";
            }
            from = {LocalFileLength(task.localPath), LocalSeconds(task.localPath)};
            if (skipped.empty()) type = LocalTransferType(job_, task.localPath);
        } else {
            std::string refusal;
            const auto local = LocalNameForRemote(job_, task.remotePath, refusal);
            name = local ? local->lexically_relative(job_.localPath).generic_string()
                         : RelativeTo(remoteBase_, task.remotePath);
            if (!local) skipped = refusal;
            localFile = local.value_or(fs::path());
            from = {task.entry.length, task.entry.modified};
            type = RemoteTransferType(job_, task.remotePath);
        }
        if (!skipped.empty()) {
            plan_.items.push_back({job::PlanAction::Skip, name, from.size, skipped});
            moving.push_back(std::move(task));
            continue;
        }
        const auto found = destination.files.find(name);
        const std::optional<TreeFile> there =
            found == destination.files.end() ? std::nullopt : std::optional<TreeFile>(found->second);
        const std::string remoteFile =
            !send ? task.remotePath : (remoteBase_.empty() ? name : remoteBase_ + "/" + name);
        if (!Unchanged(send, name, from, there, localFile, remoteFile, type) || job_.syncMode != 1) {
            moving.push_back(std::move(task));
        }
    }
    tasks = std::move(moving);
    if (job_.deleteMissing == 1) PlanDeletions(source, destination, send);
    NotePlanScripts();
    if (job_.planCallback) job_.planCallback(plan_);
    if (job_.dryRun) {
        ReportPlan();
        return false;
    }
    if (plan_.guardTripped) {
        job_.ReportMessage(plan_.deletionsRefused);
        job_.progress.errorCode = kDeletionsRefused;
        throw InternetError(kDeletionsRefused, plan_.deletionsRefused);
    }
    return true;
}

void TransferRun::PlanDeletions(const TreeListing& source, const TreeListing& destination, bool send) {
    if (!source.complete || !destination.complete) {
        plan_.deletionsRefused = std::string("Nothing will be deleted: a folder of the ") +
                                 (source.complete ? "destination" : "source") +
                                 " could not be read, so what is gone cannot be told.";
        return;
    }
    if (send && (remoteBaseMissing_ || remoteBase_.empty() || remoteBase_.front() != '/')) {
        if (!remoteBaseMissing_)
            plan_.deletionsRefused =
                "Nothing will be deleted: the server does not say which folder it is in.";
        return;
    }
    const auto selected = [&](const std::string& name) {
        return IsRemoteFileSelected(job_, name) && (!send || NameMatchesMask(name, job_.fileMask));
    };
    std::vector<job::PlanItem> gone = Deletions(source, destination, selected);
    const auto files = static_cast<std::size_t>(
        std::count_if(gone.begin(), gone.end(), [](const job::PlanItem& item) { return !item.IsFolder(); }));
    plan_.destinationFiles = static_cast<std::uint32_t>(destination.files.size());
    const std::string where =
        send ? "the remote folder " + remoteBase_ : "the local folder " + job_.localPath;
    if (files > 0 && !job_.allowMassDelete &&
        (source.files.empty() || files * 2 > destination.files.size())) {
        plan_.guardTripped = true;
        plan_.deletionsRefused =
            "Nothing was changed: this run would delete " + std::to_string(files) + " of the " +
            Plural(destination.files.size(), "file") + " in " + where +
            (source.files.empty() ? ", and its source holds no files at all" : ", more than half of them") +
            ". If that is what you want, run it with bxfr --allow-mass-delete, or say so when the desktop "
            "program asks.";
    }
    plan_.items.insert(plan_.items.end(), gone.begin(), gone.end());
}

bool TransferRun::PlanSingleFile(bool send, const std::optional<RemoteEntry>& remote) {
    plan_.send = send;
    const fs::path local(job_.localPathAsEntered);
    std::error_code error;
    std::optional<TreeFile> there;
    TreeFile from;
    if (send) {
        from = {LocalFileLength(local), LocalSeconds(local)};
        if (remote) there = TreeFile{remote->length, remote->modified};
    } else {
        from = {remote ? remote->length : 0, remote ? remote->modified : std::nullopt};
        if (fs::is_regular_file(local, error)) there = TreeFile{LocalFileLength(local), LocalSeconds(local)};
    }
    const int type =
        send ? LocalTransferType(job_, local) : RemoteTransferType(job_, job_.remotePathAsEntered);
    const bool unchanged =
        Unchanged(send, job_.remotePathAsEntered, from, there, local, job_.remotePathAsEntered, type);
    NotePlanScripts();
    if (job_.planCallback) job_.planCallback(plan_);
    if (job_.dryRun) {
        ReportPlan();
        return false;
    }
    return !(unchanged && job_.syncMode == 1);
}

void TransferRun::ReportPlan() {
    job_.ReportMessage("What this transfer would do (dry run: nothing is changed):");
    for (const std::string& line : PlanLines(plan_)) job_.ReportMessage(line);
}

void TransferRun::DeleteGone() {
    if (job_.deleteMissing != 1 || job_.dryRun) return;
    if (!plan_.deletionsRefused.empty()) {
        job_.ReportMessage(plan_.deletionsRefused);
        return;
    }
    const auto gone = std::count_if(plan_.items.begin(), plan_.items.end(), [](const job::PlanItem& item) {
        return item.action == job::PlanAction::Delete;
    });
    if (gone == 0) return;
    if (job_.progress.filesFailed != 0 || job_.progress.errorCode != 0 || cutShort_ || job_.StopRequested()) {
        job_.ReportMessage("Nothing was deleted: not every listing and file of this run succeeded.");
        return;
    }
    std::size_t files = 0, folders = 0, kept = 0;
    for (const job::PlanItem& item : plan_.items) {
        if (item.action != job::PlanAction::Delete) continue;
        const bool removed = plan_.send ? DeleteRemote(item) : DeleteLocal(item);
        ++(removed ? (item.IsFolder() ? folders : files) : kept);
    }
    job_.ReportMessage("Deleted " + Plural(files, "file") + " and " + Plural(folders, "folder") +
                       " the source no longer has" +
                       (kept != 0 ? "; " + Plural(kept, "was") + " kept." : "."));
}

bool TransferRun::DeleteRemote(const job::PlanItem& item) {
    std::string target = remoteBase_ + "/" + item.name;
    CollapseSlashes(target);
    if (item.IsFolder()) {
        target.pop_back();
        job_.ReportVerbose("Removing folder " + item.name + " ...");
        const std::string verb = job_.protocol == job::Protocol::Sftp ? "rmdir " : "RMD ";
        if (connection_->Command(verb + connection_->CommandArgument(target), false, nullptr)) return true;
    } else {
        job_.ReportMessage("Deleting " + item.name + " ...");
        if (connection_->Delete(target)) return true;
    }
    job_.ReportMessage("Failed to delete " + item.name + ": " + connection_->LastReply().text);
    return false;
}

bool TransferRun::DeleteLocal(const job::PlanItem& item) {
    fs::path target(job_.localPath);
    std::string name = item.name;
    if (item.IsFolder()) name.pop_back();
    std::error_code error;
    // The tree may have changed since the plan: nothing is removed through a link, nor a file
    // that is not the one the plan saw.
    const fs::path relative(name);
    for (const fs::path& part : relative) {
        target /= part;
        if (fs::is_symlink(target, error)) {
            job_.ReportMessage("Kept " + target.string() + ": it is a link now.");
            return false;
        }
    }
    if (item.IsFolder()) {
        job_.ReportVerbose("Removing folder " + target.string() + " ...");
        return fs::is_directory(target, error) && fs::is_empty(target, error) && fs::remove(target, error);
    }
    if (!fs::is_regular_file(target, error) || LocalFileLength(target) != item.size) {
        job_.ReportMessage("Kept " + target.string() + ": it changed since the run began.");
        return false;
    }
    job_.ReportMessage("Moving " + target.string() + " to the trash ...");
    std::string why;
    if (MoveToTrash(target, why)) return true;
    job_.ReportMessage("Kept " + target.string() + ": " + why + ".");
    return false;
}

}  // namespace bxfr::engine
