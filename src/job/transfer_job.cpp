// The transfer job: its defaults, copies and setters, the protocols' keys and ports, and its
// callbacks.

#include "job/transfer_job.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "job/text_encoding.h"

namespace bxfr::job {
namespace {

std::string CurrentDirectory() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string() : cwd.string();
}

bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

// Reads the leading decimal digits the way atol does: blanks, an optional sign, digits.
std::int32_t LeadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min<long long>(value * 10 + (text[i] - '0'), 0x7fffffffLL);
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

tagBXFR_SCRIPT MakeScript(const std::string& type, const std::string& text, std::int32_t& nextId) {
    tagBXFR_SCRIPT entry;
    entry.type = type;
    auto comma = text.find(',');
    entry.command = comma == std::string::npos ? text : text.substr(0, comma);
    entry.expectResponse = comma == std::string::npos ? 0 : 1;
    entry.id = nextId++;
    return entry;
}

}  // namespace

TransferJob::TransferJob() { Reset(); }

TransferJob::TransferJob(const TransferJob& other) { CopyFrom(other); }

TransferJob& TransferJob::operator=(const TransferJob& other) {
    if (this != &other) {
        Reset();
        CopyFrom(other);
    }
    return *this;
}

void TransferJob::Reset() {
    // Assigning a fresh value would recurse through the constructor; clear field by field instead.
    context = 1;
    accessType = 0;
    proxy.clear();
    proxyBypass.clear();
    sessionFlags = 0;
    sendTotalBytes = 0;
    getTotalBytes = 0;
    chmodRules.clear();
    selectRules.clear();
    connScript.clear();
    tranScript.clear();
    discScript.clear();
    messageCallback = nullptr;
    progressCallback = nullptr;
    callbackMode = 0;
    server.clear();
    remotePath.clear();
    localPath = CurrentDirectory();
    remotePathAsEntered.clear();
    localPathAsEntered.clear();
    userName.clear();
    password.clear();
    fileMask = "*.*";
    transferFilePath.clear();
    logPath.clear();
    port = 21;
    passive = 1;
    getMode = 0;
    ignoreErrors = 0;
    verbose = 0;
    archiveOnly = 0;
    checkUpgrade = 0;
    singleFile = 0;
    transferType = 0;
    selectMode = 0;
    progress = TransferProgress{};
    autoTransfer = 0;
    promptPassword = 0;
    upgradeAvailable = 0;
    nextConnScriptId = 1;
    nextTranScriptId = 1;
    nextDiscScriptId = 1;
    reportProgress = 0;
    retries = kDefaultRetries;
    connections = kDefaultConnections;
    tempNameMinimum = kDefaultTempNameMinimum;
    speedLimit = 0;
    protocol = Protocol::Ftp;
    syncMode = 0;
    deleteMissing = 0;
    dryRun = false;
    allowMassDelete = false;
    planCallback = nullptr;
    fingerprint.clear();
    keyFile.clear();
    stopSignal.reset();
    failureText.clear();
}

