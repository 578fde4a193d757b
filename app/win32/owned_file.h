#pragma once

#include <windows.h>

#include <string>

// Opening a file for writing at a path where another user may have put something first:
// a shared folder, or any folder they may write to. The rules of the POSIX build, in
// Windows' terms: we never write into a file on disk whose owner is someone else, and we
// never follow a link (any reparse point: a symbolic link, a junction) that someone else
// made.
//
// "Ours" is an owner that is our token's user or our token's default owner for new
// objects. The second one matters when we run elevated: an administrator's elevated
// token gives everything it makes to the Administrators group, and our own log from
// the last run must stay ours. It is also why a file that an elevated administrator
// made is refused by a process that is not elevated, as root's file is on POSIX: it
// belongs to a more powerful principal than we are. A file whose owner cannot be read
// is not ours, except on a volume that keeps no owners at all (FAT), where no file
// belongs to anybody else either.

class FileHandle {
public:
    explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle(handle) {}
    ~FileHandle() { close(); }
    FileHandle(FileHandle&& other) noexcept : handle(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle = other.release();
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    explicit operator bool() const { return handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }
    HANDLE release() {
        const HANDLE released = handle;
        handle = INVALID_HANDLE_VALUE;
        return released;
    }
    // The result counts: a network share may report a failed write only here.
    bool close() {
        const HANDLE closing = release();
        return closing == INVALID_HANDLE_VALUE || CloseHandle(closing);
    }

private:
    HANDLE handle;
};

enum class Refusal { None, AnotherUsersLink, AnotherUsersFile };

struct OwnedOpening {
    FileHandle file;                 // GENERIC_WRITE, not inheritable, not truncated
    Refusal refusal = Refusal::None; // why nothing was opened, when it was our rule
    DWORD error = ERROR_SUCCESS;     // why nothing was opened otherwise
    bool created = false;            // the file did not exist; we made it
    bool followedLink = false;       // the path ended in a link of ours
};

// Opens the file at the path for writing, like CreateFileW with the given sharing, and
// with OPEN_ALWAYS when `create` is set (else OPEN_EXISTING). Decided on handles, never
// on a name looked up twice: the link at the end of the path is opened itself first and
// stays open, so that nobody can remove or rename it, until its target is open; an
// existing file is reopened for writing from the handle whose owner was read. Devices
// (NUL, CON) have no owner and are opened as they are.
OwnedOpening openOwnedForWriting(const std::wstring& path, DWORD share, bool create);

// Whether the file or link behind the handle (opened with READ_CONTROL) is ours.
bool ownedByUs(HANDLE file);
