// The send side of a run: the local walk, masks and selection rules, and sending each file and
// folder.

#include "engine/send_walk.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/archive_attribute.h"
#include "engine/error_texts.h"
#include "engine/get_walk.h"
#include "engine/run_context.h"
#include "engine/single_file_transfer.h"
#include "engine/sizes.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool MaskMatchesFrom(const std::string& name, std::size_t n, const std::string& mask, std::size_t m) {
    while (m < mask.size()) {
        if (mask[m] == '*') {
            for (std::size_t k = n; k <= name.size(); ++k) {
                if (MaskMatchesFrom(name, k, mask, m + 1)) {
                    return true;
                }
            }
            return false;
        }
        if (n >= name.size() || (mask[m] != '?' && Lower(mask[m]) != Lower(name[n]))) {
            return false;
        }
        ++n;
        ++m;
    }
    return n == name.size();
}

int WalkLocal(const fs::path& folder, const std::string& mask, const LocalWalkCallback& callback,
              int filesMode, bool nested, const LocalRefusal& refused) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
        // An unreadable subfolder is passed over; only the base folder's absence ends the walk.
        if (nested && refused) {
            refused(folder, "the folder cannot be read (" + error.message() + ")");
        }
        return nested ? 1 : 0;
    }
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        if (MaskMatches(it->path().filename().string(), mask)) {
            entries.push_back(*it);
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const auto& entry : entries) {
        std::error_code statusError;
        const bool isLink = entry.is_symlink(statusError);
        const bool isFolder = entry.is_directory(statusError);
        if (isFolder) {
            // Links to folders are not followed: a link to an enclosing folder would never end.
            if (isLink) {
                if (refused) {
                    refused(entry.path(), "it is a link to a folder, and links to folders are not followed");
                }
                continue;
            }
            if (filesMode == 0 && callback(entry.path()) == 0) {
                return 0;
            }
            if (WalkLocal(entry.path(), mask, callback, filesMode, true, refused) == 0) {
                return 0;
            }
        } else if (filesMode != 0) {
            // A FIFO, socket or device would block the read or never end.
            if (!entry.is_regular_file(statusError)) {
                if (refused) {
                    refused(entry.path(), isLink && !entry.exists(statusError)
                                              ? "it is a link that leads nowhere"
                                              : "it is not a regular file (a FIFO, socket or device)");
                }
                continue;
            }
            if (callback(entry.path()) == 0) {
                return 0;
            }
        }
    }
    return 1;
}

}  // namespace

bool ExtensionTailMatches(const std::string& name, const std::string& extension) {
    std::string tail = extension;
    if (tail.find('.') != std::string::npos) {
        tail.erase(0, 1);
    }
    if (tail.size() > name.size()) {
        return false;
    }
    return std::equal(tail.begin(), tail.end(), name.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](char a, char b) { return Lower(a) == Lower(b); });
}

bool IsLocalFileSelected(const job::TransferJob& job, const fs::path& localFile, bool* archiveUnsupported) {
    bool result = job.selectMode != 1;
    const std::string path = localFile.string();
    for (const auto& rule : job.selectRules) {
        if (ExtensionTailMatches(path, rule.extension)) {
            result = job.selectMode != 2;
        }
    }
    if (job.archiveOnly != 0) {
        const ArchiveState state = ArchiveStateOf(localFile);
        if (state == ArchiveState::Clear) {
            result = false;
        } else if (state == ArchiveState::Unsupported && archiveUnsupported != nullptr) {
            *archiveUnsupported = true;
        }
    }
    return result;
}

bool MaskMatches(const std::string& name, const std::string& mask) {
    if (mask == "*.*" || mask == "*" || mask.empty()) {
        return true;
    }
    return MaskMatchesFrom(name, 0, mask, 0);
}

int WalkLocalFolder(const fs::path& folder, const std::string& mask, const LocalWalkCallback& callback,
                    int filesMode, const LocalRefusal& refused) {
    return WalkLocal(folder, mask, callback, filesMode, false, refused);
}

bool HoldsControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

std::string TransferRun::RemoteNameFor(const fs::path& local) const {
    std::string name = local.string();
    // The base and the separator after it; a base that is a root ("/", "C:\\") ends in one already.
    const std::string& base = job_.localPath;
    const bool endsInSeparator =
        !base.empty() &&
        (base.back() == '/' || base.back() == static_cast<char>(fs::path::preferred_separator));
    name.erase(0, std::min(name.size(), base.size() + (endsInSeparator ? 0 : 1)));
    if constexpr (fs::path::preferred_separator != '/') {
        std::replace(name.begin(), name.end(), static_cast<char>(fs::path::preferred_separator), '/');
    }
    return name;
}

