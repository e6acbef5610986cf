// The simultaneous transfers: the job's files shared out among several connections, each a lane.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/error_texts.h"
#include "engine/run_context.h"
#include "engine/sizes.h"
#include "engine/transfer_run.h"

namespace bxfr::engine {
namespace {

// The most sends of one folder a connection takes at once, to check them with one request.
constexpr std::size_t kMostChecked = 16;

// Small files of one folder go straight to their names and can be checked together; a large
// one is better checked at once, whatever goes under a temporary name.
bool SmallSend(const job::TransferJob& job, const FileTask& task) {
    constexpr std::uint64_t kLargest = 1024 * 1024;
    const std::uint64_t size = LocalFileLength(task.localPath);
    return size < kLargest &&
           (job.tempNameMinimum < 0 || size < static_cast<std::uint64_t>(job.tempNameMinimum));
}

// `next` may join the sends `first` starts, to be checked with them.
bool SendsTogether(const job::TransferJob& job, const FileTask& first, const FileTask& next) {
    return first.localPath.parent_path() == next.localPath.parent_path() && SmallSend(job, first) &&
           SmallSend(job, next);
}

// What the lanes share: the run's job, which only one of them reports to at a time, and the
// queue of files.
struct LaneBoard {
    job::TransferJob& job;
    // Grows while folders are listed; a deque keeps the files taken where they are.
    std::deque<FileTask> plan;
    bool send;
    // Folders waiting to be listed, with their depth below the start, and those being listed.
    std::deque<std::pair<std::string, int>> folders{};
    std::size_t listing = 0;
    // False while the first connection prepares the destination; the others wait to take files.
    bool ready = true;
    std::mutex lock{};
    std::size_t next = 0;
    bool stop = false;
    std::exception_ptr failure{};
    std::condition_variable changed{};
    // Files a connection that lost its login gave back, taken before the rest.
    std::vector<const FileTask*> returned{};
    std::size_t busy = 0;   // files taken and not done with
    std::size_t alive = 1;  // connections taking files: the first, and the extra ones logged in
    // Each lane's moving file, in the order of the lanes; the job lists the ones in use.
    std::vector<job::MovingFile> moving{};
};

// One connection's view of the run: a copy of the job whose messages wait until the file they
// belong to is done, so that the log never mixes the lines of two files, and whose bytes and
// cancel pass through to the run's job as they happen.
class Lane {
public:
    Lane(LaneBoard& board, std::size_t index) : board_(board), job_(board.job), index_(index) {
        job_.progress.doneBytes = 0;
        job_.progress.filesMoved = job_.progress.filesSkipped = job_.progress.filesFailed = 0;
        job_.SetMessageCallback([this](const std::string& text, int newLine, job::TransferProgress&) {
            pending_.emplace_back(text, newLine);
        });
        job_.SetProgressCallback([this](job::TransferProgress& progress) {
            const std::lock_guard guard(board_.lock);
            PassBytesOn(progress);
            PassMovingOn(progress);
            board_.job.ReportProgress();
            progress.cancelRequested = board_.job.progress.cancelRequested;
        });
    }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    job::TransferJob& job() { return job_; }

    // The next files, or none once the queue is empty or the run stops. While another
    // connection has a file, it may still come back. A send may take up to `most` files that
    // follow each other in one folder, which are then checked together.
    // A folder waiting to be listed comes first (`depth` then says how deep it is), so that
    // every connection soon has files.
    std::vector<const FileTask*> Take(std::size_t most, std::string& folder, int& depth) {
        std::unique_lock guard(board_.lock);
        // A cancel sets the job's stop flag without a word to the board: look again now and then.
        while (!(board_.stop || board_.job.StopRequested() ||
                 (board_.ready &&
                  (!board_.returned.empty() || !board_.folders.empty() || board_.next < board_.plan.size() ||
                   (board_.busy == 0 && board_.listing == 0))))) {
            board_.changed.wait_for(guard, std::chrono::milliseconds(100));
        }
        std::vector<const FileTask*> tasks;
        depth = -1;
        if (board_.stop || board_.job.StopRequested()) {
            return tasks;
        }
        if (!board_.folders.empty() && board_.returned.empty()) {
            std::tie(folder, depth) = std::move(board_.folders.front());
            board_.folders.pop_front();
            ++board_.listing;
            return tasks;
        }
        if (!board_.returned.empty()) {
            tasks.push_back(board_.returned.back());
            board_.returned.pop_back();
        } else if (board_.next < board_.plan.size()) {
            tasks.push_back(&board_.plan[board_.next++]);
            // Groups small enough that the connections still share the last files evenly.
            const std::size_t left = board_.plan.size() - board_.next;
            most = std::min(most, 1 + left / (2 * std::max<std::size_t>(board_.alive, 1)));
            while (tasks.size() < most && board_.next < board_.plan.size() && board_.send &&
                   SendsTogether(board_.job, *tasks.front(), board_.plan[board_.next])) {
                tasks.push_back(&board_.plan[board_.next++]);
            }
        } else {
            return tasks;
        }
        board_.busy += tasks.size();
        board_.job.progress.filesMoving += static_cast<int>(tasks.size());
        return tasks;
    }

