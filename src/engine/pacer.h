#pragma once

// The run's speed limit: bytes on every connection together wait their turn at one rate.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace bxfr::engine {

class Pacer {
public:
    explicit Pacer(std::uint64_t bytesPerSecond) : rate_(static_cast<double>(bytesPerSecond)) {}

    // Waits until `bytes` more may move, calling `check` every 50 ms meanwhile (it throws to
    // stop waiting, as a cancel does).
    void Take(std::size_t bytes, const std::function<void()>& check);
    // The most one step should move: a twentieth of a second's worth, so that the limit holds
    // from the first second and progress stays smooth.
    std::size_t Step() const;
    std::uint64_t BytesPerSecond() const { return static_cast<std::uint64_t>(rate_); }

private:
    using Clock = std::chrono::steady_clock;
    const double rate_;
    std::mutex lock_;
    Clock::time_point next_{};  // when the bytes granted so far have all had their time
};

}  // namespace bxfr::engine
