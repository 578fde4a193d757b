#pragma once

#include <filesystem>
#include <string>

// Replaces a file's contents by writing a fresh file next to it and renaming that over
// it, so a crash or a full disk leaves either the old or the new contents, never a
// truncated file. A symbolic link is kept and the file it points at is replaced.
// The text is stored as a text file of the platform (CR LF line ends on Windows).
enum class ReplaceResult {
    Done,
    Failed,
    // No new file can be made next to the old one (no permission, read-only directory).
    DirectoryUnusable,
};

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text);
