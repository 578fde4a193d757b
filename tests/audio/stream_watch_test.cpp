// When a stream counts as stalled, when recovery tries again, where it restarts, and the
// order in which the engine's steps run on the main and the audio-control thread.
#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio_control.h"
#include "audio_engine.h"
#include "stream_watch.h"

using namespace std::chrono_literals;

namespace {

const StallWatch::Clock::time_point t0{};

DeviceEntry input(int index, const std::string& name, int api, int type, int channels = 2) {
    DeviceEntry d;
    d.index = index;
    d.name = name;
    d.hostApi = api;
    d.hostApiType = type;
    d.maxInputChannels = channels;
    return d;
}

AudioSettings stored(int type, int device) {
    AudioSettings s;
    s.hostApiType = type;
    s.inputDevice = device;
    return s;
}

// A device that captures at rate x (1 + drift) and a host that hands its frames over a
// period at a time, as the pulse plugin does (65 ms at the capture's latency), sometimes
// late; the engine looks every 16 ms. Frames are lost on request, or held back by a stall.
class Delivery {
public:
    explicit Delivery(double drift = 0.0, std::chrono::milliseconds lateness = 0ms, double catchUp = 100.0)
        : drift(drift), lateness(lateness), catchUp(catchUp) {
        watch.start(rate, 0);
    }

    // Runs on for this long; the losses the watch noticed meanwhile.
    int run(std::chrono::milliseconds length) { return advance(length, true); }
    // No frame handed over for this long; the backlog comes with the next period.
    int stall(std::chrono::milliseconds length) { return advance(length, false); }
    // The host drops this much of what is captured from now.
    void lose(double seconds) { lostFrames += static_cast<std::uint64_t>(seconds * rate); }

    DeliveryWatch watch;
    const double rate = 44100.0;

private:
    int advance(std::chrono::milliseconds length, bool handing) {
        int losses = 0;
        for (auto end = now + length; now < end; now += 1ms) {
            const auto ms = (now - t0) / 1ms;
            if (handing && now >= nextHandOver) {
                const double captured = rate * (1.0 + drift) * std::chrono::duration<double>(now - t0).count();
                // A backlog comes at most catchUp times as fast as it was captured.
                const double most = static_cast<double>(delivered) +
                                    catchUp * rate * std::chrono::duration<double>(now - lastHandOver).count();
                const double due = captured - static_cast<double>(lostFrames);
                delivered = std::max(delivered, static_cast<std::uint64_t>(std::min(due, most)));
                lastHandOver = now;
                nextHandOver = now + 65ms + (lateness > 0ms ? random() % lateness : 0ms);
            }
            if (!handing)
                lastHandOver = now; // the pace of catching up counts from the stall's end
            if (ms % 16 == 0 && watch.lost(delivered, now))
                ++losses;
        }
        return losses;
    }

    std::chrono::milliseconds random() { return std::chrono::milliseconds(generator()); }

    const double drift;
    const std::chrono::milliseconds lateness;
    const double catchUp;
    std::minstd_rand generator{27};
    DeliveryWatch::Clock::time_point now = t0;
    DeliveryWatch::Clock::time_point nextHandOver = t0 + 1500ms; // the plugin's slow start
    DeliveryWatch::Clock::time_point lastHandOver = t0;
    std::uint64_t delivered = 0;
    std::uint64_t lostFrames = 0;
};

} // namespace

// Bursts, handovers up to 300 ms late, devices 100 ppm fast or slow for an hour: audio that
// all arrives is never called lost.
TEST(DeliveryWatch, EveryFrameDeliveredLateOrOnADriftingClockIsNoLoss) {
    for (const double drift : {0.0, 100e-6, -100e-6}) {
        Delivery delivery(drift, 300ms);
        EXPECT_EQ(delivery.run(3600s), 0) << "drift " << drift;
    }
    // A stall of the host that ends with its backlog, shorter and longer than the stall
    // watch's second.
    Delivery delivery;
    EXPECT_EQ(delivery.run(10s), 0);
    EXPECT_EQ(delivery.stall(900ms), 0);
    EXPECT_EQ(delivery.run(10s), 0);
    EXPECT_EQ(delivery.stall(5s), 0);
    EXPECT_EQ(delivery.run(10s), 0);

    // A backlog that comes in at only 1.3 times the pace it was captured at takes 10 s.
    Delivery slow(0.0, 100ms, 1.3);
    EXPECT_EQ(slow.run(10s), 0);
    EXPECT_EQ(slow.stall(3s), 0);
    EXPECT_EQ(slow.run(20s), 0);
}

