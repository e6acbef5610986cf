#include "engine/single_file_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "engine/error_texts.h"
#include "engine/run_context.h"

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

// The progress callback fires every 8192 bytes or every chunk, whichever is larger, and once
// for a final partial chunk.
class ProgressMeter {
public:
    ProgressMeter(job::TransferJob& job, bool chunked) : job_(job), chunked_(chunked) {}
    void Add(std::size_t count) {
        if (!chunked_ || count == 0) {
            return;
        }
        job_.progress.doneBytes += count;
        sinceReport_ += count;
        if (sinceReport_ >= 8192) {
            sinceReport_ = 0;
            job_.ReportProgress();
        }
    }
    void Finish() {
        if (chunked_ && sinceReport_ > 0) {
            job_.ReportProgress();
        }
    }

private:
    job::TransferJob& job_;
    bool chunked_;
    std::uint64_t sinceReport_ = 0;
};

// A received file is written here first and renamed over its target only when it arrived whole.
class PartFile {
public:
    explicit PartFile(const fs::path& target)
        : path_(target.parent_path() / ("." + target.filename().string() + ".bxfr-part")) {}
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

std::uint32_t ErrnoOr(std::uint32_t fallback) {
    return errno != 0 ? static_cast<std::uint32_t>(errno) : fallback;
}

}  // namespace

int LocalTransferType(const job::TransferJob& job, const fs::path& localPath) {
    if (job.transferType == 1) {
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
    if (job.transferType == 1) {
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

void TransferRun::NoteFailure(std::uint32_t code, const FtpReply& reply) {
    lastError_ = code;
    lastFailureReply_ = reply;
}

int TransferRun::MoveFile(const fs::path& localPath, const std::string& remoteName, int type, bool send,
                          bool chunked) {
    ProgressMeter meter(job_, chunked);
    try {
        if (send) {
            // The local file is opened first, so an unreadable one leaves nothing on the server.
            errno = 0;
            FilePtr file(std::fopen(localPath.c_str(), "rb"));
            if (!file) {
                throw FileError(ErrnoOr(ENOENT), localPath.string());
            }
            std::setvbuf(file.get(), nullptr, _IONBF, 0);
            connection_->PutFile(remoteName, type, [&](char* buffer, std::size_t size) -> std::size_t {
                if (job_.progress.cancelRequested == 1) {
                    throw TransferCut();
                }
                const std::size_t count = std::fread(buffer, 1, size, file.get());
                if (count < size && std::ferror(file.get())) {
                    throw FileError(ErrnoOr(EIO), localPath.string());
                }
                meter.Add(count);
                return count;
            });
        } else {
            PartFile part(localPath);
            errno = 0;
            FilePtr file(std::fopen(part.path().c_str(), "wb"));
            if (!file) {
                throw FileError(ErrnoOr(EACCES), localPath.string());
            }
            std::setvbuf(file.get(), nullptr, _IONBF, 0);
            connection_->GetFile(remoteName, type, [&](const char* data, std::size_t size) {
                if (job_.progress.cancelRequested == 1) {
                    throw TransferCut();
                }
                if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) {
                    throw FileError(ErrnoOr(EIO), localPath.string());
                }
                meter.Add(size);
            });
            errno = 0;
            if (std::fclose(file.release()) != 0) {
                throw FileError(ErrnoOr(EIO), localPath.string());
            }
            std::error_code renameError;
            fs::rename(part.path(), localPath, renameError);
            if (renameError) {
                throw FileError(static_cast<std::uint32_t>(renameError.value()), localPath.string());
            }
            part.Commit();
        }
        meter.Finish();
        return 1;
    } catch (const TransferCut&) {
        cutShort_ = true;
        if (send) {
            job_.ReportMessage("Cancelled: " + localPath.string() +
                               " was cut short; the server keeps the part it received.");
        } else {
            job_.ReportMessage("Cancelled: " + remoteName + " was not received; " + localPath.string() +
                               " is unchanged.");
        }
        return 0;
    } catch (const InternetError& error) {
        NoteFailure(error.code(), connection_->LastReply());
        if (!chunked || job_.ignoreErrors == 1) {
            return 0;
        }
        throw;
    } catch (const FileError& error) {
        NoteFailure(error.code(), FtpReply{});
        if (!chunked || job_.ignoreErrors == 1) {
            return 0;
        }
        throw;
    }
}

int TransferRun::SendFileChunked(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, true, true);
}

int TransferRun::GetFileChunked(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, false, true);
}

int TransferRun::PutStep(const fs::path& localPath, const std::string& remoteName, int type) {
    return MoveFile(localPath, remoteName, type, true, job_.reportProgress == 1);
}

int TransferRun::GetStep(const fs::path& localPath, const std::string& remoteName, int type) {
    const bool chunked = job_.reportProgress == 1;
    const std::uint64_t doneBefore = job_.progress.doneBytes;
    int result = MoveFile(localPath, remoteName, type, false, chunked);
    if (result == 1 && job_.transferType == 0 && type == job::TransferTypeBinary &&
        LocalTransferType(job_, localPath) == job::TransferTypeAscii) {
        job_.ReportMessage(FormatResourceMessage(IDS_GETTING_AGAIN, {remoteName, std::string("ASCII")}));
        if (chunked) {
            job_.progress.doneBytes = doneBefore;
        }
        result = MoveFile(localPath, remoteName, job::TransferTypeAscii, false, chunked);
    }
    return result;
}

}  // namespace bxfr::engine
