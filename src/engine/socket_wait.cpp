#include "engine/socket_wait.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace bxfr::engine {

int WaitOnSocket(std::intptr_t socket, int events, int milliseconds) {
    const short wanted = static_cast<short>(((events & kReadable) != 0 ? POLLIN : 0) |
                                            ((events & kWritable) != 0 ? POLLOUT : 0));
#ifdef _WIN32
    WSAPOLLFD entry{static_cast<SOCKET>(socket), wanted, 0};
    return WSAPoll(&entry, 1, milliseconds);
#else
    pollfd entry{static_cast<int>(socket), wanted, 0};
    return ::poll(&entry, 1, milliseconds);
#endif
}

}  // namespace bxfr::engine
