#pragma once

#include <string>

#include "job/transfer_job.h"

namespace bxfr::job {

inline constexpr int kTransferFileLoaded = 0;
inline constexpr int kTransferFileInvalid = 2;
inline constexpr int kTransferFileWriteFailed = 6;

// Reads a transfer file into the job (which the caller has just reset). 0 = loaded,
// 2 = not a valid transfer file; the job keeps whatever was read either way. The user name and
// the password keep the bytes the file holds.
int LoadTransferFile(const std::string& path, TransferJob& job);

// Writes the job into the file, updating an existing file in place. 0 = written,
// 6 = failed, in which case the old file is left exactly as it was.
int SaveTransferFile(const std::string& path, const TransferJob& job);

}  // namespace bxfr::job
