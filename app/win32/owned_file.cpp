#include "owned_file.h"

#include <aclapi.h>

#include <vector>

namespace {

// Enough to read a file's attributes and owner, and nothing that could change it.
constexpr DWORD inspecting = READ_CONTROL | FILE_READ_ATTRIBUTES;

class TokenHandle {
public:
    TokenHandle() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle))
            handle = nullptr;
    }
    ~TokenHandle() {
        if (handle)
            CloseHandle(handle);
    }
    TokenHandle(const TokenHandle&) = delete;
    TokenHandle& operator=(const TokenHandle&) = delete;
    HANDLE get() const { return handle; }

private:
    HANDLE handle = nullptr;
};

class LocalMemory {
public:
    explicit LocalMemory(void* memory) : memory(memory) {}
    ~LocalMemory() {
        if (memory)
            LocalFree(memory);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;

private:
    void* memory;
};

// TOKEN_USER or TOKEN_OWNER of our process token; empty when it cannot be read.
std::vector<unsigned char> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    TokenHandle token;
    if (!token.get())
        return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), kind, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), kind, buffer.data(), size, &size))
        buffer.clear();
    return buffer;
}

bool isOurs(PSID owner) {
    const std::vector<unsigned char> user = tokenInformation(TokenUser);
    if (!user.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid))
        return true;
    const std::vector<unsigned char> defaultOwner = tokenInformation(TokenOwner);
    return !defaultOwner.empty() &&
           EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner);
}

bool volumeKeepsOwners(HANDLE file) {
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return true;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Past the link at the end of the path, which is ours and stays open (so in place)
// meanwhile. The file it leads to must be ours as well, unless we just made it.
OwnedOpening openThroughLink(const std::wstring& path, DWORD share, bool create) {
    OwnedOpening opening;
    opening.followedLink = true;
    FileHandle target(CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL, share, nullptr,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) {
        opening.error = GetLastError();
        return opening;
    }
    opening.created = create && GetLastError() != ERROR_ALREADY_EXISTS;
    if (!opening.created && GetFileType(target.get()) == FILE_TYPE_DISK && !ownedByUs(target.get())) {
        opening.refusal = Refusal::AnotherUsersFile;
        return opening;
    }
    opening.file = std::move(target);
    return opening;
}

OwnedOpening openExisting(const std::wstring& path, FileHandle itself, DWORD share, bool create) {
    OwnedOpening opening;
    if (GetFileType(itself.get()) != FILE_TYPE_DISK) {
        itself.close();
        opening.file =
            FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!opening.file)
            opening.error = GetLastError();
        return opening;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(itself.get(), &info)) {
        opening.error = GetLastError();
        return opening;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!ownedByUs(itself.get())) {
            opening.refusal = Refusal::AnotherUsersLink;
            return opening;
        }
        return openThroughLink(path, share, create);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        opening.error = ERROR_DIRECTORY;
        return opening;
    }
    if (!ownedByUs(itself.get())) {
        opening.refusal = Refusal::AnotherUsersFile;
        return opening;
    }
    // The very file whose owner was read, not whatever the name leads to by now.
    opening.file = FileHandle(ReOpenFile(itself.get(), GENERIC_WRITE, share, 0));
    if (!opening.file)
        opening.error = GetLastError();
    return opening;
}

} // namespace

bool ownedByUs(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
    const LocalMemory held(descriptor);
    if (result != ERROR_SUCCESS || !owner)
        return !volumeKeepsOwners(file);
    return isOurs(owner);
}

OwnedOpening openOwnedForWriting(const std::wstring& path, DWORD share, bool create) {
    // Made by someone else between our two attempts: judged like any file found there.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Whatever is at the end of the path, itself: a link is not followed, and a
        // folder (a junction is one) can be opened too. Not shared for deletion, so it
        // cannot be swapped for another while we decide.
        FileHandle itself(CreateFileW(path.c_str(), inspecting, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
        if (itself)
            return openExisting(path, std::move(itself), share, create);
        OwnedOpening opening;
        opening.error = GetLastError();
        if (opening.error != ERROR_FILE_NOT_FOUND || !create)
            return opening;
        // CREATE_NEW takes nothing over; with the flag, not even a link to a missing file.
        opening.file = FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (opening.file) {
            opening.error = ERROR_SUCCESS;
            opening.created = true;
            return opening;
        }
        opening.error = GetLastError();
        if (opening.error != ERROR_FILE_EXISTS)
            return opening;
    }
    OwnedOpening opening;
    opening.error = ERROR_FILE_EXISTS;
    return opening;
}
