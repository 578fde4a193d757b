#pragma once

#include <chrono>
#include <memory>

// A wake-up that one thread gives another, safe to give from the real-time audio thread:
// giving it takes no lock, allocates nothing and makes at most one system call, which
// does not block. Linux: an unnamed POSIX semaphore, whose sem_post is async-signal-safe
// (glibc: an atomic increment, and a futex wake only when a waiter sleeps). Windows: a
// semaphore object, ReleaseSemaphore. Wake-ups given while nobody waits are kept, so a
// wait may return at once for one given earlier.
class WakeUp {
public:
    using Clock = std::chrono::steady_clock;

    WakeUp();
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    void give();
    // True when woken, false once the deadline has passed.
    bool waitUntil(Clock::time_point deadline);

private:
    struct Handle;
    std::unique_ptr<Handle> handle;
};