bool TransferRun::IsSelectedForSend(const fs::path& localFile) {
    bool unsupported = false;
    const bool selected = IsLocalFileSelected(job_, localFile, &unsupported);
    if (unsupported && !archiveUnsupportedReported_) {
        archiveUnsupportedReported_ = true;
        job_.ReportMessage(
            "Archive mode: the local file system keeps no record of sent files, "
            "so every file is sent.");
    }
    return selected;
}

void TransferRun::ReportLastError() { ReportError(job_, lastError_, lastFailureReply_); }

int TransferRun::SendFiles() {
    plan_ = {};
    if (Mirrors() && !remoteBaseMissing_) connection_->GetCurrentDirectory(remoteBase_);
    if (job_.singleFile != 0) {
        if (Mirrors()) {
            const auto remote =
                remoteBaseMissing_ ? std::nullopt : RemoteEntryOn(*connection_, job_.remotePathAsEntered);
            if (!PlanSingleFile(true, remote)) return 0;
        }
        WalkLocalFolder(
            job_.localPath, "*.*", [this](const fs::path& path) { return CreateRemoteFolder(path); }, 0);
        job_.progress.totalBytes = LocalFileLength(job_.localPathAsEntered);
        SendOneFile(job_.localPathAsEntered);
        return 0;
    }
    // One walk decides what moves; the totals and the transfer both work from it.
    std::vector<FileTask> plan;
    WalkLocalFolder(
        job_.localPath, job_.fileMask,
        [&plan](const fs::path& path) {
            plan.push_back({path, {}, {}});
            return 1;
        },
        1,
        [this](const fs::path& path, const std::string& why) {
            if (Mirrors()) plan_.items.push_back({job::PlanAction::Skip, RemoteNameFor(path), 0, why});
            if (!job_.dryRun) {
                job_.ReportMessage("Skipped " + path.string() + ": " + why + ".");
                ++job_.progress.filesSkipped;
            }
        });
    if (Mirrors()) {
        const TreeListing source = job_.deleteMissing == 1 ? ListLocalTree(job_.localPath) : TreeListing{};
        if (!PlanTransfer(plan, true, source)) return 0;
    }
    job_.sendTotalBytes = 0;
    bool anySelected = false;
    for (const auto& task : plan) {
        if (!HoldsControlCharacter(RemoteNameFor(task.localPath)) &&
            IsLocalFileSelected(job_, task.localPath)) {
            anySelected = true;
            job_.sendTotalBytes += LocalFileLength(task.localPath);
        }
    }
    job_.progress.totalBytes = job_.sendTotalBytes;
    job_.ReportMessage(FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {job_.progress.totalBytes}));
    if (!anySelected) {
        job_.ReportMessage(SomeUnchanged(plan_) ? "Nothing to send: every file is the same on the server."
                                                : "Nothing to send: the local folder " + job_.localPath +
                                                      " holds no files to move.");
    }
    MoveFiles(plan, true, nullptr, [](TransferRun& run) {
        WalkLocalFolder(
            run.job_.localPath, "*.*", [&run](const fs::path& path) { return run.CreateRemoteFolder(path); },
            0);
    });
    DeleteGone();
    return 0;
}

int TransferRun::SendOneFile(const fs::path& localFile) {
    if (job_.StopRequested()) {
        return 0;
    }
    const std::string localName = localFile.string();
    const std::string remoteName = job_.singleFile != 0 ? job_.remotePathAsEntered : RemoteNameFor(localFile);
    if (HoldsControlCharacter(remoteName)) {
        job_.ReportMessage("Skipped " + localName +
                           ": a name holding a line break or another control character cannot be sent.");
        ++job_.progress.filesSkipped;
        return 1;
    }
    int result = 1;
    if (IsSelectedForSend(localFile)) {
        const int type = LocalTransferType(job_, localFile);
        job_.ReportMessage(MovingMessage(job_, true, localName, type));
        job_.progress.errorText = localName;
        putPending_ = false;
        result = PutStep(localFile, remoteName, type);
        if (std::exchange(putPending_, false) && result == 1) {
            pendingSends_.push_back({localFile, remoteName, held_.size() - 1});
        }
        if (cutShort_ || handedBack_) {
            return 0;
        }
        if (result == 0) {
            ReportLastError();
            job_.ReportMessage(FormatResourceMessage(IDS_FAILED_SEND, {localName}));
            ++job_.progress.filesFailed;
        } else if (pendingSends_.empty() || pendingSends_.back().localFile != localFile) {
            result = FinishSend(localFile, remoteName);
        }
    }
    return job_.ignoreErrors != 0 ? 1 : result;
}

int TransferRun::FinishSend(const fs::path& localFile, const std::string& remoteName) {
    ++job_.progress.filesMoved;
    ResetArchiveAttribute(localFile);
    int result = ApplyChmodRules(remoteName);
    if (result != 0) {
        result = RunTranScript(remoteName);
    }
    if (job_.reportProgress == 0) {
        job_.progress.doneBytes += LocalFileLength(localFile);
    }
    return result;
}

