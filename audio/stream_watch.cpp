#include "stream_watch.h"

void StallWatch::restart(std::uint64_t calls, Clock::time_point now) {
    lastCalls = calls;
    lastChange = now;
    delivered = false;
}

bool StallWatch::stalled(std::uint64_t calls, Clock::time_point now) {
    if (calls != lastCalls) {
        lastCalls = calls;
        lastChange = now;
        delivered = true;
        return false;
    }
    return now - lastChange >= (delivered ? stallAfter : firstCallbackWithin);
}

void RecoverySchedule::begin(Clock::time_point now) {
    began = now;
    count = 0;
}

bool RecoverySchedule::due(Clock::time_point now) const {
    if (count == 0)
        return true;
    const Clock::duration interval = last - began < backOffAfter ? firstInterval : laterInterval;
    return now - last >= interval;
}

void RecoverySchedule::attempted(Clock::time_point now) {
    last = now;
    ++count;
}
