#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "descriptor.h"

// Opens the files we keep at paths our parent names (the settings, the log), where any
// other local user may have planted a link, a FIFO or a device before us, or may swap one
// in while we look. The path is walked one name at a time, each name opened relative to
// the folder before it and without following it; a symbolic link met on the way is read
// from that same open link and followed only when the rules below allow it, so nothing is
// checked by one path lookup and then used by another. The rules are those the kernel
// applies with fs.protected_symlinks, protected_fifos and protected_regular, which many
// containers leave off, and a little stricter.

enum class FileUse { read, write };

enum class PathRefusal {
    none,
    linkInSharedFolder, // a link in a sticky world-writable folder, neither ours nor the folder owner's
    foreignLink,        // a link of another user (not us, not root) anywhere else
    notAFile,           // a FIFO, socket, block device or directory
    foreignFile,        // a file of another user that this use may not take
};

// A sticky folder everyone may write to, such as /tmp: anyone may put a name there.
bool isSharedFolder(const struct stat& folder);
// Whether a symbolic link found in that folder is followed, for a process of user `us`.
bool mayFollowLink(const struct stat& link, const struct stat& folder, uid_t us);
// Whether an existing file (not a link) in that folder may be opened for the use. Regular
// files and the character devices people name on purpose (/dev/null) are files; a regular
// file is written only when it is ours, and read in a shared folder only when it is ours
// or the folder owner's; a device only when it is ours or root's.
PathRefusal judgeFile(const struct stat& file, const struct stat& folder, FileUse use, uid_t us);

struct OpenedPath {
    Descriptor folder;     // the folder the file is in, reached through permitted links (O_PATH)
    std::string name;      // the file's name in that folder
    Descriptor file;       // open for the use, blocking; empty when refused or failed
    struct stat status {}; // the file's, when it exists
    bool created = false;  // made by this call: readable and writable by us (within the umask)
    PathRefusal refusal = PathRefusal::none;
    int error = 0; // errno when neither opened nor refused (a missing folder, no permission)
};

// Opens the path for reading or writing. With `create`, a missing file is made (mode 0600
// before the umask), never one that is already there. `us` is the user the rules protect;
// the process's own effective user in real use.
OpenedPath openOwnPath(const std::filesystem::path& path, FileUse use, bool create, uid_t us = ::geteuid());
