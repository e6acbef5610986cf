// The size line's background calculation: the walk's thread, its generations, and polling for
// the end.

#include "wizard/size_calculation.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace bxfr::wizard {

struct SizeCalculation::Shared {
    std::mutex lock;
    std::uint32_t generation = 0;
    std::uint64_t size = 0;
    std::atomic<bool> done{false};
    std::atomic<bool> abandoned{false};

    bool Overtaken(std::uint32_t started) {
        if (abandoned) return true;
        std::lock_guard guard(lock);
        return generation != started;
    }
};

SizeCalculation::SizeCalculation(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>()) {
    poll_.setInterval(500);
    connect(&poll_, &QTimer::timeout, this, &SizeCalculation::Poll);
}

SizeCalculation::~SizeCalculation() { shared_->abandoned = true; }

bool SizeCalculation::Start(const job::TransferJob& job, Walk walk) {
    std::uint32_t generation = 0;
    {
        std::lock_guard guard(shared_->lock);
        generation = ++shared_->generation;
    }
    if (running_) {
        pending_ = true;
        return false;
    }
    running_ = true;
    ++startedRuns_;
    shared_->done = false;
    // The copy is taken here, on the owner's thread, so the walk never sees a job half-edited.
    // A walk that a newer request or size has overtaken is asked to stop at its next file.
    job::TransferJob copy = job;
    copy.SetProgressCallback(
        [shared = std::weak_ptr<Shared>(shared_), generation](job::TransferProgress& progress) {
            const auto alive = shared.lock();
            if (!alive || alive->Overtaken(generation)) progress.cancelRequested = 1;
        });
    std::thread([shared = shared_, copy = std::move(copy), walk = std::move(walk), generation]() mutable {
        std::uint64_t total = 0;
        try {
            total = walk(copy);
        } catch (...) {
            total = 0;  // an unreachable server or an unreadable folder counts as nothing to move
        }
        {
            std::lock_guard guard(shared->lock);
            if (shared->generation == generation) shared->size = total;
        }
        shared->done = true;
    }).detach();
    poll_.start();
    return true;
}

void SizeCalculation::Supersede() {
    std::lock_guard guard(shared_->lock);
    ++shared_->generation;
}

void SizeCalculation::SetSize(std::uint64_t bytes) {
    std::lock_guard guard(shared_->lock);
    ++shared_->generation;
    shared_->size = bytes;
}

std::uint64_t SizeCalculation::Size() const {
    std::lock_guard guard(shared_->lock);
    return shared_->size;
}

std::uint32_t SizeCalculation::Generation() const {
    std::lock_guard guard(shared_->lock);
    return shared_->generation;
}

void SizeCalculation::Poll() {
    if (!shared_->done) return;
    poll_.stop();
    running_ = false;
    const bool pending = pending_;
    pending_ = false;
    emit Ended(pending);
}

}  // namespace bxfr::wizard
