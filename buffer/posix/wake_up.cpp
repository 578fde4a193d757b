#include "wake_up.h"

#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

struct WakeUp::Handle {
    sem_t semaphore;
};

WakeUp::WakeUp() : handle(std::make_unique<Handle>()) {
    if (sem_init(&handle->semaphore, 0, 0) != 0)
        throw std::system_error(errno, std::generic_category(), "sem_init");
}

WakeUp::~WakeUp() { sem_destroy(&handle->semaphore); }

void WakeUp::give() {
    // Fails only when the count would overflow: the waiter is woken either way.
    sem_post(&handle->semaphore);
}

bool WakeUp::waitUntil(Clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC; sem_clockwait takes the deadline on that clock,
    // so a change of the wall clock neither shortens nor stretches the wait.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    for (;;) {
        if (sem_clockwait(&handle->semaphore, CLOCK_MONOTONIC, &until) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}