    // What a listing found joins the queues; the messages go out as a file's do.
    void Listed(std::vector<FileTask>& files, std::vector<std::string>& folders, int depth, int result,
                std::exception_ptr failure) {
        {
            const std::lock_guard guard(board_.lock);
            --board_.listing;
            for (auto& folder : folders) board_.folders.emplace_back(std::move(folder), depth + 1);
            for (auto& file : files) {
                board_.job.getTotalBytes += file.entry.length;
                board_.plan.push_back(std::move(file));
            }
            board_.job.progress.totalBytes = board_.job.getTotalBytes;
            if (board_.listing == 0 && board_.folders.empty() && result != 0 && !failure) {
                pending_.emplace_back(
                    FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {board_.job.getTotalBytes}), 1);
            }
        }
        Finish(0, result, std::move(failure));
    }

    void Ready() {
        const std::lock_guard guard(board_.lock);
        board_.ready = true;
        board_.changed.notify_all();
    }

    // A connection that cannot log in again gives the folder it was to list back to the others.
    void ReturnFolder(std::string folder, int depth) {
        const std::lock_guard guard(board_.lock);
        --board_.listing;
        board_.folders.emplace_front(std::move(folder), depth);
        pending_.clear();
        board_.changed.notify_all();
    }

    void Join() {
        const std::lock_guard guard(board_.lock);
        ++board_.alive;
    }

    // A connection that cannot log in again leaves; false when it is the last one, whose
    // files then fail.
    bool Leave() {
        const std::lock_guard guard(board_.lock);
        if (board_.alive <= 1) {
            return false;
        }
        --board_.alive;
        return true;
    }

    // The files go back as if never taken: the attempt's messages and bytes are withdrawn.
    void HandBack(const std::vector<const FileTask*>& tasks) {
        const std::lock_guard guard(board_.lock);
        board_.busy -= tasks.size();
        board_.job.progress.filesMoving -= static_cast<int>(tasks.size());
        PassBytesOn(job_.progress);
        pending_.clear();
        for (const FileTask* task : tasks) {
            board_.returned.push_back(task);
            board_.job.ReportVerbose("A connection could not log in again; " +
                                     (board_.send ? task->localPath.string() : task->remotePath) +
                                     " goes to the others.");
        }
        board_.changed.notify_all();
    }

    // Hands the files' messages, bytes and error to the run's job; `result` 0 stops the run.
    void Finish(std::size_t moved, int result, std::exception_ptr failure) {
        const std::lock_guard guard(board_.lock);
        board_.busy -= moved;
        board_.job.progress.filesMoving -= static_cast<int>(moved);
        PassBytesOn(job_.progress);
        PassMovingOn(job_.progress);
        board_.job.progress.filesMoved += std::exchange(job_.progress.filesMoved, 0);
        board_.job.progress.filesSkipped += std::exchange(job_.progress.filesSkipped, 0);
        board_.job.progress.filesFailed += std::exchange(job_.progress.filesFailed, 0);
        const job::TransferProgress& mine = job_.progress;
        if (mine.errorCode != 0 &&
            (mine.errorCode != reportedError_ || mine.errorText != reportedErrorText_)) {
            reportedError_ = mine.errorCode;
            reportedErrorText_ = mine.errorText;
            board_.job.progress.errorCode = mine.errorCode;
            board_.job.progress.errorText = mine.errorText;
            board_.job.progress.errorDetail = mine.errorDetail;
        } else if (board_.job.progress.errorCode == 0) {
            board_.job.progress.errorText = mine.errorText;
        }
        for (const auto& [text, newLine] : pending_) {
            board_.job.ReportMessage(text, newLine);
        }
        pending_.clear();
        job_.progress.cancelRequested = board_.job.progress.cancelRequested;
        if (failure && !board_.failure) {
            board_.failure = std::move(failure);
        }
        if (result == 0 || board_.failure) {
            board_.stop = true;
        }
        board_.changed.notify_all();
    }

private:
    // A retry counts a file from its start again, so the lane's count can go down.
    void PassBytesOn(const job::TransferProgress& progress) {
        board_.job.progress.doneBytes += progress.doneBytes - reportedBytes_;
        reportedBytes_ = progress.doneBytes;
    }

