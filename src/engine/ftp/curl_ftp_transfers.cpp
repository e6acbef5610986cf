// The FTP connection's file transfers: curl's data callbacks, ASCII line ends, progress and
// cancel, and checking what arrived.

#include <algorithm>
#include <utility>

#include "engine/error_texts.h"
#include "engine/ftp/curl_ftp_connection.h"
#include "engine/ftp/ftp_listing.h"
#include "job/text_encoding.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

std::size_t CurlFtpConnection::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    if (connection->closing_) {
        return length;
    }
    ServerReply reply;
    if (connection->reader_.Feed(std::string_view(data, length), reply)) {
        connection->lastReply_ = reply;
        ThreadLastReply() = reply;
        // curl lets go of the TLS session's handle when the request ends: ask while it lives.
        if (reply.code == 230 && connection->UsesTls()) {
            curl_tlssessioninfo* tls = nullptr;
            if (curl_easy_getinfo(connection->easy_.get(), CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK &&
                tls != nullptr && tls->backend == CURLSSLBACKEND_OPENSSL) {
                connection->security_ = DescribeTlsSession(tls->internals);
                connection->tls13_ = connection->security_.find("TLSv1.3") != std::string::npos;
            }
        }
        connection->replies_.push_back(std::move(reply));
    }
    return length;
}

std::size_t CurlFtpConnection::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    try {
        if (connection->sink_ != nullptr) {
            connection->fileBytes_ += length;
            // Only ASCII needs them, and counting costs a pass over every byte.
            if (connection->asciiDownload_) {
                connection->fileLineFeeds_ +=
                    static_cast<std::uint64_t>(std::count(data, data + length, '\n'));
            }
            (*connection->sink_)(data, length);
        } else if (connection->collect_ != nullptr) {
            connection->collect_->append(data, length);
        }
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return 0;
    }
    return length;
}

