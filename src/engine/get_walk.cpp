// The get side of a run: the remote walk, the selection and local names, and getting each file.

#include "engine/get_walk.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <system_error>
#include <vector>

#include "engine/entry_names.h"
#include "engine/error_texts.h"
#include "engine/failure_kind.h"
#include "engine/run_context.h"
#include "engine/send_walk.h"
#include "engine/single_file_transfer.h"
#include "engine/sizes.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

// A listing that loops through a link the server does not mark ends here at the latest.
constexpr int kMaxRemoteDepth = 64;

int WalkRemote(Connection& connection, std::string folder, const RemoteWalkCallback& callback,
               const RemoteRefusal& refused, const RemoteListFailure& listFailed,
               const RemoteFolderSeen& folderSeen, int depth, bool recurse, bool withTimes) {
    CollapseSlashes(folder);
    std::vector<RemoteEntry> entries;
    for (int attempt = 1; !connection.List(folder, entries); ++attempt) {
        const int decision = listFailed ? listFailed(folder, attempt) : kListStop;
        if (decision == kListStop) {
            return 0;
        }
        if (decision == kListSkip) {
            return 1;
        }
    }
    if (withTimes) {
        connection.FillTimes(folder, entries);
    }
    for (const auto& entry : entries) {
        if (IsDots(entry.name)) {
            continue;
        }
        std::string path = folder.empty() ? entry.name : folder + "/" + entry.name;
        CollapseSlashes(path);
        const std::string unsafe = UnsafeEntryName(entry.name);
        if (!unsafe.empty()) {
            if (refused) {
                refused(path, unsafe);
            }
            continue;
        }
        if (entry.isLink) {
            // Only a link to a file has a size; its listing shows the link's own length.
            std::uint64_t size = 0;
            if (entry.isFolder || !connection.FileSize(path, size)) {
                if (refused) {
                    refused(path,
                            "it is a link to a folder or to nothing, and links to folders are not followed");
                }
                continue;
            }
            RemoteEntry file = entry;
            file.length = size;
            if (callback(path, file) == 0) {
                return 0;
            }
            continue;
        }
        if (entry.isFolder) {
            if (depth >= kMaxRemoteDepth) {
                if (refused) {
                    refused(path,
                            "the folders nest deeper than " + std::to_string(kMaxRemoteDepth) + " levels");
                }
                continue;
            }
            if (folderSeen) {
                folderSeen(path);
            }
            if (recurse && WalkRemote(connection, path, callback, refused, listFailed, folderSeen, depth + 1,
                                      true, withTimes) == 0) {
                return 0;
            }
        } else if (callback(path, entry) == 0) {
            return 0;
        }
    }
    return 1;
}

// Splits "a/b/c" into its parts, dropping empty ones.
std::vector<std::string> RemoteParts(const std::string& rest) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        if (end > start) {
            parts.push_back(rest.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

}  // namespace

void CollapseSlashes(std::string& text) {
    text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == '/' && b == '/'; }),
               text.end());
}

void StripFolderPrefix(std::string& path, const std::string& folder) {
    if (folder.size() > path.size()) {
        return;
    }
    std::string collapsedPath = path;
    std::string collapsedFolder = folder;
    CollapseSlashes(collapsedPath);
    CollapseSlashes(collapsedFolder);
    path = collapsedPath.substr(std::min(collapsedFolder.size(), collapsedPath.size()));
}

bool IsRemoteFileSelected(const job::TransferJob& job, const std::string& remoteName) {
    bool result = job.selectMode != 1;
    for (const auto& rule : job.selectRules) {
        if (ExtensionTailMatches(remoteName, rule.extension)) {
            result = job.selectMode != 2;
        }
    }
    return result;
}

std::optional<fs::path> LocalNameForRemote(const job::TransferJob& job, const std::string& remoteFile,
                                           std::string& refusal) {
    if (remoteFile.find('\0') != std::string::npos) {
        refusal = "the name holds a NUL character";
        return std::nullopt;
    }
    if (job.singleFile != 0) {
        return fs::path(job.localPathAsEntered);
    }
    // The part after the first occurrence of the remote base; when the base does not occur the
    // same count is taken as if it stood just before the path.
    const std::size_t found = remoteFile.find(job.remotePath);
    const long long position = found == std::string::npos ? -1 : static_cast<long long>(found);
    long long count =
        static_cast<long long>(remoteFile.size()) - position - static_cast<long long>(job.remotePath.size());
    count = std::clamp<long long>(count, 0, static_cast<long long>(remoteFile.size()));
    const std::string rest = remoteFile.substr(remoteFile.size() - static_cast<std::size_t>(count));

    const std::vector<std::string> parts = RemoteParts(rest);
    if (parts.empty()) {
        refusal = "the name has no file part";
        return std::nullopt;
    }
    fs::path local(job.localPath);
    for (const auto& part : parts) {
        if (IsDots(part)) {
            refusal = "the name climbs out of the local folder";
            return std::nullopt;
        }
        const bool driveLetter =
            part.size() >= 2 && part[1] == ':' && std::isalpha(static_cast<unsigned char>(part[0]));
        if (part.find('\\') != std::string::npos || driveLetter) {
            refusal = "the name holds a backslash or a drive letter";
            return std::nullopt;
        }
        local /= part;
        // A link inside the local tree could lead the file out of it.
        std::error_code error;
        if (fs::is_symlink(local, error)) {
            refusal = "the local path " + local.string() + " is a symbolic link";
            return std::nullopt;
        }
    }
    return local;
}

