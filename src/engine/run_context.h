#pragma once

// The state of one run (TransferRun), whose members are the engine's steps, and the files it moves.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/connection.h"
#include "engine/mirror_plan.h"
#include "engine/pacer.h"
#include "engine/web_request.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

class PartFile;
class ProgressMeter;

// One file the run moves, decided before anything moves: a send names the local file, a get
// the remote one with its listing entry.
struct FileTask {
    std::filesystem::path localPath;
    std::string remotePath;
    RemoteEntry entry;
};

// The state of one run: the job, the connector that stands for the session, and the run's
// own connection. The engine's steps are its members so that they share the connection
// without the job having to know the protocol.
//
// Cancel: the engine reads job.progress.cancelRequested at the start of every file and
// between the chunks of a file. Both callbacks receive the record and may set the field;
// a receiver that wants a cancel to stop a long file must set it from the progress
// callback too, since no message is reported while a file moves.
class TransferRun {
public:
    // `web` serves the upgrade check; a lane, which never checks, passes none.
    TransferRun(job::TransferJob& job, Connector& connector, WebRequest* web = nullptr)
        : job_(job), connector_(connector), web_(web) {}

    int Run();
    void CheckForUpgrade();
    // Raise FileError or InternetError for a source that is not there, before anything moves.
    void CheckLocalSource();
    [[noreturn]] void MissingRemoteSource(const std::string& what, const std::string& path);

    // Server commands and scripts.
    int SendCommand(const std::string& command, int expectResponse);
    int ApplyChmodRules(const std::string& remoteName);
    int RunConnScript();
    // Runs the connect script again when the connection logged in again since it last ran.
    void RenewLogin();
    int RunTranScript(const std::string& fileName);
    int RunDiscScript();

    // Single-file transfer.
    int SendFileChunked(const std::filesystem::path& localPath, const std::string& remoteName, int type);
    int GetFileChunked(const std::filesystem::path& localPath, const std::string& remoteName, int type);
    int PutStep(const std::filesystem::path& localPath, const std::string& remoteName, int type);
    // `entry`, when the listing gave one, tells the size to expect and the server's time.
    int GetStep(const std::filesystem::path& localPath, const std::string& remoteName, int type,
                const RemoteEntry* entry = nullptr);

    // Send walk.
    int SendFiles();
    int SendOneFile(const std::filesystem::path& localFile);
    // Sends files of one folder, each checked with the others afterwards where the connection
    // can (one request for all instead of one each); a file found incomplete is sent again.
    // Results as SendOneFile's; `sent` counts the files handed to SendOneFile.
    int SendGroup(const std::vector<const FileTask*>& group, std::size_t& sent);
    // The check of the sends SendGroup left pending, each then finished, or sent again when
    // `resend` (else failed); 0 when the run stops.
    int CheckPendingSends(bool resend);
    int CreateRemoteFolder(const std::filesystem::path& localFolder);
    void ResetArchiveAttribute(const std::filesystem::path& localFile);

    // Get walk.
    int GetFiles();
    int GetOneFile(const std::string& remoteFile, const RemoteEntry* entry = nullptr);
    // One folder of a get whose files move while it is listed: its selected files and its
    // subfolders. 0 when the run stops.
    int ListForLanes(const std::string& folder, int depth, std::vector<FileTask>& files,
                     std::vector<std::string>& folders);

    // Hands the files to the job's simultaneous connections, this run's own among them, each
    // running the whole per-file sequence; stops handing them out at a failure that is not
    // ignored, or at a cancel. A failure that leaves a file raises it here once all have stopped.
    // With `listFirst` (a get), the connections list that folder and all below it as they go,
    // and take its files as they are found. Returns the number of files handed out or found.
    // `prepare` runs on this run's connection first (a send's folders are made), while the
    // others log in; they take files once it is done.
    std::size_t MoveFiles(const std::vector<FileTask>& plan, bool send,
                          const std::string* listFirst = nullptr,
                          const std::function<void(TransferRun&)>& prepare = {});

