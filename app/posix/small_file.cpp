#include "small_file.h"

#include <cerrno>

#include "own_path.h"

namespace {

using Outcome = SmallFileReading::Outcome;

Outcome outcomeOf(const OpenedPath& opened) {
    switch (opened.refusal) {
    case PathRefusal::linkInSharedFolder:
    case PathRefusal::foreignLink:
        return Outcome::foreignLink;
    case PathRefusal::notAFile:
        return Outcome::notAFile;
    case PathRefusal::foreignFile:
        return Outcome::foreignFile;
    case PathRefusal::none:
        break;
    }
    return opened.error == ENOENT ? Outcome::missing : Outcome::unreadable;
}

// One byte beyond the limit tells a file of exactly `limit` bytes from a longer one; a
// device that never ends (/dev/zero) ends here too.
Outcome readAtMost(int fd, std::size_t limit, std::string& text) {
    text.resize(limit + 1);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Outcome::unreadable;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    if (done > limit)
        return Outcome::tooLarge;
    text.resize(done);
    return Outcome::read;
}

} // namespace

SmallFileReading readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    SmallFileReading reading;
    const OpenedPath opened = openOwnPath(path, FileUse::read, false);
    if (!opened.file) {
        reading.outcome = outcomeOf(opened);
        return reading;
    }
    reading.outcome = readAtMost(opened.file.get(), limit, reading.text);
    if (reading.outcome != Outcome::read)
        reading.text.clear();
    return reading;
}