TEST(DeliveryWatch, AudioTheHostDroppedIsOneLossOnceTheShortfallHolds) {
    Delivery delivery(0.0, 100ms);
    EXPECT_EQ(delivery.run(20s), 0);
    delivery.lose(0.4);
    // Noticed after two whole seconds of delivery without the missing frames.
    EXPECT_EQ(delivery.run(2s), 0);
    EXPECT_EQ(delivery.run(2s), 1);
    EXPECT_NEAR(delivery.watch.lastLossSeconds(), 0.4, 0.15);
    // Counted once: the stream goes on from there.
    EXPECT_EQ(delivery.run(60s), 0);

    // Lost while the host stalled, as PulseAudio drops the oldest of a stalled client's backlog.
    delivery.lose(2.0);
    EXPECT_EQ(delivery.stall(3s), 0);
    EXPECT_EQ(delivery.run(10s), 1);
    EXPECT_NEAR(delivery.watch.lastLossSeconds(), 2.0, 0.15);

    // Less than the bursts of delivery can hide is not told apart from them.
    delivery.lose(0.2);
    EXPECT_EQ(delivery.run(10s), 0);
}

TEST(DeliveryWatch, NothingIsWatchedBeforeTheFirstFramesNorAfterAStop) {
    DeliveryWatch watch;
    const auto t = StallWatch::Clock::time_point{};
    EXPECT_FALSE(watch.lost(500, t + 10s)); // never started
    watch.start(48000.0, 500);
    EXPECT_FALSE(watch.lost(500, t + 20s)); // the stream's opening takes its time
    EXPECT_FALSE(watch.lost(600, t + 21s));
    EXPECT_FALSE(watch.lost(600 + 48000 * 2, t + 23s));
    watch.stop();
    for (int s = 24; s < 40; ++s)
        EXPECT_FALSE(watch.lost(600 + 48000 * 3, t + std::chrono::seconds(s)));
}

TEST(StallWatch, OneSecondWithoutACallbackIsAStall) {
    StallWatch watch;
    watch.restart(100, t0);
    EXPECT_FALSE(watch.stalled(101, t0 + 10ms));
    EXPECT_TRUE(watch.delivering());
    EXPECT_FALSE(watch.stalled(101, t0 + 1009ms));
    EXPECT_TRUE(watch.stalled(101, t0 + 1010ms));
    EXPECT_TRUE(watch.stalled(101, t0 + 5s)); // stays stalled until the count moves
    EXPECT_FALSE(watch.stalled(102, t0 + 5s));
    EXPECT_FALSE(watch.stalled(102, t0 + 5999ms));
    EXPECT_TRUE(watch.stalled(102, t0 + 6s));
}

// The first buffer of a stream takes 1.2-2 s to come through the pulse plugin.
TEST(StallWatch, FirstCallbackMayTakeFiveSeconds) {
    StallWatch watch;
    watch.restart(7, t0);
    EXPECT_FALSE(watch.stalled(7, t0 + 4999ms));
    EXPECT_FALSE(watch.delivering());
    EXPECT_TRUE(watch.stalled(7, t0 + 5s));

    // A restart forgets the earlier stream.
    watch.restart(7, t0 + 10s);
    EXPECT_FALSE(watch.stalled(7, t0 + 12s));
    EXPECT_FALSE(watch.stalled(8, t0 + 12s));
    EXPECT_TRUE(watch.stalled(8, t0 + 13s));

    // A watcher that was stopped itself counts the silence from when it looks again.
    watch.resume(t0 + 20s);
    EXPECT_FALSE(watch.stalled(8, t0 + 20999ms));
    EXPECT_TRUE(watch.stalled(8, t0 + 21s));
}

TEST(RecoverySchedule, EveryTwoSecondsThenEveryTen) {
    RecoverySchedule schedule;
    schedule.begin(t0 + 1s);
    EXPECT_TRUE(schedule.due(t0 + 1s));
    schedule.attempted(t0 + 1s);
    EXPECT_FALSE(schedule.due(t0 + 2999ms));
    EXPECT_TRUE(schedule.due(t0 + 3s));
    // Intervals count from the last attempt, however long ago that was.
    schedule.attempted(t0 + 3s);
    EXPECT_TRUE(schedule.due(t0 + 20s));
    schedule.attempted(t0 + 30s);
    EXPECT_TRUE(schedule.due(t0 + 32s));
    schedule.attempted(t0 + 32s); // 31 s into the episode
    EXPECT_FALSE(schedule.due(t0 + 41999ms));
    EXPECT_TRUE(schedule.due(t0 + 42s));
    EXPECT_EQ(schedule.attempts(), 4);

    // A new episode starts at two seconds again.
    schedule.begin(t0 + 100s);
    EXPECT_EQ(schedule.attempts(), 0);
    EXPECT_TRUE(schedule.due(t0 + 100s));
    schedule.attempted(t0 + 100s);
    EXPECT_TRUE(schedule.due(t0 + 102s));
}