std::size_t CurlFtpConnection::OnRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    const std::size_t length = size * count;
    if (connection->source_ == nullptr) {
        return 0;
    }
    try {
        const std::size_t count = connection->asciiUpload_ ? connection->ReadAscii(buffer, length)
                                                           : (*connection->source_)(buffer, length);
        connection->fileBytes_ += count;
        if (connection->asciiUpload_) {
            connection->fileLineFeeds_ +=
                static_cast<std::uint64_t>(std::count(buffer, buffer + count, '\n'));
        }
        return count;
    } catch (...) {
        connection->callbackError_ = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

// curl itself turns every LF of an ASCII upload into CRLF, so the CR of a CRLF already on disk
// is taken out here: the wire then carries one CRLF per line end, never CR CR LF.
std::size_t CurlFtpConnection::ReadAscii(char* buffer, std::size_t size) {
    for (;;) {
        if (sourceDone_) {
            if (heldCR_) {
                heldCR_ = false;
                buffer[0] = '\r';
                return 1;
            }
            return 0;
        }
        std::size_t filled = 0;
        if (heldCR_) {
            buffer[filled++] = '\r';
            heldCR_ = false;
        }
        const std::size_t got = (*source_)(buffer + filled, size - filled);
        if (got == 0) {
            sourceDone_ = true;
        }
        filled += got;
        std::size_t out = 0;
        for (std::size_t i = 0; i < filled; ++i) {
            if (buffer[i] == '\r') {
                if (i + 1 < filled && buffer[i + 1] == '\n') {
                    continue;
                }
                if (i + 1 == filled && !sourceDone_) {
                    heldCR_ = true;
                    continue;
                }
            }
            buffer[out++] = buffer[i];
        }
        if (out > 0) {
            return out;
        }
    }
}
int CurlFtpConnection::OnProgress(void* self, curl_off_t, curl_off_t dlNow, curl_off_t, curl_off_t ulNow) {
    auto* connection = static_cast<CurlFtpConnection*>(self);
    // curl also calls this while it waits for the reply to a cut transfer, where no byte moves.
    if (connection->stoppable_ && connection->params_.stopRequested && connection->params_.stopRequested()) {
        return 1;
    }
    return ReportFileProgress(connection->progress_, connection->restartAt_,
                              connection->source_ != nullptr ? ulNow : dlNow, connection->lastProgress_,
                              connection->callbackError_);
}

// What PutFile and GetFile share before and after their transfer.
CurlFtpConnection::Request CurlFtpConnection::StartTransfer(const std::string& remoteName, int type,
                                                            const TransferOptions& options,
                                                            std::string& path) {
    RefuseOrThrow(remoteName);
    if (!EnsureConnected()) {
        Raise(lastError_);
    }
    path = ResolvePath(folder_, remoteName);
    Request request;
    request.urlPath = UrlPath(path);
    request.ascii = type == job::TransferTypeAscii;
    request.restartAt = request.ascii ? 0 : options.restartAt;
    progress_ = &options.onProgress;
    stoppable_ = true;
    restartAt_ = request.restartAt;
    lastProgress_ = request.restartAt;
    fileBytes_ = 0;
    fileLineFeeds_ = 0;
    return request;
}

void CurlFtpConnection::EndTransfer(CURLcode result) {
    source_ = nullptr;
    sink_ = nullptr;
    progress_ = nullptr;
    stoppable_ = false;
    ThrowIfCallbackFailed();
    if (result != CURLE_OK) {
        RaiseIfSessionSpent();
        Raise(CodeFor(result));
    }
}

void CurlFtpConnection::PutFile(const std::string& remoteName, int type, const UploadSource& source,
                                const TransferOptions& options) {
    std::string path;
    Request request = StartTransfer(remoteName, type, options, path);
    request.upload = true;
    source_ = &source;
    asciiUpload_ = request.ascii;
    heldCR_ = false;
    sourceDone_ = false;
    EndTransfer(Perform(request));
    if (options.checkLater && request.restartAt == 0) {
        pendingPuts_.push_back({path, fileBytes_, fileLineFeeds_, request.ascii});
    } else {
        VerifyStored(path, request.ascii, request.restartAt);
    }
    lastError_ = 0;
}

void CurlFtpConnection::GetFile(const std::string& remoteName, int type, const DownloadSink& sink,
                                const TransferOptions& options) {
    std::string path;
    Request request = StartTransfer(remoteName, type, options, path);
    // Told to ignore the size, curl 7.88 also drops the REST of a resume and sends the whole
    // file, which would then follow the part already here: a resume keeps curl's SIZE. (In
    // ASCII type curl turns CRLF, and a lone CR, into LF, also across chunk boundaries.)
    request.sizeKnown = options.expectedSize.has_value() && request.restartAt == 0;
    sink_ = &sink;
    asciiDownload_ = request.ascii;
    EndTransfer(Perform(request));
    VerifyReceived(path, request.ascii, options);
    lastError_ = 0;
}

// A data connection that a middlebox closed early looks like a whole file to a server that
// answers 226 all the same; only the size the server then holds tells.
void CurlFtpConnection::VerifyStored(const std::string& path, bool ascii, std::uint64_t restartAt) {
    const std::uint64_t sent = restartAt + fileBytes_;
    std::uint64_t stored = 0;
    bool known = false;
    if (!StoredSize(path, stored, known)) {
        RaiseWithText(kConnectionAborted,
                      "the server could not be asked for the size of " + path + " after it was sent");
    }
    // ASCII: the server keeps the lines with the CRs of the wire or without them.
    if (!known || stored == sent || (ascii && stored == sent + fileLineFeeds_)) {
        return;
    }
    RaiseWithText(kConnectionAborted, "the server holds " + std::to_string(stored) + " bytes of " + path +
                                          " after " + std::to_string(sent) + " were sent");
}

std::vector<bool> CurlFtpConnection::CheckPendingPuts() {
    const std::vector<PendingPut> pending = std::exchange(pendingPuts_, {});
    std::map<std::string, std::size_t> perFolder;
    for (const auto& put : pending) ++perFolder[put.path.substr(0, put.path.rfind('/') + 1)];
    std::map<std::string, std::optional<std::map<std::string, std::uint64_t>>> listed;
    std::vector<bool> whole;
    for (const auto& put : pending) {
        const std::size_t slash = put.path.rfind('/');
        const std::string folder = put.path.substr(0, slash + 1);
        auto sizes = listed.find(folder);
        if (sizes == listed.end()) {
            sizes = listed.emplace(folder, ListedSizes(folder, perFolder[folder])).first;
        }
        std::uint64_t stored = 0;
        bool known = false;
        if (sizes->second) {
            if (const auto found = sizes->second->find(put.path.substr(slash + 1));
                found != sizes->second->end()) {
                stored = found->second;
                known = true;
            }
        }
        // A listing that shows none of the files just stored there is not one to go by.
        if (sizes->second && !known &&
            std::none_of(pending.begin(), pending.end(), [&](const PendingPut& other) {
                return other.path.compare(0, folder.size(), folder) == 0 &&
                       sizes->second->count(other.path.substr(folder.size())) != 0;
            })) {
            statLists_ = false;
        }
        // Not in the listing (a hidden name, an odd form): asked for on its own.
        if (!known && !StoredSize(put.path, stored, known)) {
            RaiseWithText(kConnectionAborted,
                          "the server could not be asked for the size of " + put.path + " after it was sent");
        }
        whole.push_back(!known || stored == put.sent || (put.ascii && stored == put.sent + put.lineFeeds));
    }
    lastError_ = 0;
    return whole;
}

std::optional<std::map<std::string, std::uint64_t>> CurlFtpConnection::ListedSizes(const std::string& folder,
                                                                                   std::size_t files) {
    // Servers read patterns in STAT's argument; a long listing costs more than a SIZE per file.
    const auto entries = folderEntries_.find(folder);
    // A server might also split the argument at a blank and list another folder.
    if (!statLists_ || files < 2 || folder.find_first_of("*?[]{}~ \t") != std::string::npos ||
        (entries != folderEntries_.end() && entries->second > 64 * files)) {
        return std::nullopt;
    }
    std::uint32_t code = 0;
    ServerReply reply;
    if (!QuietQuote("STAT " + folder, code, reply)) {
        return std::nullopt;
    }
    if (code != 211 && code != 212 && code != 213) {
        statLists_ = false;
        return std::nullopt;
    }
    std::map<std::string, std::uint64_t> sizes;
    std::size_t count = 0;
    std::string_view text = reply.text;
    // The reply's first and last lines are the server's words; the ones between, the listing.
    for (std::size_t start = text.find('\n'); start != std::string_view::npos;) {
        const std::size_t end = text.find('\n', start + 1);
        if (end == std::string_view::npos) break;
        std::string_view line = text.substr(start + 1, end - start - 1);
        start = end;
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        RemoteEntry entry;
        if (ParseListLine(line, entry)) {
            ++count;
            if (!entry.isFolder && !entry.isLink) sizes[entry.name] = entry.length;
        }
    }
    folderEntries_[folder] = count;
    // A server that answers STAT with its status whatever the argument lists nothing.
    if (count == 0) {
        statLists_ = false;
        return std::nullopt;
    }
    return sizes;
}

void CurlFtpConnection::VerifyReceived(const std::string& path, bool ascii, const TransferOptions& options) {
    if (!options.expectedSize) {
        return;
    }
    curl_off_t wire = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_DOWNLOAD_T, &wire);
    const std::uint64_t received = restartAt_ + static_cast<std::uint64_t>(wire);
    const std::uint64_t expected = *options.expectedSize;
    if (received == expected || (ascii && received == expected + fileLineFeeds_)) {
        return;
    }
    RaiseWithText(kConnectionAborted, std::to_string(received) + " bytes of " + path +
                                          " arrived, the server lists " + std::to_string(expected));
}

}  // namespace bxfr::engine
