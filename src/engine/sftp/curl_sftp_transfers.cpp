// The SFTP connection's file transfers: the bytes each way, the idle watchdog, and what a
// finished transfer proves.

#include "engine/curl/curl_transfer_loop.h"
#include "engine/ftp/curl_ftp_connection.h"
#include "engine/sftp/curl_sftp_connection.h"

namespace bxfr::engine {

void CurlSftpConnection::PutFile(const std::string& remoteName, int, const UploadSource& source,
                                 const TransferOptions& options) {
    if (Refuse(remoteName)) {
        throw InternetError(kInvalidOperation, ErrorMessage(kInvalidOperation, lastReply_, nullptr));
    }
    Request request;
    request.path = Resolve(remoteName);
    request.upload = true;
    request.restartAt = options.restartAt;
    source_ = &source;
    progress_ = &options.onProgress;
    restartAt_ = options.restartAt;
    lastProgress_ = options.restartAt;
    fileBytes_ = 0;
    const CURLcode result = Perform(request);
    source_ = nullptr;
    progress_ = nullptr;
    if (result != CURLE_OK) Raise(result);
    ThrowIfCallbackFailed();
    // The server acknowledged every write at its offset: SFTP's own proof that the bytes landed.
    // A resumed file is measured too, since its start was written by an earlier connection.
    std::uint64_t stored = 0;
    const std::uint64_t sent = options.restartAt + fileBytes_;
    if (options.restartAt > 0 && FileSize(request.path, stored) && stored != sent) {
        Record(kConnectionAborted,
               ServerReply{0, "the server holds " + std::to_string(stored) + " bytes of " + request.path +
                                  " after " + std::to_string(sent) + " were sent"});
        throw InternetError(lastError_, ErrorMessage(lastError_, lastReply_, nullptr));
    }
    Succeed(226, "226 Stored " + request.path);
}

void CurlSftpConnection::GetFile(const std::string& remoteName, int, const DownloadSink& sink,
                                 const TransferOptions& options) {
    if (Refuse(remoteName)) {
        throw InternetError(kInvalidOperation, ErrorMessage(kInvalidOperation, lastReply_, nullptr));
    }
    Request request;
    request.path = Resolve(remoteName);
    request.restartAt = options.restartAt;
    // The time comes with the open at the cost of one request, not a session of its own later.
    request.fileTime = true;
    sink_ = &sink;
    progress_ = &options.onProgress;
    restartAt_ = options.restartAt;
    lastProgress_ = options.restartAt;
    fileBytes_ = 0;
    timedPath_.clear();
    const CURLcode result = Perform(request);
    sink_ = nullptr;
    progress_ = nullptr;
    if (result != CURLE_OK) Raise(result);
    ThrowIfCallbackFailed();
    curl_off_t seconds = -1;
    curl_easy_getinfo(easy_.get(), CURLINFO_FILETIME_T, &seconds);
    timedPath_ = request.path;
    timedSeconds_ = seconds;
    const std::uint64_t total = options.restartAt + fileBytes_;
    if (options.expectedSize && total != *options.expectedSize) {
        Record(kConnectionAborted,
               ServerReply{0, "Received " + std::to_string(total) + " bytes of " + request.path +
                                  ", expected " + std::to_string(*options.expectedSize) + "."});
        throw InternetError(lastError_, ErrorMessage(lastError_, lastReply_, nullptr));
    }
    Succeed(226, "226 Received " + request.path);
}

std::size_t CurlSftpConnection::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlSftpConnection*>(self);
    const std::size_t length = size * count;
    try {
        if (connection->collect_ != nullptr) {
            connection->collect_->append(data, length);
        } else if (connection->sink_ != nullptr) {
            (*connection->sink_)(data, length);
            connection->fileBytes_ += length;
        }
        return length;
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return 0;
    }
}

std::size_t CurlSftpConnection::OnRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlSftpConnection*>(self);
    try {
        const std::size_t got =
            connection->source_ != nullptr ? (*connection->source_)(buffer, size * count) : 0;
        connection->fileBytes_ += got;
        return got;
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

int CurlSftpConnection::OnProgress(void* self, curl_off_t, curl_off_t dlNow, curl_off_t, curl_off_t ulNow) {
    auto* connection = static_cast<CurlSftpConnection*>(self);
    // curl also calls this while it waits for the server's answer, where no byte moves.
    if (connection->progress_ != nullptr && connection->params_.stopRequested &&
        connection->params_.stopRequested()) {
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (dlNow + ulNow != connection->lastMoved_) {
        connection->lastMoved_ = dlNow + ulNow;
        connection->lastMovedAt_ = now;
    } else if (now - connection->lastMovedAt_ > connection->params_.idleTimeout) {
        connection->idleTimedOut_ = true;
        return 1;
    }
    return ReportFileProgress(connection->progress_, connection->restartAt_,
                              connection->source_ != nullptr ? ulNow : dlNow, connection->lastProgress_,
                              connection->callbackError_);
}

}  // namespace bxfr::engine
