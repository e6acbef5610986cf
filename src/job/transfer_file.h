#pragma once

// Transfer files: loading a job from one and saving it back.

#include <string>

#include "job/password_crypto.h"
#include "job/transfer_job.h"

namespace bxfr::job {

inline constexpr int kTransferFileLoaded = 0;
inline constexpr int kTransferFileInvalid = 2;
inline constexpr int kTransferFileWriteFailed = 6;

// Reads a transfer file into the job (which the caller has just reset). 0 = loaded,
// 2 = not a valid transfer file; the job keeps whatever was read either way. The user name and
// the password keep the bytes the file holds. `problem`, when given, receives a sentence for
// a file that is refused for a value it holds (an unknown PROTOCOL).
int LoadTransferFile(const std::string& path, TransferJob& job,
                     const PasswordCrypto& crypto = DefaultPasswordCrypto(), std::string* problem = nullptr);

// Writes the job into the file, updating an existing file in place. 0 = written,
// 6 = failed, in which case the old file is left exactly as it was. A password that cannot be
// encrypted is not stored (see PasswordLeftOut).
int SaveTransferFile(const std::string& path, const TransferJob& job,
                     const PasswordCrypto& crypto = DefaultPasswordCrypto());

// True when saving the job would leave its password out for want of a usable cipher, so the
// caller can tell the user why.
bool PasswordLeftOut(const TransferJob& job, const PasswordCrypto& crypto = DefaultPasswordCrypto());

}  // namespace bxfr::job
