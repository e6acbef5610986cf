#pragma once

// How many bytes a send or a get would move, walked before the transfer.

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/connection.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

// Bytes a send of the job's local folder would move (selection and archive rules applied);
// also left in the job's sendTotalBytes. The second form walks another folder and mask.
std::uint64_t LocalSizeWalk(job::TransferJob& job);
std::uint64_t LocalSizeWalk(job::TransferJob& job, const std::filesystem::path& folder,
                            const std::string& mask);

// Bytes a get of the remote folder would move ("" = the login folder), taken from the listings
// on one connection of its own; also left in the job's getTotalBytes. Raises InternetError when
// the login fails.
std::uint64_t RemoteSizeWalk(job::TransferJob& job, Connector& client, const std::string& folder);

// Length of one remote file over a connection of its own; 0 when anything fails.
std::uint64_t RemoteFileLength(const job::TransferJob& job, Connector& client, const std::string& remoteName);

}  // namespace bxfr::engine