    void PassMovingOn(const job::TransferProgress& progress) {
        board_.moving[index_] = progress.moving.empty() ? job::MovingFile{} : progress.moving.front();
        std::vector<job::MovingFile>& listed = board_.job.progress.moving;
        listed.clear();
        std::copy_if(board_.moving.begin(), board_.moving.end(), std::back_inserter(listed),
                     [](const job::MovingFile& file) { return !file.name.empty(); });
    }

    LaneBoard& board_;
    job::TransferJob job_;
    std::vector<std::pair<std::string, int>> pending_;
    std::size_t index_;
    std::uint64_t reportedBytes_ = 0;
    std::uint32_t reportedError_ = 0;
    std::string reportedErrorText_;
};

}  // namespace

std::size_t TransferRun::MoveFiles(const std::vector<FileTask>& plan, bool send, const std::string* listFirst,
                                   const std::function<void(TransferRun&)>& prepare) {
    const auto moveOne = [send](TransferRun& run, const FileTask& task) {
        return send ? run.SendOneFile(task.localPath) : run.GetOneFile(task.remotePath, &task.entry);
    };
    const std::size_t wanted =
        static_cast<std::size_t>(std::clamp(job_.connections, 1, job::kMaxConnections));
    const std::size_t count = listFirst != nullptr ? wanted : std::min(wanted, plan.size());
    // Where a login carries several files at once (SFTP), each connection has lanes of its own.
    const std::size_t inFlight = connection_ ? std::max<std::size_t>(1, connection_->FilesInFlight()) : 1;
    const std::size_t perLogin =
        listFirst != nullptr ? inFlight
        : count == 0         ? 1
                             : std::clamp<std::size_t>((plan.size() + count - 1) / count, 1, inFlight);
    if (count <= 1 && perLogin <= 1) {
        if (prepare) prepare(*this);
        for (std::size_t next = 0; next < plan.size();) {
            std::vector<const FileTask*> tasks{&plan[next++]};
            while (send && tasks.size() < kMostChecked && next < plan.size() &&
                   SendsTogether(job_, *tasks.front(), plan[next])) {
                tasks.push_back(&plan[next++]);
            }
            std::size_t taken = 0;
            if ((send ? SendGroup(tasks, taken) : moveOne(*this, *tasks.front())) == 0) {
                break;
            }
        }
        return plan.size();
    }

    // Each connection runs the connect script from where this one ran it, and takes what this
    // one learned of the server.
    const std::string baseFolder = loginFolder_;
    const std::string traits = connection_ ? connection_->ServerTraits() : std::string();
    LaneBoard board{job_, {plan.begin(), plan.end()}, send};
    board.ready = !prepare;
    if (listFirst != nullptr) {
        board.folders.emplace_back(*listFirst, 0);
    }
    // Lanes 0..count-1 have a connection each; the rest share their logins, perLogin - 1 each.
    const std::size_t total = count * perLogin;
    board.moving.resize(total);
    std::vector<std::unique_ptr<Lane>> lanes;
    for (std::size_t i = 0; i < total; ++i) {
        lanes.push_back(std::make_unique<Lane>(board, i));
    }
    const auto work = [&](Lane& lane, TransferRun& run) {
        run.handBack_ = [&lane] { return lane.Leave(); };
        for (;;) {
            std::string folder;
            int depth = -1;
            const bool together = send && run.connection_->ChecksLater();
            const std::vector<const FileTask*> tasks = lane.Take(together ? kMostChecked : 1, folder, depth);
            if (depth >= 0) {
                std::vector<FileTask> files;
                std::vector<std::string> folders;
                int result = 0;
                std::exception_ptr failure;
                try {
                    result = run.ListForLanes(folder, depth, files, folders);
                } catch (...) {
                    failure = std::current_exception();
                }
                if (result == 0 && !failure && run.connection_->CurrentLogin() == 0 && lane.Leave()) {
                    lane.ReturnFolder(std::move(folder), depth);
                    return;
                }
                lane.Listed(files, folders, depth, result, failure);
                continue;
            }
            if (tasks.empty()) {
                break;
            }
            int result = 0;
            std::size_t taken = 0;
            std::exception_ptr failure;
            try {
                result = send ? run.SendGroup(tasks, taken) : moveOne(run, *tasks.front());
            } catch (...) {
                failure = std::current_exception();
            }
            if (run.handedBack_ && !failure) {
                // With what this connection sent but could not check: the others send it again.
                lane.HandBack(tasks);
                return;
            }
            lane.Finish(tasks.size(), run.cutShort_ ? 0 : result, failure);
        }
    };
    const auto open = [&](std::size_t index, Lane& lane, TransferRun& run) {
        try {
            LoginParams params = LoginParamsFor(lane.job());
            params.serverTraits = traits;
            run.connection_ = connector_.Connect(params);
            if (!baseFolder.empty() && !run.connection_->SetCurrentDirectory(baseFolder)) {
                throw InternetError(run.connection_->LastError(), run.connection_->LastReply().text);
            }
            return true;
        } catch (const CertificateError&) {
            // Another certificate than the first connection's is what a man in the middle shows.
            lane.Finish(0, 0, std::current_exception());
            return false;
        } catch (const std::exception& error) {
            lane.job().ReportVerbose("Connection " + std::to_string(index + 1) + " of " +
                                     std::to_string(count) + " could not be opened (" + error.what() +
                                     "); the others go on.");
            lane.Finish(0, 1, nullptr);
            return false;
        }
    };
    // A lane on another connection's login: that login's script has run already.
    const auto shared = [&](std::size_t index, std::unique_ptr<Connection> view, std::uint32_t login,
                            std::string folder) {
        Lane& lane = *lanes[index];
        TransferRun run(lane.job(), connector_);
        run.connection_ = std::move(view);
        run.pacer_ = pacer_;
        run.scriptedLogin_ = login;
        run.loginFolder_ = std::move(folder);
        work(lane, run);
        run.connection_.reset();
    };
    const auto startShared = [&](std::size_t primary, TransferRun& run, Lane& lane,
                                 std::vector<std::thread>& into) {
        for (std::size_t j = 0; j + 1 < perLogin; ++j) {
            std::unique_ptr<Connection> view = run.connection_->Share();
            if (!view) return;
            lane.Join();
            into.emplace_back(shared, count + primary * (perLogin - 1) + j, std::move(view),
                              run.scriptedLogin_, run.loginFolder_);
        }
    };
    // The extra connections log in on their own threads; one the server refuses leaves the
    // files to the others, one whose certificate or host key is refused fails the run.
    const auto extra = [&](std::size_t index) {
        Lane& lane = *lanes[index];
        TransferRun run(lane.job(), connector_);
        run.pacer_ = pacer_;
        if (!open(index, lane, run)) {
            return;
        }
        try {
            // Its commands usually set state of the login, such as a umask.
            const int scripted = run.RunConnScript() == 1 || lane.job().ignoreErrors != 0 ? 1 : 0;
            lane.Finish(0, scripted, nullptr);
            if (scripted == 1) {
                lane.Join();
                std::vector<std::thread> views;
                startShared(index, run, lane, views);
                work(lane, run);
                for (auto& view : views) view.join();
            }
        } catch (...) {
            lane.Finish(0, 0, std::current_exception());
        }
        run.connection_.reset();
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < count; ++i) {
        threads.emplace_back(extra, i);
    }
    {
        TransferRun first(lanes[0]->job(), connector_);
        first.connection_ = std::move(connection_);
        first.pacer_ = pacer_;
        first.scriptedLogin_ = scriptedLogin_;
        first.loginFolder_ = loginFolder_;
        first.remoteFolders_ = remoteFolders_;
        // The other connections log in meanwhile.
        if (prepare) {
            try {
                prepare(first);
            } catch (...) {
                lanes[0]->Finish(0, 0, std::current_exception());
            }
            lanes[0]->Ready();
        }
        std::vector<std::thread> views;
        startShared(0, first, *lanes[0], views);
        work(*lanes[0], first);
        for (auto& view : views) view.join();
        connection_ = std::move(first.connection_);
        scriptedLogin_ = first.scriptedLogin_;
        cutShort_ = cutShort_ || first.cutShort_;
    }
    for (auto& thread : threads) {
        thread.join();
    }
    job_.progress.filesMoving = 0;
    job_.progress.moving.clear();
    if (job_.StopRequested()) {
        cutShort_ = true;
    }
    if (board.failure) {
        std::rethrow_exception(board.failure);
    }
    return board.plan.size();
}

}  // namespace bxfr::engine
