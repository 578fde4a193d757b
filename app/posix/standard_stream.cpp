#include "standard_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

bool writeStandardStream(StandardStream stream, std::string_view bytes) {
    const int fd = stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone made the descriptor non-blocking; wait like a blocking write would.
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        // EPIPE (SIGPIPE is ignored), EBADF and the like: nobody will read this.
        return false;
    }
    return true;
}
