// How many bytes a send or a get would move: the local and the remote size walks.

#include "engine/size_walks.h"

#include "engine/get_walk.h"
#include "engine/run_context.h"
#include "engine/send_walk.h"
#include "engine/sizes.h"

namespace bxfr::engine {

std::uint64_t LocalSizeWalk(job::TransferJob& job) { return LocalSizeWalk(job, job.localPath, job.fileMask); }

std::uint64_t LocalSizeWalk(job::TransferJob& job, const std::filesystem::path& folder,
                            const std::string& mask) {
    job.sendTotalBytes = 0;
    WalkLocalFolder(
        folder, mask,
        [&job](const std::filesystem::path& path) {
            // The progress callback may ask to stop: a walk of a big tree that nobody wants
            // any more must not go on for minutes.
            job.ReportProgress();
            if (job.progress.cancelRequested != 0) {
                return 0;
            }
            if (IsLocalFileSelected(job, path)) {
                job.sendTotalBytes += LocalFileLength(path);
            }
            return 1;
        },
        1);
    return job.sendTotalBytes;
}

std::uint64_t RemoteSizeWalk(job::TransferJob& job, Connector& client, const std::string& folder) {
    job.getTotalBytes = 0;
    const auto connection = client.Connect(LoginParamsFor(job));
    WalkRemoteFolder(*connection, folder, [&job](const std::string& path, const RemoteEntry& entry) {
        job.ReportProgress();
        if (job.progress.cancelRequested != 0) {
            return 0;
        }
        if (IsRemoteFileSelected(job, path)) {
            job.getTotalBytes += entry.length;
        }
        return 1;
    });
    return job.getTotalBytes;
}

std::uint64_t RemoteFileLength(const job::TransferJob& job, Connector& client,
                               const std::string& remoteName) {
    try {
        const auto connection = client.Connect(LoginParamsFor(job));
        return RemoteFileLengthOn(*connection, remoteName);
    } catch (const InternetError&) {
        return 0;
    } catch (const FileError&) {
        return 0;
    }
}

}  // namespace bxfr::engine
