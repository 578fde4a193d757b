#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// The panel reads its font and ImGui's layout from the working directory, which may be a
// folder other users can write to. Such a file is used only when no other user can have
// planted or changed it: a regular file owned by us or by root that neither the group nor
// others may write. (On Windows ownership means something else; there any regular file is
// used, as it always was.)

// Whether a symbolic link at the path is followed to a file that passes the same checks,
// or refused. A file we also write is never reached through a link another user could
// have made.
enum class Links { follow, refuse };

// A file opened for reading once it passed the checks above. The checks and the reading
// go through the same open file, so it cannot be swapped in between.
class OwnFile {
public:
    enum class State {
        missing, // nothing at the path: nothing to say
        refused, // there, but not ours to trust, or unreadable: problem() says why
        opened,  // ready to read: size() bytes
    };

    OwnFile(const char* path, Links links);
    ~OwnFile();
    OwnFile(const OwnFile&) = delete;
    OwnFile& operator=(const OwnFile&) = delete;

    State state() const { return current; }
    const std::string& problem() const { return why; }
    std::size_t size() const { return bytes; }

    // Reads the whole file into `into`, which holds size() bytes. False (and the file
    // refused, as "无法读取") when it could not be read in full.
    bool read(unsigned char* into);

private:
    struct Handle;
    std::unique_ptr<Handle> handle;
    State current = State::missing;
    std::string why;
    std::size_t bytes = 0;
};

// Replaces the file's contents with `text`. A new file is created readable and writable by
// us alone, whatever the umask; an existing one is written only when it passes the checks
// above (links refused), and keeps its mode. Returns why nothing was written, or an empty
// string.
std::string writeOwnFile(const char* path, std::string_view text);
