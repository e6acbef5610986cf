#pragma once

// The transfer job: one transfer's settings, rules and scripts, and the run-time record the engine
// shares with its callbacks.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "job/protocol.h"
#include "job/transfer_plan.h"

namespace bxfr::job {

// Values the FTP layer uses for the transfer type.
inline constexpr int TransferTypeAscii = 1;
inline constexpr int TransferTypeBinary = 2;

inline constexpr std::int32_t kDefaultRetries = 3;
inline constexpr std::int32_t kDefaultConnections = 4;
inline constexpr std::int32_t kMaxConnections = 10;

inline constexpr std::int64_t kDefaultTempNameMinimum = 100 * 1024;

// A file on its way, as a progress display lists it; `size` 0 when not known.
struct MovingFile {
    std::string name;
    std::uint64_t doneBytes = 0;
    std::uint64_t size = 0;

    bool operator==(const MovingFile&) const = default;
};

struct TransferProgress {
    std::uint64_t totalBytes = 0;
    std::uint64_t doneBytes = 0;
    std::uint32_t cancelRequested = 0;
    std::uint32_t filesMoving = 0;  // files on their way at this moment, on all connections
    std::uint32_t errorCode = 0;
    std::string errorText;
    std::string errorDetail;
    // Kept apart from the messages, which a connection holds back until its file is done.
    std::vector<MovingFile> moving;
    std::uint32_t filesMoved = 0;
    std::uint32_t filesSkipped = 0;
    std::uint32_t filesFailed = 0;

    bool operator==(const TransferProgress&) const = default;
};

struct tagBXFR_CHMOD {
    std::string extension;
    std::int32_t permissions = 0;  // decimal digits of the octal mode as typed: 755 stays 755

    bool operator==(const tagBXFR_CHMOD&) const = default;
};

struct tagBXFR_SEL {
    std::string extension;

    bool operator==(const tagBXFR_SEL&) const = default;
};

struct tagBXFR_SCRIPT {
    std::string type;  // "Conn", "Tran" or "Disc"
    std::string command;
    std::int32_t expectResponse = 0;
    std::int32_t id = 0;

    bool operator==(const tagBXFR_SCRIPT&) const = default;
};

// Called by the engine on the worker thread. The receiver may write cancelRequested.
using MessageCallback = std::function<void(const std::string& text, int newLine, TransferProgress& progress)>;
using ProgressCallback = std::function<void(TransferProgress& progress)>;
// Hears the run's plan once it is made, before anything moves.
using PlanCallback = std::function<void(const TransferPlan& plan)>;

// One transfer's settings and the run-time record the engine shares with its callbacks.
// The engine keeps its session and connection in its own run object, so nothing here
// needs to know the FTP layer.
class TransferJob {
public:
    TransferJob();
    TransferJob(const TransferJob& other);
    TransferJob& operator=(const TransferJob& other);
    ~TransferJob() = default;

    // Compares every setting a user can edit, the rule and script lists included, so that the
    // question before giving up changes covers them; totals, progress and callbacks are not compared.
    bool operator==(const TransferJob& other) const;

    void Reset();
    // Appends the other job's list entries: it does not empty this job's lists first.
    void CopyFrom(const TransferJob& other);

    void SetRemotePath(const std::string& text);
    void SetLocalPath(const std::string& text);
    void SetProxy(const std::string& text);
    void SetTransferType(std::int32_t type) { transferType = type; }
    void SetSelectMode(std::int32_t mode) { selectMode = mode; }
    void SetPort(std::uint16_t value) { port = value; }
    void SetServer(const std::string& text) { server = text; }
    void SetUserName(const std::string& text) { userName = text; }
    void SetPassword(const std::string& text) { password = text; }
    void SetLogPath(const std::string& text) { logPath = text; }
    void SetTransferFilePath(const std::string& text) { transferFilePath = text; }

    void AddChmodRule(const std::string& extension, const std::string& permissionText);
    void AddSelectRule(const std::string& extension);
    void AddConnScript(const std::string& text);
    void AddTranScript(const std::string& text);
    void AddDiscScript(const std::string& text);

    void SetMessageCallback(MessageCallback callback);
    void SetProgressCallback(ProgressCallback callback);
    void ReportMessage(const std::string& text, int newLine = 1);
    void ReportVerbose(const std::string& text, int newLine = 1);
    void ReportProgress();
    void ResetProgress();
    // A cancel from either path: the record a callback wrote, or the stop signal.
    bool StopRequested() const { return progress.cancelRequested == 1 || (stopSignal && stopSignal->load()); }

