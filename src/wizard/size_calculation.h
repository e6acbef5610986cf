#pragma once

// The size line's background calculation, one walk at a time on a copy of the job.

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

#include "job/transfer_job.h"

namespace bxfr::wizard {

// The size line's background calculation: at most one walk at a time, each on a private copy
// of the job taken before its thread starts. Every request and every size shown moves the
// generation on, and a walk stores its total only if the generation is still the one it began
// with, so a stale total never replaces a newer size. The owner may go away while a walk runs:
// the thread then finishes on its own and nobody waits for it.
class SizeCalculation : public QObject {
    Q_OBJECT
public:
    using Walk = std::function<std::uint64_t(job::TransferJob& copy)>;

    explicit SizeCalculation(QObject* parent = nullptr);
    ~SizeCalculation() override;

    // Starts `walk` on a copy of `job`, or, while one runs, marks that one more run is wanted.
    // Returns true when a thread was started.
    bool Start(const job::TransferJob& job, Walk walk);

    // A size was shown by other means (a single file): a running walk can no longer overwrite it.
    void Supersede();
    // Sets the size directly, e.g. 0 for a folder that does not exist, or a file's length.
    void SetSize(std::uint64_t bytes);

    bool Running() const { return running_; }
    std::uint64_t Size() const;
    std::uint32_t Generation() const;
    int StartedRuns() const { return startedRuns_; }

signals:
    // The walk ended; `pending` says a request came in meanwhile and the owner should ask again.
    void Ended(bool pending);

private:
    struct Shared;
    void Poll();

    std::shared_ptr<Shared> shared_;
    QTimer poll_;
    bool running_ = false;
    bool pending_ = false;
    int startedRuns_ = 0;
};

}  // namespace bxfr::wizard
