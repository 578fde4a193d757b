#pragma once

#include <filesystem>
#include <string>

// Replaces a small file's contents so that a crash or a full disk leaves either the old or
// the new contents, never a truncated file: the text goes to a fresh file next to the old
// one (a unique name, the old file's mode and owner), is synced and renamed over it. A
// symbolic link is kept and the file it points at is replaced; but a link another user
// could have planted (theirs, or anyone's but ours or the folder owner's in a sticky
// folder such as /tmp) is not followed, and nothing is written.
//
// Renaming is not always right, and then the text is written into the file itself:
//   - the path is a character device such as /dev/null;
//   - no new file can be made next to it (a directory we may not write to);
//   - the new file could not get the old one's owner;
//   - the rename fails (a file bind-mounted on its own, another file system).
// A file that exists but that we may not write to is left alone, as a plain write would;
// so is a regular file of another user, which we never write. A FIFO, a socket or a block
// device is not written at all: a reader of someone else's FIFO would get our settings. A path that does not
// exist yet is created readable and writable by our user only; the fresh file next to
// an old one is made the same way and then given the old one's mode.
enum class ReplaceResult {
    Done,
    // The file exists but is not writable by this process (read-only file or file
    // system), or it belongs to another user.
    NotWritable,
    // Nothing was written (no space, a path that cannot be a file or a link refused); the
    // old contents stand.
    Failed,
};

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text);
