// One file's transfer: ASCII or binary, the attempts with resume and temporary names, progress,
// and the commit in place.

#include "engine/single_file_transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "engine/error_texts.h"
#include "engine/failure_kind.h"
#include "engine/run_context.h"
#include "engine/sizes.h"
#include "engine/temporary_names.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Thrown from inside a transfer when the user asked to stop; it unwinds through the
// FTP layer like any failure of the source or sink.
class TransferCut : public std::runtime_error {
public:
    TransferCut() : std::runtime_error("cancelled") {}
};

std::uint32_t ErrnoOr(std::uint32_t fallback) {
    return errno != 0 ? static_cast<std::uint32_t>(errno) : fallback;
}

}  // namespace

// Moves the job's byte count as a file's bytes cross the network, and calls the progress
// callback at least every 8192 of them.
class ProgressMeter {
public:
    ProgressMeter(job::TransferJob& job, bool chunked, std::uint64_t limit)
        : job_(job), chunked_(chunked), base_(job.progress.doneBytes), limit_(limit) {}
    // `moved` is the file's count so far.
    void MovedTo(std::uint64_t moved) {
        if (!chunked_) {
            return;
        }
        moved = std::min(moved, limit_);
        job_.progress.doneBytes = base_ + moved;
        if (!job_.progress.moving.empty()) {
            job_.progress.moving.front().doneBytes = moved;
        }
        if (moved >= reported_ + 8192 || moved < reported_) {
            reported_ = moved;
            job_.ReportProgress();
        }
    }
    // A new attempt counts the file from the start again.
    void Restart() {
        job_.progress.doneBytes = base_;
        if (!job_.progress.moving.empty()) {
            job_.progress.moving.front().doneBytes = 0;
        }
        reported_ = 0;
    }
    void Finish(std::uint64_t total) {
        if (chunked_) {
            job_.progress.doneBytes = base_ + total;
            job_.ReportProgress();
        }
    }

private:
    job::TransferJob& job_;
    bool chunked_;
    std::uint64_t base_;
    std::uint64_t limit_;
    std::uint64_t reported_ = 0;
};

// Lists a file as moving from its start to its end, whatever way it ends.
class MovingEntry {
public:
    MovingEntry(job::TransferJob& job, std::string name, std::uint64_t size) : job_(job) {
        job_.progress.moving = {{std::move(name), 0, size}};
        job_.ReportProgress();
    }
    ~MovingEntry() {
        job_.progress.moving.clear();
        job_.ReportProgress();
    }
    MovingEntry(const MovingEntry&) = delete;
    MovingEntry& operator=(const MovingEntry&) = delete;

private:
    job::TransferJob& job_;
};