bool MakeLocalFolder(const fs::path& path) {
    std::error_code error;
    if (fs::exists(path, error)) {
        return true;
    }
    fs::create_directories(path, error);
    return fs::is_directory(path, error);
}

int WalkRemoteFolder(Connection& connection, const std::string& folder, const RemoteWalkCallback& callback,
                     const RemoteRefusal& refused, const RemoteListFailure& listFailed,
                     const RemoteFolderSeen& folderSeen, bool withTimes) {
    return WalkRemote(connection, folder, callback, refused, listFailed, folderSeen, 0, true, withTimes);
}

int ListRemoteLevel(Connection& connection, const std::string& folder, int depth,
                    const RemoteWalkCallback& callback, const RemoteRefusal& refused,
                    const RemoteListFailure& listFailed, const RemoteFolderSeen& folderSeen) {
    return WalkRemote(connection, folder, callback, refused, listFailed, folderSeen, depth, false, true);
}

std::optional<RemoteEntry> RemoteEntryOn(Connection& connection, const std::string& remoteName,
                                         bool* listed) {
    const std::size_t slash = remoteName.rfind('/');
    const std::string folder = slash == std::string::npos
                                   ? std::string()
                                   : (slash == 0 ? std::string("/") : remoteName.substr(0, slash));
    const std::string leaf = slash == std::string::npos ? remoteName : remoteName.substr(slash + 1);
    std::vector<RemoteEntry> entries;
    if (leaf.empty() || !connection.List(folder, entries)) {
        return std::nullopt;
    }
    if (listed != nullptr) {
        *listed = true;
    }
    for (const auto& entry : entries) {
        if (entry.name == leaf && !entry.isFolder) {
            return entry;
        }
    }
    return std::nullopt;
}

std::uint64_t RemoteFileLengthOn(Connection& connection, const std::string& remoteName) {
    const auto entry = RemoteEntryOn(connection, remoteName);
    return entry ? entry->length : 0;
}

int TransferRun::ReportListFailure(const std::string& folder, int attempt) {
    const std::uint32_t code = connection_->LastError() != 0 ? connection_->LastError() : 12003;
    const ServerReply reply = connection_->LastReply();
    if (attempt <= job_.retries && KindOfFailure(code, reply.code) == FailureKind::Transient) {
        job_.ReportMessage("Attempt " + std::to_string(attempt) + " of " + std::to_string(job_.retries + 1) +
                           " to list " + folder + " failed; trying again ...");
        if (PauseBeforeRetry(attempt)) {
            return kListRetry;
        }
        return kListStop;
    }
    NoteFailure(code, reply);
    ReportLastError();
    job_.ReportMessage("Failed to list folder " + folder + "!");
    return job_.ignoreErrors != 0 ? kListSkip : kListStop;
}

