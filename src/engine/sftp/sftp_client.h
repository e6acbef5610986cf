#pragma once

// SFTP on an SSH channel, many requests in flight: requests are queued and written as the
// channel takes them while replies are read as they come, so that neither side ever waits for
// the other's window (a blocking write with unread replies would deadlock). Several threads
// may share one client, each with files of its own in flight: libssh is only ever entered
// under the client's lock, and one waiting thread at a time sleeps on the socket for all.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/connection.h"
#include "engine/sftp/sftp_packets.h"
#include "engine/sftp/ssh_link.h"

namespace bxfr::engine::sftp {

class Client {
public:
    // Starts SFTP (version 3) on the link's channel and reads the server's extensions.
    Client(std::unique_ptr<SshLink> link, const LoginParams& params);

    const ServerHello& hello() const { return hello_; }
    bool Offers(std::string_view extension) const { return hello_.Offers(extension); }
    const std::string& Security() const { return link_->Security(); }
    // The longest write and read to send: 32 KiB, which every server takes, for writes; for reads
    // what the server says it serves (limits@openssh.com), up to 256 KiB.
    std::uint32_t WriteSize() const { return writeSize_; }
    std::uint32_t ReadSize() const { return readSize_; }

    // A new request's id.
    std::uint32_t NextId();
    // Queues a request built with NextId(); it leaves as the channel takes it.
    void Send(std::uint32_t id, PacketWriter&& packet);
    // Queues a request whose reply nobody waits for (the close of a finished listing).
    void SendQuietly(std::uint32_t id, PacketWriter&& packet);
    // Pumps until the reply to `id` has come. With `stoppable` (while a file moves), the stop
    // flag ends the wait with 12017; the session stays usable.
    Reply Wait(std::uint32_t id, bool stoppable = false);
    // Replies still owed to an operation that ended early (a cancel, a failed write) are dropped.
    void Forget(const std::vector<std::uint32_t>& ids);
    // The connection broke or the server broke the protocol: nothing more can be sent.
    bool Lost() const;

private:
    // Writes what it can and reads what came, under the lock; true when anything moved.
    bool PumpLocked();
    void WriteLocked();
    [[noreturn]] void Lose(std::uint32_t code, const std::string& why);

    std::unique_ptr<SshLink> link_;
    LoginParams params_;
    ServerHello hello_;
    std::uint32_t writeSize_ = 32 * 1024;
    std::uint32_t readSize_ = 32 * 1024;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool sleeping_ = false;  // a thread sleeps on the socket for everyone
    ReplyReader reader_;
    std::string out_;
    std::size_t outStart_ = 0;
    std::unique_ptr<char[]> in_;
    std::uint32_t lastId_ = 0;
    std::unordered_set<std::uint32_t> outstanding_;
    std::unordered_set<std::uint32_t> forgotten_;
    std::unordered_map<std::uint32_t, Reply> arrived_;
    std::chrono::steady_clock::time_point lastHeard_;
    bool lost_ = false;
    std::string lostWhy_;
    std::uint32_t lostCode_ = 0;
};

}  // namespace bxfr::engine::sftp