// A received file is written here first and renamed over its target only when it arrived whole.
// It stays between the attempts at one file, so that a retry can resume it.
class PartFile {
public:
    PartFile(const fs::path& target, const job::TransferJob& job)
        : path_(target.parent_path() / TemporaryName(target.filename().string(), job)) {}
    ~PartFile() {
        if (!committed_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    const fs::path& path() const { return path_; }
    void Commit() { committed_ = true; }

private:
    fs::path path_;
    bool committed_ = false;
};

int LocalTransferType(const job::TransferJob& job, const fs::path& localPath) {
    // SFTP has no ASCII type: every file moves as it is.
    if (job.transferType == 1 || job.protocol == job::Protocol::Sftp) {
        return job::TransferTypeBinary;
    }
    if (job.transferType != 0) {
        return job::TransferTypeAscii;
    }
    FilePtr file(std::fopen(localPath.c_str(), "rb"));
    if (!file) {
        return job::TransferTypeAscii;
    }
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        for (std::size_t i = 0; i < count; ++i) {
            if (static_cast<unsigned char>(buffer[i]) >= 0x80) {
                return job::TransferTypeBinary;
            }
        }
    }
    return job::TransferTypeAscii;
}

int RemoteTransferType(const job::TransferJob& job, const std::string& remoteName) {
    if (job.transferType == 1 || job.protocol == job::Protocol::Sftp) {
        return job::TransferTypeBinary;
    }
    if (job.transferType != 0) {
        return job::TransferTypeAscii;
    }
    // The first entry the table names is skipped: look-ups start one past it.
    const int first = std::atoi(LoadResourceString(IDS_ASCII_FIRST).c_str());
    for (int id = first + 1;; ++id) {
        const std::string entry = LoadResourceString(id);
        if (entry.empty()) {
            break;
        }
        if (remoteName.size() >= entry.size() &&
            remoteName.compare(remoteName.size() - entry.size(), entry.size(), entry) == 0) {
            return job::TransferTypeAscii;
        }
    }
    return job::TransferTypeBinary;
}

std::string TransferTypeName(int type) { return type == job::TransferTypeAscii ? "ASCII" : "BINARY"; }

std::string MovingMessage(const job::TransferJob& job, bool send, const std::string& name, int type) {
    if (job.protocol == job::Protocol::Sftp)
        return FormatResourceMessage(send ? IDS_SENDING_AS_IS : IDS_RECEIVING_AS_IS, {name});
    return FormatResourceMessage(send ? IDS_SENDING : IDS_RECEIVING, {name, TransferTypeName(type)});
}

void TransferRun::NoteFailure(std::uint32_t code, const ServerReply& reply) {
    lastError_ = code;
    lastFailureReply_ = reply;
}

void TransferRun::CheckCancel() const {
    if (job_.StopRequested()) {
        throw TransferCut();
    }
}

// A short pause that grows with each attempt; false when the user cancelled meanwhile.
bool TransferRun::PauseBeforeRetry(int attempt) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500 * attempt);
    while (std::chrono::steady_clock::now() < until) {
        // Lets the receiver hand in a cancel while nothing moves.
        job_.ReportProgress();
        if (job_.StopRequested()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void TransferRun::SendAttempt(const fs::path& localPath, const std::string& target, int type, bool resume,
                              bool checkLater, ProgressMeter& meter) {
    // The local file is opened first, so an unreadable one leaves nothing on the server.
    errno = 0;
    FilePtr file(std::fopen(localPath.c_str(), "rb"));
    if (!file) {
        throw FileError(ErrnoOr(ENOENT), localPath.string());
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    TransferOptions options;
    std::uint64_t stored = 0;
    if (resume && type == job::TransferTypeBinary && connection_->CanResume() &&
        connection_->FileSize(target, stored) && stored > 0 && stored <= LocalFileLength(localPath) &&
        fseeko(file.get(), static_cast<off_t>(stored), SEEK_SET) == 0) {
        options.restartAt = stored;
        job_.ReportVerbose("Resuming " + target + " at byte " + std::to_string(stored) + ".");
    }
    options.onProgress = [&](std::uint64_t moved) {
        meter.MovedTo(moved);
        CheckCancel();
    };
    if (connection_->StampsInPut()) options.modified = LocalSeconds(localPath);
    if (pacer_) options.rateLimit = pacer_->BytesPerSecond();
    options.checkLater = checkLater && options.restartAt == 0 && connection_->ChecksLater();
    connection_->PutFile(
        target, type,
        [&](char* buffer, std::size_t size) -> std::size_t {
            CheckCancel();
            if (pacer_) size = std::min(size, pacer_->Step());
            const std::size_t count = std::fread(buffer, 1, size, file.get());
            if (count < size && std::ferror(file.get())) {
                throw FileError(ErrnoOr(EIO), localPath.string());
            }
            if (pacer_ && count > 0) pacer_->Take(count, [this] { CheckCancel(); });
            return count;
        },
        options);
    putPending_ = options.checkLater;
}

// The whole file under its temporary name replaces the old copy in one step.
void TransferRun::CommitUpload(const std::string& temporary, const std::string& remoteName) {
    if (connection_->Rename(temporary, remoteName)) {
        return;
    }
    if (KindOfFailure(connection_->LastError(), connection_->LastReply().code) == FailureKind::Permanent) {
        job_.ReportVerbose("The server refused to rename " + temporary + " over " + remoteName +
                           "; deleting " + remoteName + " first.");
        if (connection_->Delete(remoteName) && connection_->Rename(temporary, remoteName)) {
            return;
        }
    }
    const std::uint32_t code = connection_->LastError() != 0 ? connection_->LastError() : 12003;
    throw InternetError(code, "Failed to rename " + temporary + " to " + remoteName);
}

void TransferRun::StampRemoteTime(const fs::path& localPath, const std::string& remoteName) {
    if (connection_->StampsInPut()) return;  // done as the file was stored
    if (const auto seconds = LocalSeconds(localPath)) connection_->SetModificationTime(remoteName, *seconds);
}

void TransferRun::GetAttempt(PartFile& part, const std::string& remoteName, int type,
                             std::optional<std::uint64_t> expected, bool resume, ProgressMeter& meter) {
    TransferOptions options;
    options.expectedSize = expected;
    std::error_code error;
    const std::uint64_t have =
        fs::is_regular_file(part.path(), error) ? fs::file_size(part.path(), error) : 0;
    // The last attempt may have ended with every byte there but the server's farewell.
    if (resume && type == job::TransferTypeBinary && !error && expected && have == *expected && have > 0) {
        return;
    }
    if (resume && type == job::TransferTypeBinary && connection_->CanResume() && !error && have > 0 &&
        (!expected || have <= *expected)) {
        options.restartAt = have;
        job_.ReportVerbose("Resuming " + remoteName + " at byte " + std::to_string(have) + ".");
    }
    errno = 0;
    FilePtr file(std::fopen(part.path().c_str(), options.restartAt > 0 ? "ab" : "wb"));
    if (!file) {
        throw FileError(ErrnoOr(EACCES), part.path().string());
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    options.onProgress = [&](std::uint64_t moved) {
        meter.MovedTo(moved);
        CheckCancel();
    };
    if (pacer_) options.rateLimit = pacer_->BytesPerSecond();
    connection_->GetFile(
        remoteName, type,
        [&](const char* data, std::size_t size) {
            CheckCancel();
            if (pacer_) pacer_->Take(size, [this] { CheckCancel(); });
            if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) {
                throw FileError(ErrnoOr(EIO), part.path().string());
            }
        },
        options);
    errno = 0;
    if (std::fclose(file.release()) != 0) {
        throw FileError(ErrnoOr(EIO), part.path().string());
    }
}

// The received file takes the old copy's permission bits and the server's time, then its place.
void TransferRun::CommitDownload(PartFile& part, const fs::path& localPath, const std::string& remoteName,
                                 std::optional<std::int64_t> modified) {
    std::error_code error;
    const fs::file_status old = fs::status(localPath, error);
    if (!error && fs::is_regular_file(old)) {
        fs::permissions(part.path(), old.permissions(), error);
    }
    std::int64_t serverTime = 0;
    if (!modified && connection_->GetModificationTime(remoteName, serverTime)) {
        modified = serverTime;
    }
    if (modified) {
        const std::chrono::sys_seconds when{std::chrono::seconds(*modified)};
        fs::last_write_time(part.path(), std::chrono::file_clock::from_sys(when), error);
    }
    std::error_code renameError;
    fs::rename(part.path(), localPath, renameError);
    if (renameError) {
        throw FileError(static_cast<std::uint32_t>(renameError.value()), localPath.string());
    }
    part.Commit();
}

int TransferRun::MoveFile(const fs::path& localPath, const std::string& remoteName, int type, bool send,
                          bool chunked, const RemoteEntry* entry) {
    const std::uint64_t localSize = send ? LocalFileLength(localPath) : 0;
    const bool viaTemporary =
        send && job_.tempNameMinimum >= 0 && localSize >= static_cast<std::uint64_t>(job_.tempNameMinimum);
    const std::string target = viaTemporary ? TemporaryPath(remoteName, job_) : remoteName;
    std::optional<std::uint64_t> expected;
    if (!send && entry != nullptr) {
        expected = entry->length;
    }
    ProgressMeter meter(job_, chunked, send ? localSize : expected.value_or(UINT64_MAX));
    std::optional<PartFile> part;
    if (!send) {
        part.emplace(localPath, job_);
    }
    // Whole-file moves report no progress at all, this included.
    std::optional<MovingEntry> listed;
    if (chunked) {
        listed.emplace(job_, send ? localPath.string() : remoteName, send ? localSize : expected.value_or(0));
    }
    const auto discardTemporary = [&] {
        if (viaTemporary) {
            connection_->Delete(target);
        }
    };
    for (int attempt = 1;; ++attempt) {
        meter.Restart();
        try {
            RenewLogin();
            if (send) {
                // A file under its temporary name is checked before it replaces the old copy.
                SendAttempt(localPath, target, type, attempt > 1 && viaTemporary,
                            checkLater_ && !viaTemporary && attempt == 1, meter);
                if (viaTemporary) {
                    CommitUpload(target, remoteName);
                }
                StampRemoteTime(localPath, remoteName);
                meter.Finish(localSize);
            } else {
                // The listing may be older than the file: a retry asks the server again.
                std::uint64_t now = 0;
                if (attempt > 1 && expected && connection_->FileSize(remoteName, now)) {
                    expected = now;
                }
                GetAttempt(*part, remoteName, type, expected, attempt > 1, meter);
                std::error_code error;
                const std::uint64_t received = fs::file_size(part->path(), error);
                CommitDownload(*part, localPath, remoteName,
                               entry != nullptr ? entry->modified : std::nullopt);
                meter.Finish(received);
            }
            return 1;
        } catch (const TransferCut&) {
            discardTemporary();
            return Cancelled(localPath, remoteName, send, viaTemporary);
        } catch (const CertificateError&) {
            // Met on a new login: the run's question, not a failure of this file to ignore.
            throw;
        } catch (const InternetError& error) {
            // A cancel can surface as the failure of the call it cut short: never try again then.
            if (job_.StopRequested()) {
                discardTemporary();
                return Cancelled(localPath, remoteName, send, viaTemporary);
            }
            const ServerReply reply = connection_->LastReply();
            if (handBack_ && connection_->CurrentLogin() == 0 && handBack_()) {
                meter.Restart();
                handedBack_ = true;
                return 0;
            }
            if (attempt <= job_.retries &&
                KindOfFailure(error.code(), reply.code) == FailureKind::Transient) {
                job_.ReportMessage("Attempt " + std::to_string(attempt) + " of " +
                                   std::to_string(job_.retries + 1) + " at " +
                                   (send ? localPath.string() : remoteName) + " failed (" + error.what() +
                                   "); trying again ...");
                if (PauseBeforeRetry(attempt)) {
                    continue;
                }
                discardTemporary();
                return Cancelled(localPath, remoteName, send, viaTemporary);
            }
            discardTemporary();
            NoteFailure(error.code(), reply);
            if (!chunked || job_.ignoreErrors == 1) {
                return 0;
            }
            throw;
        } catch (const FileError& error) {
            discardTemporary();
            NoteFailure(error.code(), ServerReply{});
            if (!chunked || job_.ignoreErrors == 1) {
                return 0;
            }
            throw;
        }
    }
}

int TransferRun::Cancelled(const fs::path& localPath, const std::string& remoteName, bool send,
                           bool viaTemporary) {
    cutShort_ = true;
    if (send && viaTemporary) {
        job_.ReportMessage("Cancelled: " + localPath.string() +
                           " was not sent; the server keeps its previous copy of " + remoteName + ".");
    } else if (send) {
        job_.ReportMessage("Cancelled: " + localPath.string() +
                           " was cut short; the server keeps the part it received.");
    } else {
        job_.ReportMessage("Cancelled: " + remoteName + " was not received; " + localPath.string() +
                           " is unchanged.");
    }
    return 0;
}

int TransferRun::SendFileChunked(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, true, true, nullptr);
}

int TransferRun::GetFileChunked(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, false, true, nullptr);
}

int TransferRun::PutStep(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, true, job_.reportProgress == 1, nullptr);
}

int TransferRun::GetStep(const fs::path& localPath, const std::string& remoteName, int type,
                         const RemoteEntry* entry) {
    const bool chunked = job_.reportProgress == 1;
    const std::uint64_t doneBefore = job_.progress.doneBytes;
    int result = MoveFile(localPath, remoteName, type, false, chunked, entry);
    if (result == 1 && job_.transferType == 0 && type == job::TransferTypeBinary &&
        LocalTransferType(job_, localPath) == job::TransferTypeAscii) {
        job_.ReportMessage(FormatResourceMessage(IDS_GETTING_AGAIN, {remoteName, std::string("ASCII")}));
        if (chunked) {
            job_.progress.doneBytes = doneBefore;
        }
        result = MoveFile(localPath, remoteName, job::TransferTypeAscii, false, chunked, entry);
    }
    return result;
}

}  // namespace bxfr::engine
