// SFTP's request pump: queued requests out, replies in, matched by id.

#include "engine/sftp/sftp_client.h"

#include <algorithm>

#include "engine/error_texts.h"

namespace bxfr::engine::sftp {

namespace {

using Clock = std::chrono::steady_clock;
// Asking libssh for this much at a time also grows the channel's receive window to it, which
// a download at any distance needs (the default window caps it at a fraction of the line).
constexpr std::uint32_t kReadChunk = 8 * 1024 * 1024;
constexpr std::size_t kWriteChunk = 256 * 1024;

}  // namespace

Client::Client(SshLink& link, const LoginParams& params)
    : link_(link), params_(params), in_(new char[kReadChunk]), lastHeard_(Clock::now()) {
    PacketWriter init(kInit);
    init.U32(3);
    out_ = init.Take();
    const auto deadline = Clock::now() + params_.connectTimeout;
    for (;;) {
        Pump(true);
        if (auto hello = reader_.NextHello()) {
            hello_ = std::move(*hello);
            break;
        }
        if (Clock::now() > deadline) Lose(kTimeout, "the server did not start SFTP");
    }
    if (hello_.version < 3)
        Lose(kConnectionAborted, "the server speaks SFTP version " + std::to_string(hello_.version));
}

void Client::Send(std::uint32_t id, PacketWriter&& packet) {
    if (lost_) Lose(kConnectionAborted, "the connection to the server was lost");
    out_ += packet.Take();
    // The idle watchdog counts from the first request after a quiet spell, not from the spell.
    if (outstanding_.empty()) lastHeard_ = Clock::now();
    outstanding_.insert(id);
    // Small requests are gathered; a full window's worth goes out at once.
    if (QueuedBytes() >= kWriteChunk) Pump(false);
}

void Client::SendQuietly(PacketWriter&& packet, std::uint32_t id) {
    if (lost_) return;
    out_ += packet.Take();
    forgotten_.insert(id);
}

std::optional<Reply> Client::TakeIfCome(std::uint32_t id) {
    const auto found = arrived_.find(id);
    if (found == arrived_.end()) return std::nullopt;
    Reply reply = std::move(found->second);
    arrived_.erase(found);
    return reply;
}

Reply Client::Wait(std::uint32_t id) {
    for (;;) {
        if (auto reply = TakeIfCome(id)) return std::move(*reply);
        if (!outstanding_.contains(id))
            Lose(kConnectionAborted, "an SFTP reply was awaited that was never asked for");
        Pump(true);
    }
}

void Client::ForgetOutstanding() {
    for (const std::uint32_t id : outstanding_) forgotten_.insert(id);
    outstanding_.clear();
    arrived_.clear();
}

void Client::Pump(bool block) {
    if (lost_) Lose(kConnectionAborted, "the connection to the server was lost");
    ssh_channel channel = link_.channel();
    bool moved = false;
    while (outStart_ < out_.size()) {
        const auto size = static_cast<std::uint32_t>(std::min(out_.size() - outStart_, kWriteChunk));
        const int written = ssh_channel_write(channel, out_.data() + outStart_, size);
        if (written == SSH_ERROR)
            Lose(kConnectionAborted, "the connection broke: " + link_.LastLibraryError());
        if (written == 0) break;
        outStart_ += static_cast<std::size_t>(written);
        moved = true;
    }
    if (outStart_ == out_.size()) {
        out_.clear();
        outStart_ = 0;
    }
    for (;;) {
        const int got = ssh_channel_read_timeout(channel, in_.get(), kReadChunk, 0, 0);
        if (got == SSH_ERROR) Lose(kConnectionAborted, "the connection broke: " + link_.LastLibraryError());
        if (got <= 0) break;
        reader_.Feed(in_.get(), static_cast<std::size_t>(got));
        moved = true;
        lastHeard_ = Clock::now();
    }
    if (hello_.version != 0) {
        try {
            while (std::optional<Reply> reply = reader_.Next()) {
                if (forgotten_.erase(reply->id) > 0) continue;
                if (outstanding_.erase(reply->id) == 0) {
                    throw ProtocolError("the server answered a request that was never sent");
                }
                arrived_.emplace(reply->id, std::move(*reply));
            }
        } catch (const ProtocolError& error) {
            Lose(kConnectionAborted, error.what());
        }
    }
    if (moved) return;
    if (ssh_channel_is_eof(channel) || !ssh_channel_is_open(channel)) {
        Lose(kConnectionAborted, "the server closed the connection");
    }
    if (!block) return;
    if (stoppable_ && params_.stopRequested && params_.stopRequested()) {
        // The session stays usable: the caller forgets what is still owed.
        ThreadLastReply() = ServerReply{0, "the transfer was cancelled"};
        throw InternetError(12017, WinInetErrorName(12017));
    }
    if (Clock::now() - lastHeard_ > params_.idleTimeout && !outstanding_.empty()) {
        Lose(kTimeout,
             "the server sent nothing for " + std::to_string(params_.idleTimeout.count()) + " seconds");
    }
    link_.Wait(std::chrono::milliseconds(100));
}

void Client::Lose(std::uint32_t code, const std::string& why) {
    lost_ = true;
    ThreadLastReply() = ServerReply{0, why};
    throw InternetError(code, WinInetErrorName(code) + ": " + why);
}

}  // namespace bxfr::engine::sftp
