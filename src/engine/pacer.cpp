// The run's speed limit, shared by its connections.

#include "engine/pacer.h"

#include <algorithm>
#include <thread>

namespace bxfr::engine {

void Pacer::Take(std::size_t bytes, const std::function<void()>& check) {
    Clock::time_point due;
    {
        const std::lock_guard guard(lock_);
        const Clock::time_point now = Clock::now();
        // Time not used while nothing moved is not saved up for a burst later.
        next_ = std::max(next_, now);
        due = next_;
        next_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / rate_));
    }
    while (Clock::now() < due) {
        if (check) check();
        std::this_thread::sleep_for(
            std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(50)));
    }
}

std::size_t Pacer::Step() const { return std::max<std::size_t>(1024, static_cast<std::size_t>(rate_ / 20)); }

}  // namespace bxfr::engine
