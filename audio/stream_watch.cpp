#include "stream_watch.h"

#include <algorithm>
#include <limits>

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace

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

void DeliveryWatch::start(double sampleRate, std::uint64_t frames) {
    *this = DeliveryWatch{};
    rate = sampleRate;
    startFrames = frames;
    watching = sampleRate > 0.0;
}

double DeliveryWatch::leadAt(std::uint64_t frames, Clock::time_point now) const {
    return static_cast<double>(frames - originFrames) - rate * seconds(now - origin);
}

bool DeliveryWatch::lost(std::uint64_t frames, Clock::time_point now) {
    if (!watching)
        return false;
    if (!delivering) {
        // The pace counts from the first callback: the stream's opening takes a while.
        if (frames == startFrames)
            return false;
        delivering = true;
        origin = now;
        originFrames = frames;
        lastSeen = now;
        spanStart = now;
        spanFrames = frames;
        return false;
    }
    const double lead = leadAt(frames, now);
    bestLead = std::max(lead, bestLead - driftAllowance * rate * seconds(now - lastSeen));
    lastSeen = now;
    spanBest = std::max(spanBest, lead);
    return now - spanStart >= span && endSpan(frames, now);
}

// A span is short of the best lead when even its best moment is: the bursts in which
// audio is handed over do not count as a loss, only a shortfall every moment shows.
bool DeliveryWatch::endSpan(std::uint64_t frames, Clock::time_point now) {
    // Frames that stopped coming are a stall (the stall watch's business), not a loss yet.
    const bool delivered = static_cast<double>(frames - spanFrames) >= rate * seconds(now - spanStart) / 2.0;
    const double shortfall = bestLead - spanBest;
    const bool isShort = shortfall > lossAboveSeconds * rate;
    // A backlog that comes in slower than it piled up (a loaded machine, a sanitizer
    // build) raises the lead span by span; only a lead that stays down, from one span of
    // delivery to the next, is a loss.
    const bool level = previousDelivered && spanBest <= previousSpanBest + lossAboveSeconds * rate / 2.0;
    lowSpans = delivered && isShort && level ? lowSpans + 1 : 0;
    const double best = spanBest;
    previousSpanBest = spanBest;
    previousDelivered = delivered;
    spanStart = now;
    spanFrames = frames;
    spanBest = -std::numeric_limits<double>::infinity();
    if (lowSpans < spansToConfirm)
        return false;
    // What is lost stays lost: the pace goes on from the stream as it now is.
    lastLoss = shortfall / rate;
    bestLead = best;
    lowSpans = 0;
    return true;
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
