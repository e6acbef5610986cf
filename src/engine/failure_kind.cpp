// Whether a failed file is worth another attempt, by its error code and the server's last reply.

#include "engine/failure_kind.h"

namespace bxfr::engine {

FailureKind KindOfFailure(std::uint32_t code, int replyCode) {
    switch (code) {
        case 12002:  // timeout
        case 12029:  // cannot connect (also a data connection)
        case 12030:  // connection aborted, or a file that arrived short
        case 12031:  // connection reset
            return FailureKind::Transient;
        case 12157:  // TLS cannot be set up: the server offers none, or not one we accept
        case 12169:  // an untrusted certificate stays so until the user trusts it
            return FailureKind::Permanent;
        case 12003:
            // 421 closing, 425 no data connection, 426 transfer aborted, 450/451 local trouble.
            switch (replyCode) {
                case 421:
                case 425:
                case 426:
                case 450:
                case 451:
                    return FailureKind::Transient;
                default:
                    return FailureKind::Permanent;
            }
        default:
            return FailureKind::Permanent;
    }
}

}  // namespace bxfr::engine
