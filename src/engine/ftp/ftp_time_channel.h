#pragma once

// Exact times for files a listing gave none (servers without MLSD): MDTMs sent many at a time
// on a login of their own, instead of one round trip per file on the connections that move them.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/connection.h"
#include "engine/ftp/ftp_replies.h"

namespace bxfr::engine {

class CurlFtpConnection;

class TimeChannel {
public:
    // The channel of one server and user, shared by every login to them that holds it.
    static std::shared_ptr<TimeChannel> For(const LoginParams& params);

    explicit TimeChannel(const LoginParams& params);
    ~TimeChannel();
    TimeChannel(const TimeChannel&) = delete;
    TimeChannel& operator=(const TimeChannel&) = delete;

    // Starts the login in the background, so that it is ready when the first files need times.
    void Open();
    // Sets the time of each file of `folder` among `entries` that has none, where the server
    // tells it. False when the channel cannot be used (its login was refused, or it broke).
    // Several callers at once share the round trips: their commands go out as they come, and
    // whoever waits reads the replies for all.
    bool Fill(const std::string& folder, std::vector<RemoteEntry>& entries,
              const std::function<bool()>& stopRequested);

private:
    // The rest, all under lock_.
    bool LogIn(std::unique_lock<std::mutex>& guard);
    // Writes what the socket takes and reads what has come; false when the channel broke.
    bool Pump();
    void Break();

    std::mutex lock_;
    std::condition_variable loggedIn_;
    bool loggingIn_ = false;
    std::once_flag started_;
    std::thread opener_;
    LoginParams params_;
    std::unique_ptr<CurlFtpConnection> login_;
    bool broken_ = false;
    std::string outbox_;
    std::string inbox_;
    ReplyReader reader_;
    std::uint64_t asked_ = 0;                       // commands queued so far
    std::uint64_t answered_ = 0;                    // replies read so far
    std::map<std::uint64_t, ServerReply> replies_;  // by the number of their command
};

}  // namespace bxfr::engine
