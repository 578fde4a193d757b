#include "replace_file.h"

#include <windows.h>

namespace {

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

} // namespace

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::path target = path;
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec)
            target = resolved;
    }
    const std::wstring temporary = target.wstring() + L".tmp";
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ? ReplaceResult::DirectoryUnusable
                                                                             : ReplaceResult::Failed;
    }
    bool ok = writeAll(file, withCrLf(text)) && FlushFileBuffers(file);
    if (!CloseHandle(file))
        ok = false;
    // Unlike rename(), MoveFileExW replaces an existing file; write-through returns only
    // once the move is on disk.
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ok = false;
    if (!ok) {
        DeleteFileW(temporary.c_str());
        return ReplaceResult::Failed;
    }
    return ReplaceResult::Done;
}
