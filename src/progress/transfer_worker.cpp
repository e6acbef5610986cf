// The worker thread of a run: the engine's reports taken in, cancel, and the outcome and error box.

#include "progress/transfer_worker.h"

#include <cerrno>
#include <exception>

#include "engine/adapters/adapters.h"
#include "engine/error_texts.h"
#include "engine/transfer_log.h"
#include "engine/transfer_run.h"
#include "job/text_encoding.h"
#include "progress/progress_view.h"

namespace bxfr::progress {

namespace {

constexpr const char* kBeginBanner = " ***** Brindle FTP Transfer Begins *****";
constexpr const char* kEndBanner = " ***** Brindle FTP Transfer Ends *****";
constexpr const char* kUnexpectedText = "The transfer stopped on an unexpected failure: ";

// What the server's certificate or host key says of itself is the server's text too.
std::optional<engine::ServerCertificate> ShownCertificate(
    std::optional<engine::ServerCertificate> certificate) {
    if (certificate) {
        for (std::string* text : {&certificate->keyType, &certificate->subject, &certificate->issuer,
                                  &certificate->whyUntrusted, &certificate->pinnedIn}) {
            *text = job::ShownText(*text);
        }
    }
    return certificate;
}

}  // namespace

TransferWorker::TransferWorker(job::TransferJob& job, engine::Connector& client)
    : job_(job), client_(client), web_(engine::MakeWebRequest()) {}

TransferWorker::~TransferWorker() { Join(); }

void TransferWorker::Start() {
    {
        std::lock_guard guard(lock_);
        state_ = ProgressState{};
        state_.start = std::chrono::steady_clock::now();
        // The size the wizard counted stands in until the run has planned its own.
        state_.totalBytes = job_.getMode != 0 ? job_.getTotalBytes : job_.sendTotalBytes;
        runReturned_ = false;
        stop_ = std::make_shared<std::atomic<bool>>(false);
    }
    thread_ = std::thread([this] { Run(); });
}

void TransferWorker::RequestCancel() {
    std::lock_guard guard(lock_);
    if (!runReturned_) {
        state_.cancelRequested = true;
        if (stop_) stop_->store(true);
    }
}

bool TransferWorker::WaitFinished(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    return finishedSignal_.wait_for(guard, limit, [this] { return state_.finished; });
}

void TransferWorker::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

ProgressState TransferWorker::Snapshot() const {
    std::lock_guard guard(lock_);
    return state_;
}

std::string TransferWorker::TakeLogText() {
    std::lock_guard guard(lock_);
    std::string text = std::move(state_.logText);
    state_.logText.clear();
    return text;
}

void TransferWorker::OnMessage(const std::string& text, int newLine, job::TransferProgress& record) {
    {
        std::lock_guard guard(lock_);
        record.cancelRequested = state_.cancelRequested ? 1 : 0;
        TakeRecord(record);
        state_.errorCode = record.errorCode;
        state_.errorText = job::ShownText(record.errorText);
        state_.errorDetail = job::ShownText(record.errorDetail);
        state_.lastMessage = text;
        if (keepLogText_) {
            state_.logText += text;
            if (newLine == 1) {
                state_.logText += "\r\n";
            }
        }
        // Under the lock, so the log file never has two writers from here.
        if (!job_.logPath.empty() && !job_.dryRun) {
            engine::WriteLogLine(text, newLine, job_.logPath);
        }
    }
    if (listener_) {
        listener_(text, newLine);
    }
}

void TransferWorker::OnProgress(job::TransferProgress& record) {
    std::lock_guard guard(lock_);
    TakeRecord(record);
    // Passed on here too: no message is reported while one long file moves.
    if (state_.cancelRequested) {
        record.cancelRequested = 1;
    }
}

void TransferWorker::TakeRecord(const job::TransferProgress& record) {
    if (record.totalBytes != 0) {
        state_.totalBytes = record.totalBytes;
    }
    if (record.doneBytes != 0 && !state_.firstByte) {
        state_.firstByte = std::chrono::steady_clock::now();
    }
    state_.doneBytes = record.doneBytes;
    state_.filesMoving = record.filesMoving;
    state_.moving = record.moving;
    for (job::MovingFile& file : state_.moving) {
        file.name = job::ShownText(file.name);
    }
    state_.filesMoved = record.filesMoved;
    state_.filesSkipped = record.filesSkipped;
    state_.filesFailed = record.filesFailed;
}

void TransferWorker::Run() {
    job_.ResetProgress();
    job_.stopSignal = stop_;
    job_.failureText.clear();
    // Until the check answers: a run that fails before it must not read as "no updates".
    if (job_.checkUpgrade != 0) job_.upgradeAvailable = -1;
    // A dry run writes nothing anywhere, its log included.
    const std::string logPath = job_.dryRun ? std::string() : job_.logPath;
    if (!logPath.empty()) {
        engine::WriteLogLine("", 1, logPath);
        engine::WriteLogLine(kBeginBanner, 1, logPath);
    }
    // Put back as found after the run, so that a finished run does not count as a change
    // of the user's settings.
    const std::int32_t callbackMode = job_.callbackMode;
    job_.SetMessageCallback([this](const std::string& text, int newLine, job::TransferProgress& record) {
        OnMessage(text, newLine, record);
    });
    job_.SetProgressCallback([this](job::TransferProgress& record) { OnProgress(record); });
    {
        std::lock_guard guard(lock_);
        state_.start = std::chrono::steady_clock::now();
    }

    // A run that threw never did all it was asked to, ignored errors or not: it stays -1.
    std::int32_t result = -1;
    bool threw = true;
    std::uint32_t errorCode = 0;
    std::string errorText;
    // Why a run ended that the engine did not report itself; it goes to the pane and the log.
    std::string reason;
    std::optional<engine::ServerCertificate> untrusted;
    // The local file or path a failure was about, when it was one.
    std::string localSubject;
    // Refused before connecting: resolved here, such a path names a folder inside the current
    // one, which a get would create.
    if (job::IsWindowsOnlyPath(job_.localPath)) {
        errorCode = ENOENT;
        errorText = "The local path " + job_.localPath +
                    " was written on Windows and names nothing on this computer.";
        reason = errorText;
        localSubject = job_.localPath;
    } else {
        try {
            result = engine::RunTransfer(job_, client_, *web_);
            threw = false;
        } catch (const engine::CertificateError& error) {
            errorCode = error.code();
            errorText = error.what();
            untrusted = error.certificate();
            reason = errorText;
        } catch (const engine::InternetError& error) {
            errorCode = error.code();
            errorText = error.what();
        } catch (const engine::FileError& error) {
            errorCode = error.code();
            errorText = error.fileName();
            localSubject = errorText;
        } catch (const std::exception& error) {
            errorCode = kUnexpectedFailure;
            errorText = error.what();
            reason = kUnexpectedText + errorText;
        } catch (...) {
            // Not even a standard exception: the run still has to end, or the dialog never closes.
            errorCode = kUnexpectedFailure;
            errorText = "unknown failure";
            reason = kUnexpectedText + errorText;
        }
    }
    {
        std::lock_guard guard(lock_);
        runReturned_ = true;
        // A cancel that cut a login or a reply short surfaces as that call's failure.
        if (state_.cancelRequested && errorCode == 12017) {
            errorCode = 0;
        }
    }
    if (!reason.empty()) job_.ReportMessage(reason);
    ProgressState counted;
    {
        std::lock_guard guard(lock_);
        TakeRecord(job_.progress);
        counted = state_;
    }
    // A dry run's plan ends with its own totals.
    if (!job_.dryRun || threw) job_.ReportMessage(SummaryLine(counted, std::chrono::steady_clock::now()));
    if (!threw) {
        if (!logPath.empty()) {
            std::lock_guard guard(lock_);
            engine::WriteLogLine(kEndBanner, 1, logPath);
            engine::WriteLogLine("", 1, logPath);
        }
        job_.ResetProgress();
    }
    job_.stopSignal.reset();
    // The callbacks point into this object; the job may outlive it.
    job_.SetMessageCallback(nullptr);
    job_.SetProgressCallback(nullptr);
    job_.callbackMode = callbackMode;

    {
        std::lock_guard guard(lock_);
        if (threw) {
            if (errorCode != 0) {
                state_.errorCode = errorCode;
            }
            state_.errorText = job::ShownText(errorText);
            state_.untrustedCertificate = ShownCertificate(untrusted);
        }
        state_.runResult = result;
        if (state_.errorCode != 0) {
            engine::FailureSubject subject{job_.server, job_.port, localSubject, false};
            if (subject.path.empty() && !threw && !state_.errorText.empty()) {
                subject.path = state_.errorText;  // the file that was moving
            } else if (subject.path.empty()) {
                subject.path = job_.remotePathAsEntered.empty() ? job_.remotePath : job_.remotePathAsEntered;
                subject.folder = true;
            }
            state_.failure = engine::FailureSentence(state_.errorCode, subject);
        }
        job_.failureText = state_.failure;
        state_.finished = true;
    }
    finishedSignal_.notify_all();
}

bool ShowsErrorBox(const ProgressState& state, bool ignoreErrors) {
    return state.errorCode != 0 && !ignoreErrors;
}

TransferStatus OutcomeOf(const ProgressState& state, bool ignoreErrors) {
    if (ShowsErrorBox(state, ignoreErrors)) {
        return TransferStatus::Incomplete;
    }
    if (state.cancelRequested) {
        return TransferStatus::Cancelled;
    }
    return state.runResult == 0 ? TransferStatus::Completed : TransferStatus::Failed;
}

std::string ErrorDetails(const ProgressState& state) {
    std::string details = "Error " + std::to_string(state.errorCode);
    const std::string name = engine::WinInetErrorName(state.errorCode);
    if (state.errorCode >= 12000 && state.errorText.rfind(name, 0) != 0) {
        details += " (" + name + ")";
    } else if (state.errorCode < 12000) {
        details += " (" + engine::SystemErrorText(state.errorCode) + ")";
    }
    if (!state.errorText.empty()) {
        details += ": " + state.errorText;
    }
    if (!state.errorDetail.empty() && state.errorText.find(state.errorDetail) == std::string::npos) {
        details += "\n" + state.errorDetail;
    }
    return details;
}

}  // namespace bxfr::progress
