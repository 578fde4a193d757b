#include "log_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdint>

#include "owned_file.h"
#include "quoted_text.h"

namespace {

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Emptied only once we know whose it is; a device has nothing to empty.
bool truncate(HANDLE file) {
    if (GetFileType(file) != FILE_TYPE_DISK)
        return true;
    LARGE_INTEGER start{};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// The C library's text stream over the handle: every line feed is written as CR LF.
std::FILE* textStream(FileHandle file) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file.get()), _O_WRONLY | _O_TEXT);
    if (fd < 0)
        return nullptr;
    file.release();
    std::FILE* stream = _fdopen(fd, "wt");
    if (!stream)
        _close(fd);
    return stream;
}

} // namespace

// Windows: a file made here takes the access list its folder hands down, as every file
// a program makes there; the user's own folders are not readable by other users.
LogFileOpening openLogFile(const std::filesystem::path& path) {
    LogFileOpening opening;
    // Shared for reading and writing as the C library's _SH_DENYNO shares it: the log may
    // be watched as it grows.
    OwnedOpening owned = openOwnedForWriting(path.wstring(), FILE_SHARE_READ | FILE_SHARE_WRITE, true);
    switch (owned.refusal) {
    case Refusal::AnotherUsersLink:
        opening.refusal = "日志文件路径是其他用户在共享文件夹中放置的链接, 不写日志: " + quoteText(utf8(path));
        return opening;
    case Refusal::AnotherUsersFile:
        opening.refusal = "日志文件属于其他用户, 不写日志: " + quoteText(utf8(path));
        return opening;
    case Refusal::None:
        break;
    }
    if (!owned.file || !truncate(owned.file.get()))
        return opening;
    opening.file = textStream(std::move(owned.file));
    return opening;
}
