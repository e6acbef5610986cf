#pragma once

// Whether a failed file is worth another attempt.

#include <cstdint>

namespace bxfr::engine {

enum class FailureKind {
    Transient,  // the link or the server's moment: worth another attempt
    Permanent,  // the server or the file system said no: another attempt gets the same answer
};

// The one place that decides whether a failed file is tried again: `code` is the 12xxx
// internet code (or an OS error number below 12000), `replyCode` the server's last reply.
FailureKind KindOfFailure(std::uint32_t code, int replyCode);

}  // namespace bxfr::engine
