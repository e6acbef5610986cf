#pragma once

// Whether a file moves as ASCII or binary; the moving itself is TransferRun's (run_context.h).

#include <filesystem>
#include <string>

#include "job/transfer_job.h"

namespace bxfr::engine {

// Under the automatic type a local file is ASCII unless a byte has its top bit set;
// a file that cannot be read counts as ASCII.
int LocalTransferType(const job::TransferJob& job, const std::filesystem::path& localPath);

// Under the automatic type a remote name is ASCII when it ends in one of the listed
// extensions, compared case-sensitively.
int RemoteTransferType(const job::TransferJob& job, const std::string& remoteName);

// "ASCII" or "BINARY".
std::string TransferTypeName(int type);

}  // namespace bxfr::engine