    std::uint32_t context = 1;
    std::uint32_t accessType = 0;  // 0 = preconfigured, 3 = through `proxy`
    std::string proxy;
    std::string proxyBypass;
    std::uint32_t sessionFlags = 0;
    std::uint64_t sendTotalBytes = 0;
    std::uint64_t getTotalBytes = 0;
    std::list<tagBXFR_CHMOD> chmodRules;
    std::list<tagBXFR_SEL> selectRules;
    std::list<tagBXFR_SCRIPT> connScript;
    std::list<tagBXFR_SCRIPT> tranScript;
    std::list<tagBXFR_SCRIPT> discScript;
    MessageCallback messageCallback;
    ProgressCallback progressCallback;
    std::int32_t callbackMode = 0;  // 2 once a message callback is registered
    std::string server;
    std::string remotePath;
    std::string localPath;
    std::string remotePathAsEntered;
    std::string localPathAsEntered;
    std::string userName;
    std::string password;  // bytes as the server receives them; never re-encoded
    std::string fileMask = "*.*";
    std::string transferFilePath;
    std::string logPath;
    std::uint16_t port = 21;
    // Active mode needs the server to connect back, which NAT and firewalls block; a transfer
    // file without PASSIVE still reads as active (transfer_file.cpp).
    std::int32_t passive = 1;
    std::int32_t getMode = 0;
    std::int32_t ignoreErrors = 0;
    std::int32_t verbose = 0;
    std::int32_t archiveOnly = 0;
    std::int32_t checkUpgrade = 0;
    std::int32_t singleFile = 0;
    std::int32_t transferType = 0;  // 0 = per file, 1 = always binary, other = always ASCII
    std::int32_t selectMode = 0;    // 0 = all, 1 = only the rules, 2 = all but the rules
    TransferProgress progress;
    std::int32_t autoTransfer = 0;
    std::int32_t promptPassword = 0;
    std::int32_t upgradeAvailable = 0;  // 1 newer, 0 none, -1 the check did not run or got no answer
    std::int32_t nextConnScriptId = 1;
    std::int32_t nextTranScriptId = 1;
    std::int32_t nextDiscScriptId = 1;
    std::int32_t reportProgress = 0;
    // Attempts after the first for a file that failed on the way (0 = none).
    std::int32_t retries = kDefaultRetries;
    // Files move on this many connections at once (1 to kMaxConnections).
    std::int32_t connections = kDefaultConnections;
    // Files of at least this many bytes are sent under a temporary name and renamed when whole;
    // negative = never.
    std::int64_t tempNameMinimum = kDefaultTempNameMinimum;
    // KiB per second for the whole run, all connections together; 0 = no limit.
    std::int64_t speedLimit = 0;
    Protocol protocol = Protocol::Ftp;
    // 1 = a file moves only where the destination's copy is missing or differs in size or time.
    std::int32_t syncMode = 0;
    // 1 = after a run where everything succeeded, destination files the source no longer has go.
    std::int32_t deleteMissing = 0;
    // The server certificate (TLS) or host key (SFTP) the user accepted: "SHA256:" and the
    // unpadded base64 of the SHA-256 of the certificate's DER or of the key blob. Empty = the
    // certificate must verify against the trusted authorities, the host key must be in the
    // user's known_hosts.
    std::string fingerprint;
    // SFTP: the private key to log in with; the password is then its passphrase.
    std::string keyFile;
    // Set from any thread to stop the run. The adapters poll it while they wait on the server,
    // when no callback would pass a cancel in; copies of the job, the connections', share it.
    std::shared_ptr<std::atomic<bool>> stopSignal;
    // Why the last run did not complete, in one sentence, for the Final page; empty when it did.
    std::string failureText;
    // Run-time only, never saved: plan and report, change nothing anywhere.
    bool dryRun = false;
    // Run-time only: the user agreed to deletions the guard would refuse.
    bool allowMassDelete = false;
    PlanCallback planCallback;
};

// A drive or UNC path written on Windows (C:\Site or \\host\share): it names nothing on
// this system, and resolving it would put a folder of that name into the current one.
bool IsWindowsOnlyPath(const std::string& path);

}  // namespace bxfr::job
