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

// The line a file's move starts with: "Sending NAME in BINARY mode ..." and the like; SFTP
// moves every file as it is, so its line names no mode.
std::string MovingMessage(const job::TransferJob& job, bool send, const std::string& name, int type);

// "ASCII" or "BINARY".
std::string TransferTypeName(int type);

}  // namespace bxfr::engine