int TransferRun::GetFiles() {
    std::string startFolder;
    connection_->GetCurrentDirectory(startFolder);
    plan_ = {};
    remoteBase_ = startFolder;
    if (job_.singleFile != 0) {
        // Asked of the file itself where the server can tell, else from its folder's listing.
        bool listed = false;
        auto entry = connection_->FileEntry(job_.remotePathAsEntered);
        if (!entry) entry = RemoteEntryOn(*connection_, job_.remotePathAsEntered, &listed);
        // Where the folder cannot be listed, only the server's answer to the transfer tells.
        if (!entry && listed) {
            MissingRemoteSource("file", job_.remotePathAsEntered);
        }
        if (Mirrors() && !PlanSingleFile(false, entry)) return 0;
        job_.getTotalBytes = entry ? entry->length : 0;
        job_.progress.totalBytes = job_.getTotalBytes;
        GetOneFile(job_.remotePathAsEntered, entry ? &*entry : nullptr);
        return 0;
    }
    // On several connections the files move while the folders are listed, on every connection;
    // a plan to compare or show waits for the whole tree.
    const bool mirrors = Mirrors();
    if (!mirrors && (job_.connections > 1 || connection_->FilesInFlight() > 1)) {
        job_.getTotalBytes = 0;
        job_.progress.totalBytes = 0;
        job_.ReportMessage("Listing " + startFolder +
                           " while the first files move: the total grows until every folder is read.");
        if (MoveFiles({}, false, &startFolder) == 0 && !cutShort_ && job_.progress.errorCode == 0) {
            job_.ReportMessage("Nothing to receive: the remote folder " + startFolder +
                               " holds no files to move.");
        }
        return 0;
    }
    // One listing of each folder serves the totals and the transfer.
    std::vector<FileTask> plan;
    // The source by the local names its files take, for what the destination no longer matches.
    TreeListing source;
    const auto seen = [&](const std::string& path, std::set<std::string>& into) {
        if (const std::string name = LocalRelative(path); !name.empty()) into.insert(name);
    };
    const int walked = WalkRemoteFolder(
        *connection_, startFolder,
        [&](const std::string& path, const RemoteEntry& entry) {
            const bool selected = IsRemoteFileSelected(job_, path);
            if (selected) {
                plan.push_back({{}, path, entry});
            }
            if (!mirrors) return 1;
            const std::string name = LocalRelative(path);
            if (!selected) {
                plan_.items.push_back(
                    {job::PlanAction::Skip, name, entry.length, "excluded by the selection rules"});
            }
            if (!name.empty()) {
                source.files[name] = {entry.length, entry.modified};
            }
            return 1;
        },
        [&](const std::string& path, const std::string& why) {
            if (mirrors) {
                seen(path, source.untouchable);
                plan_.items.push_back({job::PlanAction::Skip, path, 0, why});
            }
            if (job_.dryRun) return;
            job_.ReportMessage("Refused to receive " + path + ": " + why + ".");
            ++job_.progress.filesSkipped;
        },
        [&](const std::string& folder, int attempt) {
            const int decision = ReportListFailure(folder, attempt);
            if (decision != kListRetry) source.complete = false;
            return decision;
        },
        [&](const std::string& path) {
            if (mirrors) seen(path, source.folders);
        },
        !mirrors);
    if (walked == 0) {
        return 0;
    }
    if (mirrors && !PlanTransfer(plan, false, source)) {
        return 0;
    }
    job_.getTotalBytes = 0;
    for (const auto& task : plan) job_.getTotalBytes += task.entry.length;
    job_.progress.totalBytes = job_.getTotalBytes;
    job_.ReportMessage(FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {job_.progress.totalBytes}));
    if (plan.empty()) {
        job_.ReportMessage(SomeUnchanged(plan_) ? "Nothing to receive: every file is the same here."
                                                : "Nothing to receive: the remote folder " + startFolder +
                                                      " holds no files to move.");
    }
    MoveFiles(plan, false);
    DeleteGone();
    return 0;
}

int TransferRun::ListForLanes(const std::string& folder, int depth, std::vector<FileTask>& files,
                              std::vector<std::string>& folders) {
    return ListRemoteLevel(
        *connection_, folder, depth,
        [&](const std::string& path, const RemoteEntry& entry) {
            if (IsRemoteFileSelected(job_, path)) files.push_back({{}, path, entry});
            return 1;
        },
        [&](const std::string& path, const std::string& why) {
            job_.ReportMessage("Refused to receive " + path + ": " + why + ".");
            ++job_.progress.filesSkipped;
        },
        [&](const std::string& failed, int attempt) { return ReportListFailure(failed, attempt); },
        [&](const std::string& path) { folders.push_back(path); });
}

int TransferRun::GetOneFile(const std::string& remoteFile, const RemoteEntry* entry) {
    if (job_.StopRequested()) {
        return 0;
    }
    int result = 1;
    if (IsRemoteFileSelected(job_, remoteFile)) {
        const int type = RemoteTransferType(job_, remoteFile);
        job_.ReportMessage(MovingMessage(job_, false, remoteFile, type));
        job_.progress.errorText = remoteFile;
        std::string refusal;
        const auto localName = LocalNameForRemote(job_, remoteFile, refusal);
        if (!localName) {
            job_.ReportMessage("Refused to receive " + remoteFile + ": " + refusal + ".");
            ++job_.progress.filesSkipped;
            return 1;
        }
        if (MakeLocalFolder(localName->parent_path())) {
            result = GetStep(*localName, remoteFile, type, entry);
            if (cutShort_ || handedBack_) {
                return 0;
            }
        } else {
            NoteFailure(static_cast<std::uint32_t>(std::errc::permission_denied), ServerReply{});
            result = 0;
        }
        if (result == 1) {
            ++job_.progress.filesMoved;
            result = RunTranScript(remoteFile);
            if (job_.reportProgress == 0) {
                job_.progress.doneBytes += LocalFileLength(*localName);
            }
        } else {
            ReportLastError();
            job_.ReportMessage(FormatResourceMessage(IDS_FAILED_RECEIVE, {remoteFile}));
            ++job_.progress.filesFailed;
        }
    }
    return job_.ignoreErrors != 0 ? 1 : result;
}

}  // namespace bxfr::engine
