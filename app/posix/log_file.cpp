#include "log_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "own_path.h"
#include "quoted_text.h"

namespace {

std::string refusalText(PathRefusal refusal, const std::filesystem::path& path) {
    const std::string quoted = quoteText(path.string());
    switch (refusal) {
    case PathRefusal::linkInSharedFolder:
        return "日志文件路径是其他用户在共享文件夹中放置的链接, 不写日志: " + quoted;
    case PathRefusal::foreignLink:
        return "日志文件路径经过其他用户的链接, 不写日志: " + quoted;
    case PathRefusal::notAFile:
        return "日志文件路径不是普通文件, 不写日志: " + quoted;
    case PathRefusal::foreignFile:
        return "日志文件属于其他用户, 不写日志: " + quoted;
    case PathRefusal::none:
        break;
    }
    return {};
}

} // namespace

LogFileOpening openLogFile(const std::filesystem::path& path) {
    LogFileOpening opening;
    OpenedPath opened = openOwnPath(path, FileUse::write, true);
    if (!opened.file) {
        opening.refusal = refusalText(opened.refusal, path);
        return opening;
    }
    // Whatever the umask: it could leave the file to the group or take our own write.
    // Only a file we made gets its mode from us.
    if (opened.created)
        ::fchmod(opened.file.get(), 0600);
    // Emptied only now that we know whose it is.
    if (S_ISREG(opened.status.st_mode))
        ::ftruncate(opened.file.get(), 0);
    opening.file = ::fdopen(opened.file.get(), "w");
    if (opening.file)
        opened.file.release();
    return opening;
}