class RecoveryDevice : public ::testing::Test {
protected:
    std::vector<HostApiEntry> hostApis{{"ALSA", 8, 3, 1, 1}, {"JACK", 12, 1, 3, 3}};
    std::vector<DeviceEntry> devices{input(0, "pulse", 0, 8), input(1, "default", 0, 8), input(2, "USB Mic", 0, 8),
                                     input(3, "system", 1, 12)};

    std::optional<RecoveryChoice> choose(const std::optional<AudioSettings>& stored, std::int32_t type,
                                         std::int32_t device, const std::string& name) const {
        Selection running;
        running.device = device;
        return chooseRecoveryDevice({hostApis, devices}, stored, running, type, name);
    }
};

TEST_F(RecoveryDevice, RunningDeviceAtItsIndexWhenTheNameStillMatches) {
    const auto choice = choose(std::nullopt, 8, 2, "USB Mic");
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->selection.hostApiRow, 0);
    EXPECT_EQ(choice->selection.device, 2);
    EXPECT_FALSE(choice->storedProfile);
}

// Devices that came and went renumber the others: the name finds it, and another device
// that now has the old index is not taken instead.
TEST_F(RecoveryDevice, RenumberedDeviceIsFoundByNameAndNeverSwapped) {
    devices = {input(0, "pulse", 0, 8), input(1, "USB Mic", 0, 8), input(2, "default", 0, 8)};
    auto choice = choose(std::nullopt, 8, 2, "USB Mic");
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->selection.device, 1);

    devices = {input(0, "pulse", 0, 8), input(1, "default", 0, 8), input(2, "speaker", 0, 8, 0)};
    EXPECT_FALSE(choose(std::nullopt, 8, 2, "USB Mic"));
    // Same name under another host API type, or without inputs: not it.
    devices = {input(0, "USB Mic", 1, 12), input(1, "USB Mic", 0, 8, 0)};
    EXPECT_FALSE(choose(std::nullopt, 8, 0, "USB Mic"));
}

TEST_F(RecoveryDevice, HostApiThatIsGoneMeansNothing) {
    hostApis = {{"JACK", 12, 1, 3, 3}};
    EXPECT_FALSE(choose(std::nullopt, 8, 1, "default"));
}

TEST_F(RecoveryDevice, KeptProfileFirstWhenItsDeviceIsBack) {
    auto choice = choose(stored(12, 3), 8, 1, "default");
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->selection.hostApiRow, 1);
    EXPECT_EQ(choice->selection.device, 3);
    EXPECT_TRUE(choice->storedProfile);

    // Still missing (past the end, or not an input of that type): the running device.
    for (const AudioSettings& profile : {stored(12, 9), stored(8, 3), stored(2, 1)}) {
        choice = choose(profile, 8, 1, "default");
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->selection.device, 1);
        EXPECT_FALSE(choice->storedProfile);
    }
}

TEST(AudioControl, StepsRunInCallOrderWithPortAudioWorkOnItsOwnThread) {
    AudioControl control;
    const std::thread::id main = std::this_thread::get_id();
    std::vector<std::string> order;
    std::atomic<bool> workOnMain{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    // The first step's work blocks, as a call into a frozen sound server would.
    control.add({[&] { order.push_back("prepare 1"); },
                 [&] {
                     workOnMain = std::this_thread::get_id() == main;
                     released.wait();
                 },
                 [&] { order.push_back("finish 1"); }});
    control.add({[&] { order.push_back("prepare 2"); }, {}, [&] { order.push_back("finish 2"); }});

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(control.finishWithin(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_FALSE(control.idle());
    // The second step waits for the first, also its main-thread part.
    EXPECT_EQ(order, (std::vector<std::string>{"prepare 1"}));

    release.set_value();
    EXPECT_TRUE(control.finishWithin(10s));
    EXPECT_TRUE(control.idle());
    EXPECT_FALSE(workOnMain);
    EXPECT_EQ(order, (std::vector<std::string>{"prepare 1", "finish 1", "prepare 2", "finish 2"}));
}

TEST(AudioControl, StepsAddedByAFinishQueueBehindTheRestAndPendingOnesCanBeDropped) {
    AudioControl control;
    std::vector<int> order;
    control.add({{},
                 [] {},
                 [&] {
                     order.push_back(1);
                     control.add({[&] { order.push_back(3); }, {}, {}});
                 }});
    control.add({[&] { order.push_back(2); }, {}, {}});
    EXPECT_TRUE(control.finishWithin(10s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool firstFinished = false;
    bool droppedRan = false;
    control.add({{}, [&] { released.wait(); }, [&] { firstFinished = true; }});
    control.add({[&] { droppedRan = true; }, [&] { droppedRan = true; }, {}});
    control.advance();
    control.dropPending();
    release.set_value();
    control.finishAll();
    EXPECT_TRUE(firstFinished);
    EXPECT_FALSE(droppedRan);
}
