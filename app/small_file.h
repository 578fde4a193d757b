#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Reads a small file a user names for us to keep, such as the settings, at most `limit`
// bytes of it; one implementation per platform (posix/, win32/). Such a path may lead
// into a folder other users can write to: where the platform lets other users plant a
// link, a FIFO or a device there, such a thing is refused rather than followed, waited on
// or read without end (see posix/own_path.h).
struct SmallFileReading {
    enum class Outcome {
        read,        // `text` holds the whole file (text mode)
        missing,     // nothing at the path
        unreadable,  // there, but it could not be opened or read
        foreignLink, // reached through a link another user could have planted
        notAFile,    // a FIFO, socket, block device or directory
        foreignFile, // another user's file in a folder anyone may write to
        tooLarge,    // more than `limit` bytes
    };
    Outcome outcome = Outcome::unreadable;
    std::string text;
};

SmallFileReading readSmallFile(const std::filesystem::path& path, std::size_t limit);
