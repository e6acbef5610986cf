#pragma once

// The hidden names files are written under until they are whole.

#include <string>

#include "job/transfer_job.h"

namespace bxfr::engine {

// The hidden name a file is written under until it is whole, in the same folder: "." + name +
// ".bxfr-part", at most 255 bytes (a long name is cut on a character boundary and made unique
// by a hash of the whole), and never matched by the job's selection or permission rules.
std::string TemporaryName(const std::string& name, const job::TransferJob& job);

// The same for the last part of a "/"-separated path.
std::string TemporaryPath(const std::string& path, const job::TransferJob& job);

}  // namespace bxfr::engine
