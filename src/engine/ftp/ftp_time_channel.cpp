// The times channel: a connect-only login whose commands we write and read ourselves, so that
// many MDTMs go out in one write and their replies come back in one round trip.

#include "engine/ftp/ftp_time_channel.h"

#include <chrono>

#include "engine/ftp/curl_ftp_connection.h"
#include "engine/ftp/ftp_listing.h"
#include "engine/socket_wait.h"
#include "job/text_encoding.h"

namespace bxfr::engine {
std::shared_ptr<TimeChannel> TimeChannel::For(const LoginParams& params) {
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<TimeChannel>> registry;
    const std::string key = std::to_string(static_cast<int>(params.protocol)) + '\n' + params.server + '\n' +
                            std::to_string(params.port) + '\n' + params.userName + '\n' + params.proxy +
                            '\n' + params.fingerprint;
    const std::lock_guard guard(registryLock);
    std::shared_ptr<TimeChannel> channel = registry[key].lock();
    if (!channel) {
        channel = std::make_shared<TimeChannel>(params);
        registry[key] = channel;
    }
    return channel;
}

TimeChannel::TimeChannel(const LoginParams& params) : params_(params) {}

TimeChannel::~TimeChannel() {
    if (opener_.joinable()) opener_.join();
    if (login_) login_->HurryFarewell();
}

// The login runs without the lock, so that a slow one keeps nobody waiting for long: Fill
// waits a few seconds for it, then leaves the times to the connections.
void TimeChannel::Open() {
    std::call_once(started_, [this] {
        {
            const std::lock_guard guard(lock_);
            if (login_ || broken_) return;
            loggingIn_ = true;
        }
        opener_ = std::thread([this] {
            std::unique_ptr<CurlFtpConnection> login;
            try {
                login = std::make_unique<CurlFtpConnection>(params_);
                if (!login->OpenForQueries()) login.reset();
            } catch (const std::exception&) {
                login.reset();
            }
            const std::lock_guard guard(lock_);
            loggingIn_ = false;
            login_ = std::move(login);
            if (!login_) Break();
            loggedIn_.notify_all();
        });
    });
}

bool TimeChannel::LogIn(std::unique_lock<std::mutex>& guard) {
    if (!login_ && !broken_ && !loggingIn_) {
        guard.unlock();
        Open();
        guard.lock();
    }
    loggedIn_.wait_for(guard, std::chrono::seconds(5), [this] { return !loggingIn_; });
    return login_ && !broken_;
}

void TimeChannel::Break() {
    broken_ = true;
    if (login_) login_->HurryFarewell();
    login_.reset();
    replies_.clear();
}

bool TimeChannel::Pump() {
    if (!outbox_.empty()) {
        const long taken = login_->SendRaw(outbox_);
        if (taken < 0) return false;
        outbox_.erase(0, static_cast<std::size_t>(taken));
    }
    char buffer[16384];
    for (;;) {
        const long got = login_->ReceiveRaw(buffer, sizeof buffer);
        if (got < 0) return false;
        if (got == 0) break;
        inbox_.append(buffer, static_cast<std::size_t>(got));
    }
    for (std::size_t end = inbox_.find('\n'); end != std::string::npos; end = inbox_.find('\n')) {
        ServerReply reply;
        const bool complete = reader_.Feed(std::string_view(inbox_).substr(0, end + 1), reply);
        inbox_.erase(0, end + 1);
        if (complete) {
            // A server that ends the session, or answers what was not asked, can be followed no more.
            if (reply.code == 421 || answered_ >= asked_) return false;
            replies_[answered_++] = std::move(reply);
        }
    }
    return true;
}

bool TimeChannel::Fill(const std::string& folder, std::vector<RemoteEntry>& entries,
                       const std::function<bool()>& stopRequested) {
    std::string commands;
    std::vector<RemoteEntry*> asked;
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (auto& entry : entries) {
        // A name the server made up to break the line is never written to it.
        if (entry.isFolder || entry.isLink || entry.modified || job::HoldsLineBreak(entry.name) ||
            entry.name.find('\0') != std::string::npos) {
            continue;
        }
        commands += "MDTM " + base + entry.name + "\r\n";
        asked.push_back(&entry);
    }
    if (asked.empty()) {
        return true;
    }
    // The NOOP's reply closes the batch where it must: replies and commands still pair up.
    commands += "NOOP\r\n";
    std::unique_lock guard(lock_);
    if (!LogIn(guard)) {
        return false;
    }
    const std::uint64_t first = asked_;
    const std::uint64_t end = first + asked.size() + 1;
    asked_ = end;
    outbox_ += commands;
    auto deadline = std::chrono::steady_clock::now() + params_.idleTimeout;
    std::uint64_t seen = answered_;
    while (answered_ < end) {
        if (broken_) {
            return false;
        }
        if (!Pump()) {
            Break();
            return false;
        }
        if (answered_ >= end) {
            break;
        }
        // Replies read by whoever pumped count as progress too.
        if (answered_ != seen) {
            seen = answered_;
            deadline = std::chrono::steady_clock::now() + params_.idleTimeout;
        } else if (std::chrono::steady_clock::now() > deadline) {
            Break();
            return false;
        }
        if (stopRequested && stopRequested()) {
            return false;
        }
        const curl_socket_t socket = login_->RawSocket();
        const bool writing = !outbox_.empty();
        guard.unlock();
        WaitOnSocket(static_cast<std::intptr_t>(socket), kReadable | (writing ? kWritable : 0), 50);
        guard.lock();
    }
    const auto noop = replies_.find(end - 1);
    const bool paired = noop != replies_.end() && noop->second.code == 200;
    bool anyTime = false;
    for (std::uint64_t i = first; i < end; ++i) {
        const auto reply = replies_.find(i);
        if (reply == replies_.end()) continue;
        if (paired && i + 1 < end && reply->second.code == 213 && reply->second.text.size() > 4) {
            asked[i - first]->modified = ParseFtpTime(std::string_view(reply->second.text).substr(4));
            anyTime = anyTime || asked[i - first]->modified.has_value();
        }
        replies_.erase(reply);
    }
    // Out of step, or a server that tells no times this way: the connections ask file by file.
    if (!paired || !anyTime) {
        Break();
        return false;
    }
    return true;
}

// Logs in and stops there: the channel's commands are written to the socket by SendRaw.
bool CurlFtpConnection::OpenForQueries() {
    CURL* h = easy_.get();
    const std::string url = baseUrl_ + "/";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    // Nobody waits on this login for long: the connections ask themselves when it is slow.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, 10L);
    closing_ = true;  // its replies are nobody's last reply
    return curl_easy_perform(h) == CURLE_OK;
}

// curl says QUIT on cleanup and waits for the reply: not long, for a login nobody waits on.
void CurlFtpConnection::HurryFarewell() {
    curl_easy_setopt(easy_.get(), CURLOPT_SERVER_RESPONSE_TIMEOUT, 1L);
}

curl_socket_t CurlFtpConnection::RawSocket() {
    curl_socket_t socket = CURL_SOCKET_BAD;
    curl_easy_getinfo(easy_.get(), CURLINFO_ACTIVESOCKET, &socket);
    return socket;
}

long CurlFtpConnection::SendRaw(std::string_view data) {
    std::size_t sent = 0;
    const CURLcode result = curl_easy_send(easy_.get(), data.data(), data.size(), &sent);
    if (result == CURLE_AGAIN) return 0;
    return result == CURLE_OK ? static_cast<long>(sent) : -1;
}

long CurlFtpConnection::ReceiveRaw(char* buffer, std::size_t size) {
    std::size_t got = 0;
    const CURLcode result = curl_easy_recv(easy_.get(), buffer, size, &got);
    if (result == CURLE_AGAIN) return 0;
    // Nothing read with no error: the server closed the connection.
    return result == CURLE_OK && got > 0 ? static_cast<long>(got) : -1;
}

}  // namespace bxfr::engine
