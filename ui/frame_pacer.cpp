#include "frame_pacer.h"

#include <thread>

void FramePacer::sleepUntil(Clock::time_point deadline) {
    while (Clock::now() < deadline)
        std::this_thread::sleep_until(deadline);
}