void TransferJob::CopyFrom(const TransferJob& other) {
    context = other.context;
    accessType = other.accessType;
    proxy = other.proxy;
    proxyBypass = other.proxyBypass;
    sessionFlags = other.sessionFlags;
    sendTotalBytes = other.sendTotalBytes;
    getTotalBytes = other.getTotalBytes;
    // Taken before appending so that CopyFrom(*this) doubles the lists instead of looping.
    auto chmod = other.chmodRules;
    auto select = other.selectRules;
    auto conn = other.connScript;
    auto tran = other.tranScript;
    auto disc = other.discScript;
    chmodRules.splice(chmodRules.end(), chmod);
    selectRules.splice(selectRules.end(), select);
    connScript.splice(connScript.end(), conn);
    tranScript.splice(tranScript.end(), tran);
    discScript.splice(discScript.end(), disc);
    messageCallback = other.messageCallback;
    progressCallback = other.progressCallback;
    callbackMode = other.callbackMode;
    server = other.server;
    remotePath = other.remotePath;
    localPath = other.localPath;
    remotePathAsEntered = other.remotePathAsEntered;
    localPathAsEntered = other.localPathAsEntered;
    userName = other.userName;
    password = other.password;
    fileMask = other.fileMask;
    transferFilePath = other.transferFilePath;
    logPath = other.logPath;
    port = other.port;
    passive = other.passive;
    getMode = other.getMode;
    ignoreErrors = other.ignoreErrors;
    verbose = other.verbose;
    archiveOnly = other.archiveOnly;
    checkUpgrade = other.checkUpgrade;
    singleFile = other.singleFile;
    transferType = other.transferType;
    selectMode = other.selectMode;
    progress = other.progress;
    autoTransfer = other.autoTransfer;
    promptPassword = other.promptPassword;
    upgradeAvailable = other.upgradeAvailable;
    nextConnScriptId = other.nextConnScriptId;
    nextTranScriptId = other.nextTranScriptId;
    nextDiscScriptId = other.nextDiscScriptId;
    reportProgress = other.reportProgress;
    retries = other.retries;
    connections = other.connections;
    tempNameMinimum = other.tempNameMinimum;
    speedLimit = other.speedLimit;
    protocol = other.protocol;
    syncMode = other.syncMode;
    deleteMissing = other.deleteMissing;
    dryRun = other.dryRun;
    allowMassDelete = other.allowMassDelete;
    planCallback = other.planCallback;
    fingerprint = other.fingerprint;
    keyFile = other.keyFile;
    stopSignal = other.stopSignal;
    failureText = other.failureText;
}

bool TransferJob::operator==(const TransferJob& o) const {
    return context == o.context && accessType == o.accessType && proxy == o.proxy &&
           proxyBypass == o.proxyBypass && sessionFlags == o.sessionFlags && server == o.server &&
           remotePath == o.remotePath && remotePathAsEntered == o.remotePathAsEntered &&
           localPathAsEntered == o.localPathAsEntered && userName == o.userName && password == o.password &&
           fileMask == o.fileMask && transferFilePath == o.transferFilePath && logPath == o.logPath &&
           port == o.port && passive == o.passive && getMode == o.getMode && ignoreErrors == o.ignoreErrors &&
           verbose == o.verbose && archiveOnly == o.archiveOnly && checkUpgrade == o.checkUpgrade &&
           singleFile == o.singleFile && transferType == o.transferType && selectMode == o.selectMode &&
           callbackMode == o.callbackMode && autoTransfer == o.autoTransfer &&
           promptPassword == o.promptPassword && upgradeAvailable == o.upgradeAvailable &&
           nextConnScriptId == o.nextConnScriptId && nextTranScriptId == o.nextTranScriptId &&
           nextDiscScriptId == o.nextDiscScriptId && reportProgress == o.reportProgress &&
           retries == o.retries && connections == o.connections && tempNameMinimum == o.tempNameMinimum &&
           speedLimit == o.speedLimit && protocol == o.protocol && syncMode == o.syncMode &&
           deleteMissing == o.deleteMissing && fingerprint == o.fingerprint && keyFile == o.keyFile &&
           chmodRules == o.chmodRules && selectRules == o.selectRules && connScript == o.connScript &&
           tranScript == o.tranScript && discScript == o.discScript;
}

const char* ProtocolKey(Protocol protocol) {
    switch (protocol) {
        case Protocol::Ftpes:
            return "ftpes";
        case Protocol::Ftps:
            return "ftps";
        case Protocol::Sftp:
            return "sftp";
        case Protocol::Ftp:
            break;
    }
    return "ftp";
}

