// The run from start to end: upgrade check, login, start folder, scripts, then the send or get.

#include "engine/transfer_run.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "engine/error_texts.h"
#include "engine/run_context.h"

namespace bxfr::engine {

namespace fs = std::filesystem;

LoginParams LoginParamsFor(const job::TransferJob& job) {
    LoginParams params;
    params.server = job.server;
    params.port = job.port;
    params.protocol = job.protocol;
    params.fingerprint = job.fingerprint;
    params.userName = job.userName;
    params.password = job.password;
    params.keyFile = job.keyFile;
    params.passive = job.passive != 0;
    if (job.stopSignal) {
        params.stopRequested = [signal = job.stopSignal] { return signal->load(); };
    }
    if (job.accessType == 3) {
        params.proxy = job.proxy;
    }
    return params;
}

int TransferRun::Run() {
    job_.progress.totalBytes = 0;
    job_.progress.doneBytes = 0;
    job_.progress.cancelRequested = 0;
    int result = 0;
    if (job_.checkUpgrade != 0 && web_ != nullptr && !job_.dryRun) {
        CheckForUpgrade();
    }
    if (job_.server.empty()) {
        return result;
    }
    if (job_.getMode == 0) {
        CheckLocalSource();
    }
    if (job_.speedLimit > 0) {
        pacer_ = std::make_shared<Pacer>(static_cast<std::uint64_t>(job_.speedLimit) * 1024);
    }
    job_.ReportMessage(FormatResourceMessage(IDS_CONNECTING, {job_.server}));
    connection_ = connector_.Connect(LoginParamsFor(job_));
    const ServerReply login = connector_.LastReply();
    if (!login.text.empty()) {
        job_.ReportVerbose(login.text);
    }
    if (const std::string security = connection_->Security(); !security.empty()) {
        job_.ReportVerbose(security);
    }
    if (job_.protocol == job::Protocol::Sftp && job_.transferType != 1) {
        job_.ReportVerbose(
            "SFTP moves every file as it is: ASCII transfers do not exist in SFTP, so no line ends "
            "are converted.");
    }

    if (job_.singleFile != 0) {
        const std::size_t slash = job_.remotePath.rfind('/');
        if (slash != std::string::npos) {
            job_.remotePath.erase(slash);
        }
    } else if (!job_.remotePath.empty() && !connection_->SetCurrentDirectory(job_.remotePath)) {
        if (job_.getMode != 0) {
            MissingRemoteSource("folder", job_.remotePath);
        }
        if (job_.dryRun) {
            remoteBaseMissing_ = true;
            SendFiles();
            connection_.reset();
            return result;
        }
        // Working in the login folder instead could fetch or overwrite the wrong tree.
        bool entered = false;
        if (connection_->CreateDirectory(job_.remotePath)) {
            entered = connection_->SetCurrentDirectory(job_.remotePath);
            if (!entered) {
                job_.ReportMessage(FormatResourceMessage(IDS_INIT_SET_FOLDER, {job_.remotePath}));
            }
        } else {
            job_.ReportMessage(FormatResourceMessage(IDS_INIT_CREATE, {job_.remotePath}));
        }
        if (!entered) {
            ReportError(job_, connection_->LastError() != 0 ? connection_->LastError() : 12003,
                        connection_->LastReply());
            connection_.reset();
            return result;
        }
    }

    // A dry run lists the scripts in its plan instead of running them.
    if (job_.dryRun) {
        result = job_.getMode != 0 ? GetFiles() : SendFiles();
        connection_.reset();
        return result;
    }
    if (RunConnScript() == 1 || job_.ignoreErrors == 1) {
        result = job_.getMode != 0 ? GetFiles() : SendFiles();
    }
    RunDiscScript();
    connection_.reset();
    return result;
}

// A source that is not there would otherwise end as a run that moved nothing and succeeded;
// it fails before anything is created on the other side.
void TransferRun::CheckLocalSource() {
    const bool single = job_.singleFile != 0;
    const fs::path source(single ? job_.localPathAsEntered : job_.localPath);
    std::error_code error;
    if (!single) {
        fs::directory_iterator probe(source, error);
    } else if (!fs::is_regular_file(source, error) && !error) {
        error = std::make_error_code(fs::exists(source, error) ? std::errc::is_a_directory
                                                               : std::errc::no_such_file_or_directory);
    }
    if (!error) {
        return;
    }
    job_.ReportMessage("Nothing was sent: the local " + std::string(single ? "file " : "folder ") +
                       source.string() + " cannot be read (" + error.message() + ").");
    throw FileError(static_cast<std::uint32_t>(error.value()), source.string());
}

void TransferRun::MissingRemoteSource(const std::string& what, const std::string& path) {
    std::uint32_t code = kExtendedError;
    // A refused CWD has the server's words; a file its folder's listing lacks has none.
    if (connection_->LastError() != 0) {
        code = connection_->LastError();
        ReportError(job_, code, connection_->LastReply());
    }
    const std::string text = "Nothing was received: the remote " + what + " " + path + " cannot be found.";
    job_.ReportMessage(text);
    connection_.reset();
    throw InternetError(code, text);
}

int RunTransfer(job::TransferJob& job, Connector& connector, WebRequest& web) {
    TransferRun run(job, connector, &web);
    return run.Run();
}

}  // namespace bxfr::engine
