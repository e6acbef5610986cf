#pragma once

// One run on a thread of its own, its progress as both front ends read it, and how it ended.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/connection.h"
#include "engine/web_request.h"
#include "job/transfer_job.h"

namespace bxfr::progress {

// What a run looks like from outside: the engine's last report plus the worker's outcome.
// The worker and the callbacks write it under one lock; readers take copies.
struct ProgressState {
    std::string lastMessage;
    std::string logText;  // every message so far; a message with its line flag set ends in "\r\n"
    std::int32_t runResult = 0;
    bool finished = false;
    bool cancelRequested = false;
    std::uint64_t totalBytes = 0;
    std::uint64_t doneBytes = 0;
    std::uint32_t filesMoving = 0;
    // The files on their way now, each with its bytes, whatever the log has been told yet.
    std::vector<job::MovingFile> moving;
    std::uint32_t filesMoved = 0;
    std::uint32_t filesSkipped = 0;
    std::uint32_t filesFailed = 0;
    std::uint32_t errorCode = 0;
    std::chrono::steady_clock::time_point start{};
    // When the first byte moved: the speed is measured from here, not from the login.
    std::optional<std::chrono::steady_clock::time_point> firstByte;
    std::string errorText;
    std::string errorDetail;
    // Why the run did not complete, in one sentence; empty without an error.
    std::string failure;
    // The run stopped at a server certificate that is not trusted (nothing else was sent): the
    // front end asks whether to trust it and runs again with the job's fingerprint set.
    std::optional<engine::ServerCertificate> untrustedCertificate;
};

enum class TransferStatus { Incomplete = 0, Completed = 1, Failed = 2, Cancelled = 3 };

// Runs one job on a thread of its own through the engine and keeps its ProgressState.
// The job and the client must outlive the worker; the destructor waits for the run.
class TransferWorker {
public:
    // Called on the worker thread, under no lock, for every engine message.
    using MessageListener = std::function<void(const std::string& text, int newLine)>;

    TransferWorker(job::TransferJob& job, engine::Connector& client);
    ~TransferWorker();
    TransferWorker(const TransferWorker&) = delete;
    TransferWorker& operator=(const TransferWorker&) = delete;

    void SetMessageListener(MessageListener listener) { listener_ = std::move(listener); }
    // Keeps the messages out of the state's log text, for runs nobody reads the text of.
    void SetKeepLogText(bool keep) { keepLogText_ = keep; }

    void Start();
    // Asks the engine to stop at its next check; safe from any thread, more than once. A request
    // that comes once the run has returned changes nothing: the run was not cut short.
    void RequestCancel();
    // True once the run has ended; waits at most `limit`.
    bool WaitFinished(std::chrono::milliseconds limit);
    void Join();

    ProgressState Snapshot() const;
    // The log text added since the last call, which the state then lets go of, so that a
    // display that shows every message keeps the only copy.
    std::string TakeLogText();

private:
    void Run();
    void OnMessage(const std::string& text, int newLine, job::TransferProgress& record);
    void OnProgress(job::TransferProgress& record);
    // Under lock_.
    void TakeRecord(const job::TransferProgress& record);
    void EndOfRun(bool threw);

    job::TransferJob& job_;
    engine::Connector& client_;
    std::unique_ptr<engine::WebRequest> web_;
    MessageListener listener_;
    bool keepLogText_ = true;
    mutable std::mutex lock_;
    std::condition_variable finishedSignal_;
    ProgressState state_;
    bool runReturned_ = false;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
};

// Error code of a run that ended in a failure of no expected kind ("Internal error").
inline constexpr std::uint32_t kUnexpectedFailure = 12004;

// The outcome of a finished run, for the progress dialog and bxfr alike: an error that is not
// ignored makes it Incomplete (the error is shown), else a cancel request made while the run
// went on makes it Cancelled, else the run's result decides.
TransferStatus OutcomeOf(const ProgressState& state, bool ignoreErrors);

// True when the run ended with an error the user must be told about.
bool ShowsErrorBox(const ProgressState& state, bool ignoreErrors);

// The code and the words behind the failure sentence: "Error 12014: Incorrect password: 530 ...".
std::string ErrorDetails(const ProgressState& state);

}  // namespace bxfr::progress