    // Comparing with the destination and removing what the source no longer has (mirror_run.cpp).
    // Decides which of `tasks` move, leaving out the unchanged ones, and makes the run's plan
    // (reported in a dry run). False when the run stops here: the destination could not be
    // listed, or the guard refused the deletions (which raises unless the run is a dry run).
    bool PlanTransfer(std::vector<FileTask>& tasks, bool send, const TreeListing& source);
    // A single file's plan: whether it moves at all.
    bool PlanSingleFile(bool send, const std::optional<RemoteEntry>& remote);
    // After a run where everything succeeded, the plan's deletions.
    void DeleteGone();
    bool Mirrors() const { return job_.syncMode == 1 || job_.deleteMissing == 1 || job_.dryRun; }

    Connection& connection() { return *connection_; }

private:
    bool IsSelectedForSend(const std::filesystem::path& localFile);
    std::string RemoteNameFor(const std::filesystem::path& local) const;
    void ReportLastError();
    void NoteFailure(std::uint32_t code, const ServerReply& reply);
    // One file with its retries: temporary names, resume and verification on the way.
    int MoveFile(const std::filesystem::path& localPath, const std::string& remoteName, int type, bool send,
                 bool withProgress, const RemoteEntry* entry);
    void SendAttempt(const std::filesystem::path& localPath, const std::string& target, int type, bool resume,
                     bool checkLater, ProgressMeter& meter);
    // What follows a file the server holds whole: counts, archive bit, permissions, script.
    int FinishSend(const std::filesystem::path& localFile, const std::string& remoteName);
    void CommitUpload(const std::string& temporary, const std::string& remoteName);
    void StampRemoteTime(const std::filesystem::path& localPath, const std::string& remoteName);
    void GetAttempt(PartFile& part, const std::string& remoteName, int type,
                    std::optional<std::uint64_t> expected, bool resume, ProgressMeter& meter);
    void CommitDownload(PartFile& part, const std::filesystem::path& localPath, const std::string& remoteName,
                        std::optional<std::int64_t> modified);
    int Cancelled(const std::filesystem::path& localPath, const std::string& remoteName, bool send,
                  bool viaTemporary);
    void CheckCancel() const;
    bool PauseBeforeRetry(int attempt);
    int ReportListFailure(const std::string& folder, int attempt);

    job::TransferJob& job_;
    Connector& connector_;
    WebRequest* web_;
    std::unique_ptr<Connection> connection_;
    std::uint32_t lastError_ = 0;
    ServerReply lastFailureReply_;
    bool cutShort_ = false;
    // A lane's say whether its file may go to another connection when this one cannot log in
    // again; set when it went.
    std::function<bool()> handBack_;
    bool handedBack_ = false;
    // The login the connect script last ran on, and the folder it started in.
    std::uint32_t scriptedLogin_ = 0;
    std::string loginFolder_;
    // The speed limit all the run's connections share; none without one.
    std::shared_ptr<Pacer> pacer_;
    bool archiveUnsupportedReported_ = false;
    // Within SendGroup: small files leave their size check for CheckPendingSends; those stored
    // so, in order, and each file's messages until then.
    bool checkLater_ = false;
    bool putPending_ = false;
    struct PendingSend {
        std::filesystem::path localFile;
        std::string remoteName;
        std::size_t held = 0;  // its entry in held_
    };
    std::vector<PendingSend> pendingSends_;
    struct HeldFile {
        std::vector<std::pair<std::string, int>> lines;
    };
    std::vector<HeldFile> held_;
    void ShowHeld(const HeldFile& file);
    // The run's plan, and the absolute remote base folder its names are relative to.
    job::TransferPlan plan_;
    std::string remoteBase_;
    // A dry run of a send whose remote folder is not there yet: the destination is empty.
    bool remoteBaseMissing_ = false;
    // The remote folders the plan saw, which need no creating.
    std::set<std::string> remoteFolders_;

    bool ListRemoteTree(TreeListing& tree);
    std::string LocalRelative(const std::string& remoteFile);
    void NotePlanScripts();
    void ReportPlan();
    bool Unchanged(bool send, const std::string& name, const TreeFile& source,
                   std::optional<TreeFile> destination, const std::filesystem::path& localFile,
                   const std::string& remoteFile, int type);
    void PlanDeletions(const TreeListing& source, const TreeListing& destination, bool send);
    bool DeleteLocal(const job::PlanItem& item);
    bool DeleteRemote(const job::PlanItem& item);
};

// The login parameters a job describes.
LoginParams LoginParamsFor(const job::TransferJob& job);

}  // namespace bxfr::engine