int TransferRun::SendGroup(const std::vector<const FileTask*>& group, std::size_t& sent) {
    int result = 1;
    checkLater_ = group.size() > 1 && connection_->ChecksLater();
    if (!checkLater_) {
        for (sent = 0; sent < group.size() && result != 0 && !handedBack_;) {
            result = SendOneFile(group[sent++]->localPath);
        }
        return handedBack_ ? 0 : result;
    }
    // Each file's lines wait for its check, so that the log keeps them together.
    const job::MessageCallback shown = job_.messageCallback;
    const std::uint64_t doneBefore = job_.progress.doneBytes;
    held_.clear();
    job_.messageCallback = [this](const std::string& text, int newLine, job::TransferProgress&) {
        held_.back().lines.emplace_back(text, newLine);
    };
    try {
        for (sent = 0; sent < group.size() && result != 0 && !handedBack_;) {
            held_.emplace_back();
            result = SendOneFile(group[sent++]->localPath);
        }
    } catch (...) {
        job_.messageCallback = shown;
        checkLater_ = false;
        // What is whole on the server is still reported and finished; nothing is sent again.
        try {
            CheckPendingSends(false);
        } catch (...) {
        }
        throw;
    }
    job_.messageCallback = shown;
    checkLater_ = false;
    if (handedBack_) {
        // The whole group goes to the others, its bytes with it.
        pendingSends_.clear();
        held_.clear();
        job_.progress.doneBytes = doneBefore;
        return 0;
    }
    return CheckPendingSends(true) == 0 ? 0 : result;
}

void TransferRun::ShowHeld(const HeldFile& file) {
    for (const auto& [text, newLine] : file.lines) {
        if (job_.messageCallback) job_.messageCallback(text, newLine, job_.progress);
    }
}

int TransferRun::CheckPendingSends(bool resend) {
    const auto pending = std::exchange(pendingSends_, {});
    const auto held = std::exchange(held_, {});
    std::vector<bool> whole;
    if (!pending.empty()) {
        try {
            whole = connection_->CheckPendingPuts();
        } catch (const InternetError& error) {
            job_.ReportVerbose(std::string("The files just sent could not be checked (") + error.what() +
                               (resend ? "); they are sent again." : ")."));
        }
    }
    whole.resize(pending.size(), false);
    // A file sent again here fails rather than going to another connection: the files before it
    // are finished already.
    const auto handBack = std::exchange(handBack_, {});
    int result = 1;
    std::size_t next = 0;
    std::size_t index = 0;
    try {
        for (; index < held.size(); ++index) {
            ShowHeld(held[index]);
            if (next == pending.size() || pending[next].held != index) {
                continue;
            }
            const PendingSend& send = pending[next];
            int done = 0;
            if (whole[next++]) {
                done = FinishSend(send.localFile, send.remoteName);
            } else if (resend && !job_.StopRequested() && result != 0) {
                // Sent again on its own, checked at once, with the retries of any file.
                job_.ReportMessage("The server does not hold all of " + send.remoteName +
                                   "; sending it again ...");
                if (job_.reportProgress == 1) {
                    job_.progress.doneBytes -=
                        std::min(job_.progress.doneBytes, LocalFileLength(send.localFile));
                }
                done = SendOneFile(send.localFile);
            } else {
                job_.ReportMessage(FormatResourceMessage(IDS_FAILED_SEND, {send.localFile.string()}));
                ++job_.progress.filesFailed;
            }
            if (done == 0 && job_.ignoreErrors == 0) {
                result = 0;
            }
        }
    } catch (...) {
        handBack_ = handBack;
        for (++index; index < held.size(); ++index) ShowHeld(held[index]);
        throw;
    }
    handBack_ = handBack;
    return result;
}

int TransferRun::CreateRemoteFolder(const fs::path& localFolder) {
    const std::string relative = RemoteNameFor(localFolder);
    if (HoldsControlCharacter(relative)) {
        job_.ReportMessage("Skipped folder " + localFolder.string() +
                           ": a name holding a line break or another control character cannot be sent.");
        return 1;
    }
    if (remoteFolders_.count(relative) != 0) {
        return 1;
    }
    job_.ReportVerbose(FormatResourceMessage(IDS_CREATING_FOLDER, {relative}));
    if (!connection_->CreateDirectory(relative)) {
        const std::uint32_t code = connection_->LastError();
        if (job_.verbose != 0 && code != 12003) {
            job_.ReportMessage(FormatResourceMessage(IDS_FAILED_CREATE, {std::to_string(code)}));
        }
    }
    return 1;
}

void TransferRun::ResetArchiveAttribute(const fs::path& localFile) {
    if (job_.archiveOnly == 0) {
        return;
    }
    ClearArchiveAttribute(localFile);
}

}  // namespace bxfr::engine
