#pragma once

#include <chrono>

// Paces the shown panel to the display's refresh period where the driver refuses to
// synchronise buffer swaps with vertical blanking (software renderers under a virtual
// display swap at once and would let the control loop spin).
class FramePacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit FramePacer(Clock::duration period) : period(period), next(Clock::now() + period) {}

    // Sleeps until the next period boundary. After a stall longer than a period the
    // schedule restarts from now instead of racing to catch up.
    void wait() {
        sleepUntil(next);
        next += period;
        const Clock::time_point now = Clock::now();
        if (next <= now)
            next = now + period;
    }

    Clock::duration framePeriod() const { return period; }

    // Repeats the sleep until the deadline has passed on the monotonic clock, so an
    // early wake-up never shortens the wait.
    static void sleepUntil(Clock::time_point deadline);

private:
    Clock::duration period;
    Clock::time_point next;
};
