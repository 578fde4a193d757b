#include "standard_stream.h"

#include <io.h>

#include <cerrno>
#include <climits>

// The C runtime's low-level write on descriptors 1 and 2: in their default text mode it
// turns each line feed into carriage return and line feed, as parents on Windows
// expect. It locks only the descriptor, which only our writer thread uses.
bool writeStandardStream(StandardStream stream, std::string_view bytes) {
    const int fd = stream == StandardStream::Output ? 1 : 2;
    while (!bytes.empty()) {
        const unsigned int count =
            bytes.size() > INT_MAX / 2 ? INT_MAX / 2 : static_cast<unsigned int>(bytes.size());
        const int written = _write(fd, bytes.data(), count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false; // the pipe is broken or the descriptor is not open
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}
