#include "log_file.h"

#include <cstdio>

#include <share.h>

// Windows: a file made here takes the access list its folder hands down, as every file
// a program makes there; the user's own folders are not readable by other users.
LogFileOpening openLogFile(const std::filesystem::path& path) {
    LogFileOpening opening;
    // Shared for reading, like the stream it replaces: the log may be watched as it grows.
    opening.file = _wfsopen(path.c_str(), L"w", _SH_DENYNO);
    return opening;
}
