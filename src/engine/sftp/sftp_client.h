#pragma once

// SFTP on an SSH channel, many requests in flight: requests are queued and written as the
// channel takes them while replies are read as they come, so that neither side ever waits for
// the other's window (a blocking write with unread replies would deadlock).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/connection.h"
#include "engine/sftp/sftp_packets.h"
#include "engine/sftp/ssh_link.h"

namespace bxfr::engine::sftp {

class Client {
public:
    // Starts SFTP (version 3) on the link's channel and reads the server's extensions.
    Client(SshLink& link, const LoginParams& params);

    const ServerHello& hello() const { return hello_; }
    bool Offers(std::string_view extension) const { return hello_.Offers(extension); }

    // A new request's id.
    std::uint32_t NextId() { return ++lastId_; }
    // Queues a request built with NextId(); it leaves as the channel takes it.
    void Send(std::uint32_t id, PacketWriter&& packet);
    // Queues a request whose reply nobody waits for (the close of a finished listing).
    void SendQuietly(PacketWriter&& packet, std::uint32_t id);
    // Pumps until the reply to `id` has come.
    Reply Wait(std::uint32_t id);
    // The reply to `id` if it has come, without waiting.
    std::optional<Reply> TakeIfCome(std::uint32_t id);
    // Writes what it can, reads what came; with `block`, sleeps on the socket when nothing moved.
    void Pump(bool block);
    // Replies still owed to an operation that ended early (a cancel, a failed write) are dropped.
    void ForgetOutstanding();
    std::size_t Outstanding() const { return outstanding_.size(); }
    std::size_t QueuedBytes() const { return out_.size() - outStart_; }

    // While a file moves, the stop flag ends any wait with 12017.
    void SetStoppable(bool stoppable) { stoppable_ = stoppable; }
    // The connection broke or the server broke the protocol: nothing more can be sent.
    bool Lost() const { return lost_; }

private:
    [[noreturn]] void Lose(std::uint32_t code, const std::string& why);

    SshLink& link_;
    const LoginParams& params_;
    ServerHello hello_;
    ReplyReader reader_;
    std::string out_;
    std::size_t outStart_ = 0;
    std::unique_ptr<char[]> in_;
    std::uint32_t lastId_ = 0;
    std::unordered_set<std::uint32_t> outstanding_;
    std::unordered_set<std::uint32_t> forgotten_;
    std::unordered_map<std::uint32_t, Reply> arrived_;
    std::chrono::steady_clock::time_point lastHeard_;
    bool stoppable_ = false;
    bool lost_ = false;
};

}  // namespace bxfr::engine::sftp
