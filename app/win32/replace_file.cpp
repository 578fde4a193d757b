#include "replace_file.h"

#include <windows.h>

#include <string>

#include "owned_file.h"

// The same rules as on POSIX, in Windows' terms: the read-only attribute (or an access
// list that denies writing) leaves the file alone; a device such as NUL is written in
// place; the new file gets a unique name next to the old one and the old one's
// attributes; when the new file cannot be made or MoveFileExW cannot replace the old one
// (another program holds it open without sharing deletion), the text is written into
// the file itself. Windows has no FIFOs in the file system and no owner to carry over:
// the new file takes the folder's inherited access list, as any file made there would.
// Another user's file, or a link another user made, is never written (owned_file.h).
namespace {

constexpr int temporaryNameTries = 100;

// Files are written as text files of this platform: every line feed becomes CR LF.
std::string withCrLf(const std::string& text) {
    std::string result;
    result.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            result.push_back('\r');
        result.push_back(c);
    }
    return result;
}

bool writeAll(HANDLE file, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

bool refusedToUs(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT; }

constexpr DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A file of our own making, under a name nothing may have yet: not even a link, which
// is not followed.
HANDLE createNew(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, sharing, nullptr, CREATE_NEW,
                       attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Into the file itself: it keeps its attributes, access list, links and kind. A file on
// disk is overwritten from the start and then cut to length, so no moment exists at
// which it is empty.
ReplaceResult writeInPlace(HANDLE file, const std::string& bytes) {
    const bool onDisk = GetFileType(file) == FILE_TYPE_DISK;
    bool ok = writeAll(file, bytes);
    if (onDisk)
        ok = ok && SetEndOfFile(file) && FlushFileBuffers(file);
    return ok ? ReplaceResult::Done : ReplaceResult::Failed;
}

enum class Renamed { Yes, WriteFailed, NotPossible };

// A name no other file next to the target has: the target's name, the process id and
// a counter, made with CREATE_NEW so that an existing file is never taken over.
HANDLE createTemporary(const std::wstring& target, DWORD attributes, std::wstring& name) {
    static unsigned counter = 0;
    for (int i = 0; i < temporaryNameTries; ++i) {
        name =
            target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L".tmp";
        const HANDLE file = createNew(name, attributes);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

Renamed replaceByRename(const std::wstring& target, const std::string& bytes, DWORD oldAttributes) {
    // Hidden, system, archive and the like, as the old file had them.
    const DWORD attributes = oldAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    std::wstring temporary;
    FileHandle file(createTemporary(target, attributes ? attributes : FILE_ATTRIBUTE_NORMAL, temporary));
    if (!file)
        return Renamed::NotPossible;
    bool ok = writeAll(file.get(), bytes) && FlushFileBuffers(file.get());
    ok = file.close() && ok;
    if (!ok) {
        // Most likely a full disk; the old file is untouched and stays so.
        DeleteFileW(temporary.c_str());
        return Renamed::WriteFailed;
    }
    // Unlike rename(), MoveFileExW replaces an existing file; write-through returns only
    // once the move is on disk.
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return Renamed::NotPossible;
    }
    return Renamed::Yes;
}

// Nothing to protect yet: the file is made directly. A crash in the middle leaves a file
// that does not load, which is no worse than none.
ReplaceResult createFile(const std::wstring& target, const std::string& bytes, bool& existed) {
    FileHandle file(createNew(target));
    if (!file) {
        existed = GetLastError() == ERROR_FILE_EXISTS;
        return ReplaceResult::Failed;
    }
    bool ok = writeAll(file.get(), bytes) && FlushFileBuffers(file.get());
    ok = file.close() && ok;
    if (!ok) {
        DeleteFileW(target.c_str());
        return ReplaceResult::Failed;
    }
    return ReplaceResult::Done;
}

// The file the name leads to, for the rename: past a link of ours, the file it points at,
// so that the link stays and that file is replaced.
std::wstring finalPath(HANDLE file) {
    const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0)
        return {};
    std::wstring path(size, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file, path.data(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= size)
        return {};
    path.resize(length);
    return path;
}

ReplaceResult notOpened(const OwnedOpening& opening) {
    if (opening.refusal != Refusal::None)
        return ReplaceResult::NotWritable;
    return refusedToUs(opening.error) ? ReplaceResult::NotWritable : ReplaceResult::Failed;
}

// Into the file itself after all, opened again and judged again: another user's file
// may have taken the name since.
ReplaceResult writeInPlaceAt(const std::wstring& target, const std::string& bytes) {
    OwnedOpening opening = openOwnedForWriting(target, sharing, false);
    if (!opening.file)
        return notOpened(opening);
    ReplaceResult written = writeInPlace(opening.file.get(), bytes);
    if (!opening.file.close())
        written = ReplaceResult::Failed;
    return written;
}

} // namespace

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text) {
    const std::wstring named = path.wstring();
    const std::string bytes = withCrLf(text);

    // May we write it at all? Opening it for writing, without truncating, asks the file
    // system the way a plain write would; it also tells a device from a file, and whose
    // the file (and a link in the way) is.
    OwnedOpening opened = openOwnedForWriting(named, sharing, false);
    if (!opened.file) {
        if (opened.refusal != Refusal::None || opened.error != ERROR_FILE_NOT_FOUND)
            return notOpened(opened);
        bool existed = false;
        const ReplaceResult created = createFile(named, bytes, existed);
        // Someone made it in the meantime: replace theirs like any other.
        if (!existed)
            return created;
        opened = openOwnedForWriting(named, sharing, false);
        if (!opened.file)
            return notOpened(opened);
    }
    FileHandle probe(std::move(opened.file));
    if (GetFileType(probe.get()) != FILE_TYPE_DISK)
        return writeInPlace(probe.get(), bytes);
    BY_HANDLE_FILE_INFORMATION old{};
    if (!GetFileInformationByHandle(probe.get(), &old))
        return ReplaceResult::Failed;
    // Asked of the attribute itself: an administrator may open such a file for writing.
    if (old.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        return ReplaceResult::NotWritable;
    const std::wstring target = opened.followedLink ? finalPath(probe.get()) : named;
    if (target.empty())
        return writeInPlace(probe.get(), bytes);
    // MoveFileExW cannot replace a file that is open, not even by us.
    probe.close();

    switch (replaceByRename(target, bytes, old.dwFileAttributes)) {
    case Renamed::Yes:
        return ReplaceResult::Done;
    case Renamed::WriteFailed:
        return ReplaceResult::Failed;
    case Renamed::NotPossible:
        break;
    }
    return writeInPlaceAt(target, bytes);
}
