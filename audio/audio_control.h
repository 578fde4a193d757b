#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The audio engine's operations in the order they were asked for, split between two
// threads. The main thread keeps the catalogue and the selection (the settings panel
// draws them every frame); the audio-control thread makes every PortAudio call, and those
// can block for a minute when the sound server hangs (libpulse's request time-out, twice).
//
// A step runs its main-thread part once every earlier step has finished, then hands its
// PortAudio part to the audio-control thread, and finishes on the main thread when that
// is done. So the main thread waits for PortAudio only as long as it chooses to, and
// still sees every operation take effect in call order.
class AudioControl {
public:
    using Clock = std::chrono::steady_clock;

    struct Step {
        std::function<void()> prepare; // main thread, when its turn comes
        std::function<void()> work;    // audio-control thread, after prepare
        std::function<void()> finish;  // main thread, after work
    };

    AudioControl();
    // Waits for the job in hand to end (forever, if PortAudio never returns: the process's
    // exit deadline covers that) unless abandon() was called; steps not begun are dropped.
    ~AudioControl();
    AudioControl(const AudioControl&) = delete;
    AudioControl& operator=(const AudioControl&) = delete;

    // Main thread, like everything below.
    void add(Step step);
    // Runs what can run now; true when no step is left.
    bool advance();
    // advance() until no step is left or the time is up; true when none is left.
    bool finishWithin(Clock::duration limit);
    void finishAll();
    bool idle() const { return steps.empty(); }
    // Drops the steps that have not begun; the one in hand still finishes.
    void dropPending();
    // Leaves a job that does not return to itself: the thread is detached and is never
    // waited for again. For a process that is about to end.
    void abandon();

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::function<void()> job;
        bool jobDone = true;
        bool stopping = false;
    };
    struct Queued {
        Step step;
        bool begun = false;
        bool handed = false;
    };

    static void run(std::shared_ptr<Shared> shared);
    void hand(std::function<void()> job);
    bool jobDone();

    std::deque<Queued> steps;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread thread;
};

// Names the PortAudio call the audio-control thread is making, for the one line that is
// logged when the process has to end without waiting for it. A call named inside another
// names it while it runs; the outer name is back afterwards.
class PortAudioCall {
public:
    explicit PortAudioCall(const char* name);
    ~PortAudioCall();
    PortAudioCall(const PortAudioCall&) = delete;
    PortAudioCall& operator=(const PortAudioCall&) = delete;

    // The call in progress, or null. Any thread; the text is a string literal.
    static const char* inProgress();

private:
    const char* outer;
};
