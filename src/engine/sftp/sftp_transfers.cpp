// The SFTP connection's file transfers, pipelined: a file's writes or reads go out without
// waiting for one another, and its time, size check and close follow its last write in the
// same flight, so that a small file costs two round trips.

#include <algorithm>
#include <deque>
#include <map>

#include "engine/sftp/sftp_connection.h"

namespace bxfr::engine {

using namespace sftp;

namespace {

// Bytes in flight per file, whatever the request size the server takes.
constexpr std::size_t kWriteBytesInFlight = 2 * 1024 * 1024;
constexpr std::size_t kReadBytesInFlight = 4 * 1024 * 1024;
// The length every server must serve in one read.
constexpr std::uint32_t kSafeRead = 32 * 1024;

std::string Words(const Reply& reply) {
    return reply.message.empty() ? StatusName(reply.status) : reply.message;
}

// Sends one of a file's requests and keeps its id in `sent`, so that what is still owed can be
// dropped when the file ends early.
auto SenderFor(Client& client, std::vector<std::uint32_t>& sent) {
    return [&client, &sent](std::uint32_t id, PacketWriter&& packet) {
        sent.push_back(id);
        client.Send(id, std::move(packet));
    };
}

}  // namespace

// Opened on the session the file's requests then use, not on one logged in again meanwhile.
std::string SftpConnection::OpenHandle(Client& client, const std::string& path, std::uint32_t flags,
                                       const std::string& failure) {
    const std::uint32_t id = client.NextId();
    client.Send(id, std::move(PacketWriter(kOpen, id).String(path).U32(flags).Attrs({})));
    const Reply opened = client.Wait(id);
    if (opened.type != kHandle) {
        Fail(550, failure + (opened.type == kStatus ? Words(opened) : std::string("no file handle")));
        RaiseLast();
    }
    return opened.handle;
}

void SftpConnection::PutFile(const std::string& remoteName, int, const UploadSource& source,
                             const TransferOptions& options) {
    if (Refuse(remoteName)) RaiseLast();
    const std::string path = Resolve(remoteName);
    const std::shared_ptr<Client> held = Session();
    Client& client = *held;
    const std::uint32_t flags =
        kOpenWrite | kOpenCreate | (options.restartAt > 0 ? 0u : static_cast<std::uint32_t>(kOpenTruncate));
    const std::string handle = OpenHandle(client, path, flags, "Upload failed: ");
    std::vector<std::uint32_t> sent;
    const auto send = SenderFor(client, sent);
    try {
        std::deque<std::pair<std::uint32_t, std::size_t>> writes;  // id, length
        std::uint64_t offset = options.restartAt;
        std::uint64_t acknowledged = options.restartAt;
        std::string buffer(client.WriteSize(), '\0');
        const std::size_t writesInFlight = std::max<std::size_t>(4, kWriteBytesInFlight / buffer.size());
        std::string failure;
        bool ended = false;
        std::uint32_t stampId = 0;
        std::uint32_t statId = 0;
        std::uint32_t closeId = 0;
        while (!ended || !writes.empty()) {
            while (!ended && failure.empty() && writes.size() < writesInFlight) {
                const std::size_t count = source(buffer.data(), buffer.size());
                if (count == 0) {
                    ended = true;
                    break;
                }
                const std::uint32_t id = client.NextId();
                send(id, std::move(PacketWriter(kWrite, id)
                                       .String(handle)
                                       .U64(offset)
                                       .String(std::string_view(buffer.data(), count))));
                writes.emplace_back(id, count);
                offset += count;
            }
            if (ended && closeId == 0 && failure.empty()) {
                // Ordered after the writes on the same handle: the time, the size it now has, the close.
                if (options.modified) {
                    Attributes stamp;
                    const auto seconds = static_cast<std::uint32_t>(*options.modified);
                    stamp.times.emplace(seconds, seconds);
                    stampId = client.NextId();
                    send(stampId, std::move(PacketWriter(kFsetstat, stampId).String(handle).Attrs(stamp)));
                }
                statId = client.NextId();
                send(statId, std::move(PacketWriter(kFstat, statId).String(handle)));
                closeId = client.NextId();
                send(closeId, std::move(PacketWriter(kClose, closeId).String(handle)));
            }
            if (writes.empty()) break;
            const Reply reply = client.Wait(writes.front().first, true);
            if (reply.type != kStatus || reply.status != kOk) {
                if (failure.empty())
                    failure = reply.type == kStatus ? Words(reply) : "the server answered out of turn";
                ended = true;
            }
            acknowledged += writes.front().second;
            writes.pop_front();
            if (failure.empty() && options.onProgress) options.onProgress(acknowledged);
        }
        if (!failure.empty()) {
            client.Forget(sent);
            CloseQuietly(handle);
            Fail(550, "Upload failed: " + failure);
            RaiseLast();
        }
        if (stampId != 0) client.Wait(stampId, true);  // the time is a courtesy: a refusal fails nothing
        const Reply stat = client.Wait(statId, true);
        const Reply closed = client.Wait(closeId, true);
        if (closed.type != kStatus || closed.status != kOk) {
            Fail(550, "Upload failed: closing " + path + ": " + Words(closed));
            RaiseLast();
        }
        // Every write was acknowledged at its offset; the size the server now tells proves the whole.
        if (stat.type == kAttrs && stat.attributes.size && *stat.attributes.size != offset) {
            Record(kConnectionAborted,
                   ServerReply{0, "the server holds " + std::to_string(*stat.attributes.size) + " bytes of " +
                                      path + " after " + std::to_string(offset) + " were sent"});
            RaiseLast();
        }
    } catch (...) {
        client.Forget(sent);
        CloseQuietly(handle);
        throw;
    }
    Succeed(226, "226 Stored " + path);
}

void SftpConnection::GetFile(const std::string& remoteName, int, const DownloadSink& sink,
                             const TransferOptions& options) {
    if (Refuse(remoteName)) RaiseLast();
    const std::string path = Resolve(remoteName);
    timedPath_.clear();
    const std::shared_ptr<Client> held = Session();
    Client& client = *held;
    const std::string handle = OpenHandle(client, path, kOpenRead, "Download failed: ");
    std::vector<std::uint32_t> sent;
    const auto send = SenderFor(client, sent);
    std::uint64_t written = options.restartAt;
    try {
        // The time comes with the reads, for the run that asks for it next.
        const std::uint32_t statId = client.NextId();
        send(statId, std::move(PacketWriter(kFstat, statId).String(handle)));
        struct Read {
            std::uint32_t id;
            std::uint64_t offset;
            std::uint32_t length;
        };
        std::deque<Read> reads;
        const std::uint32_t readSize = client.ReadSize();
        const std::size_t readsInFlight = std::max<std::size_t>(4, kReadBytesInFlight / readSize);
        // Under a speed limit, a quarter second's worth at most: the limit holds on the wire too.
        const std::size_t inFlight =
            options.rateLimit == 0
                ? readsInFlight
                : std::clamp<std::size_t>(options.rateLimit / 4 / readSize, 1, readsInFlight);
        std::map<std::uint64_t, std::string> early;  // data that came before the bytes ahead of it
        std::uint64_t next = options.restartAt;
        std::optional<std::uint64_t> endAt;
        std::string failure;
        std::uint32_t closeId = 0;
        const auto ask = [&](std::uint64_t offset, std::uint32_t length) {
            const std::uint32_t id = client.NextId();
            send(id, std::move(PacketWriter(kRead, id).String(handle).U64(offset).U32(length)));
            reads.push_back({id, offset, length});
        };
        for (;;) {
            // With the size known, the reads stop one past it: that one sees the end.
            while (failure.empty() && !endAt && reads.size() < inFlight &&
                   (!options.expectedSize || next <= *options.expectedSize)) {
                const std::uint32_t length = next == options.restartAt ? kSafeRead : readSize;
                ask(next, length);
                next += length;
            }
            // A file that one read holds, of a length every server must serve at once, is closed
            // in the same flight; a longer one when its reads are done, since a short read is
            // asked for again.
            if (closeId == 0 && options.expectedSize &&
                *options.expectedSize < options.restartAt + kSafeRead && next > *options.expectedSize) {
                closeId = client.NextId();
                send(closeId, std::move(PacketWriter(kClose, closeId).String(handle)));
            }
            if (reads.empty()) break;
            const Read read = reads.front();
            reads.pop_front();
            const Reply reply = client.Wait(read.id, true);
            if (reply.type == kData && reply.data.size() <= read.length && !reply.data.empty()) {
                const std::size_t got = reply.data.size();
                early.emplace(read.offset, reply.data);
                // A short read is not the end: the rest of that stretch is asked for again.
                const bool reachedSize = options.expectedSize && read.offset + got >= *options.expectedSize;
                if (got < read.length && !endAt && closeId == 0 && !reachedSize) {
                    ask(read.offset + got, read.length - static_cast<std::uint32_t>(got));
                }
            } else if (reply.type == kStatus && reply.status == kEof) {
                endAt = std::min(endAt.value_or(read.offset), read.offset);
            } else if (failure.empty()) {
                failure = reply.type == kStatus ? Words(reply) : "the server sent a malformed read";
            }
            for (auto it = early.begin(); it != early.end() && it->first == written; it = early.erase(it)) {
                sink(it->second.data(), it->second.size());
                written += it->second.size();
                if (options.onProgress) options.onProgress(written);
            }
        }
        if (closeId == 0) {
            closeId = client.NextId();
            send(closeId, std::move(PacketWriter(kClose, closeId).String(handle)));
        }
        const Reply stat = client.Wait(statId, true);
        client.Wait(closeId, true);
        if (!failure.empty()) {
            Fail(550, "Download failed: " + failure);
            RaiseLast();
        }
        if (!early.empty() || (endAt && written != *endAt && !options.expectedSize)) {
            Record(kConnectionAborted, ServerReply{0, "the server left a gap in " + path + " at byte " +
                                                          std::to_string(written)});
            RaiseLast();
        }
        if (stat.type == kAttrs && stat.attributes.times) {
            timedPath_ = path;
            timedSeconds_ = stat.attributes.times->second;
        }
    } catch (...) {
        client.Forget(sent);
        CloseQuietly(handle);
        throw;
    }
    if (options.expectedSize && written != *options.expectedSize) {
        Record(kConnectionAborted,
               ServerReply{0, "Received " + std::to_string(written) + " bytes of " + path + ", expected " +
                                  std::to_string(*options.expectedSize) + "."});
        RaiseLast();
    }
    Succeed(226, "226 Received " + path);
}

}  // namespace bxfr::engine
