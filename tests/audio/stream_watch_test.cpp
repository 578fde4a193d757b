// When a stream counts as stalled, when recovery tries again, where it restarts, and the
// order in which the engine's steps run on the main and the audio-control thread.
#include <atomic>
#include <chrono>
#include <future>
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

} // namespace

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
