#pragma once

// Exact times for files a listing gave none (servers without MLSD): MDTMs sent many at a time
// on a login of their own, instead of one round trip per file on the connections that move them.

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/connection.h"

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
    bool Fill(const std::string& folder, std::vector<RemoteEntry>& entries);

private:
    bool LogIn();  // under lock_

    std::mutex lock_;
    std::once_flag started_;
    std::thread opener_;
    LoginParams params_;
    std::unique_ptr<CurlFtpConnection> login_;
    bool broken_ = false;
};

}  // namespace bxfr::engine
