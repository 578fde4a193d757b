#pragma once

#include <filesystem>
#include <string>

// Replaces a small file's contents so that a crash or a full disk leaves either the old or
// the new contents, never a truncated file: the text goes to a fresh file next to the old
// one (a unique name, the old file's mode and owner), is synced and renamed over it. A
// symbolic link is kept and the file it points at is replaced.
//
// Renaming is not always right, and then the text is written into the file itself:
//   - the path is not a regular file (a character device such as /dev/null, a FIFO);
//   - no new file can be made next to it (a directory we may not write to);
//   - the new file could not get the old one's owner;
//   - the rename fails (a file bind-mounted on its own, another file system).
// A file that exists but that we may not write to is left alone, as a plain write would;
// so is a regular file of another user, which we never write. A path that does not
// exist yet is created readable and writable by our user only; the fresh file next to
// an old one is made the same way and then given the old one's mode.
enum class ReplaceResult {
    Done,
    // The file exists but is not writable by this process (read-only file or file
    // system), or it belongs to another user.
    NotWritable,
    // Nothing was written (no space, a path that cannot be a file); the old contents stand.
    Failed,
};

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text);