std::optional<Protocol> ParseProtocol(const std::string& key) {
    std::string lower = key;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const Protocol protocol : {Protocol::Ftp, Protocol::Ftpes, Protocol::Ftps, Protocol::Sftp}) {
        if (lower == ProtocolKey(protocol)) return protocol;
    }
    return std::nullopt;
}

bool IsFingerprint(const std::string& text) {
    std::string_view digest = text;
    constexpr std::string_view kPrefix = "sha256:";
    if (digest.size() >= kPrefix.size() &&
        std::equal(kPrefix.begin(), kPrefix.end(), digest.begin(), [](char a, char b) {
            return a == static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
        })) {
        digest.remove_prefix(kPrefix.size());
    }
    if (digest.size() == 44 && digest.back() == '=') digest.remove_suffix(1);
    return digest.size() == 43 && std::all_of(digest.begin(), digest.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
           });
}

std::uint16_t DefaultPort(Protocol protocol) {
    switch (protocol) {
        case Protocol::Ftps:
            return 990;
        case Protocol::Sftp:
            return 22;
        case Protocol::Ftp:
        case Protocol::Ftpes:
            break;
    }
    return 21;
}

bool IsWindowsOnlyPath(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    const bool drive =
        path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
    return drive || path.rfind("\\\\", 0) == 0;
#endif
}

void TransferJob::SetRemotePath(const std::string& text) {
    remotePathAsEntered = text;
    remotePath = text;
    std::replace(remotePath.begin(), remotePath.end(), '\\', '/');
    if (remotePath.size() > 1 && remotePath.back() == '/') remotePath.pop_back();
}

void TransferJob::SetLocalPath(const std::string& text) {
    // Kept as written, so that saving gives the file back unchanged; the run refuses it.
    if (IsWindowsOnlyPath(text)) {
        localPathAsEntered = text;
        localPath = text;
        return;
    }
    std::error_code ec;
    std::filesystem::path full =
        text.empty() ? std::filesystem::current_path(ec) : std::filesystem::absolute(text, ec);
    std::string resolved = ec ? text : full.lexically_normal().string();
    localPathAsEntered = resolved;
    localPath = resolved;
    // The root keeps its separator: an empty path would name no folder at all here.
    if (localPath.size() > 1 && IsSeparator(localPath.back())) localPath.pop_back();
}

void TransferJob::SetProxy(const std::string& text) {
    proxy = text;
    accessType = text.empty() ? 0 : 3;
}

void TransferJob::AddChmodRule(const std::string& extension, const std::string& permissionText) {
    chmodRules.push_back({extension, LeadingNumber(permissionText)});
}

void TransferJob::AddSelectRule(const std::string& extension) { selectRules.push_back({extension}); }

void TransferJob::AddConnScript(const std::string& text) {
    connScript.push_back(MakeScript("Conn", text, nextConnScriptId));
}

void TransferJob::AddTranScript(const std::string& text) {
    tranScript.push_back(MakeScript("Tran", text, nextTranScriptId));
}

void TransferJob::AddDiscScript(const std::string& text) {
    discScript.push_back(MakeScript("Disc", text, nextDiscScriptId));
}

void TransferJob::SetMessageCallback(MessageCallback callback) {
    messageCallback = std::move(callback);
    callbackMode = 2;
}

void TransferJob::SetProgressCallback(ProgressCallback callback) { progressCallback = std::move(callback); }

void TransferJob::ReportMessage(const std::string& text, int newLine) {
    // Messages carry the server's names and replies: never its control characters.
    if (callbackMode == 2 && messageCallback) messageCallback(ShownText(text), newLine, progress);
}

void TransferJob::ReportVerbose(const std::string& text, int newLine) {
    if (verbose) ReportMessage(text, newLine);
}

void TransferJob::ReportProgress() {
    if (progressCallback) progressCallback(progress);
}

void TransferJob::ResetProgress() {
    sendTotalBytes = 0;
    getTotalBytes = 0;
    progress = TransferProgress{};
}

}  // namespace bxfr::job
