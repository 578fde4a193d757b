#pragma once

#include <unistd.h>

#include <utility>

// One open file descriptor, closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd = other.release();
        }
        return *this;
    }

    explicit operator bool() const { return fd >= 0; }
    int get() const { return fd; }
    // Hands the descriptor over (to fdopen, say); this object no longer closes it.
    int release() { return std::exchange(fd, -1); }
    // The result of close() counts: some file systems report a failed write only here.
    bool close() {
        const int closing = std::exchange(fd, -1);
        return closing < 0 || ::close(closing) == 0;
    }

private:
    int fd = -1;
};
