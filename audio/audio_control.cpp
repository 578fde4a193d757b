#include "audio_control.h"

#include <atomic>
#include <utility>

namespace {

std::atomic<const char*> callInProgress{nullptr};

} // namespace

AudioControl::AudioControl() : thread(run, shared) {}

AudioControl::~AudioControl() {
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->stopping = true;
    }
    shared->changed.notify_all();
    thread.join();
}

void AudioControl::run(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->jobDone || shared->stopping; });
        if (shared->jobDone)
            return;
        std::function<void()> job = std::move(shared->job);
        lock.unlock();
        job();
        job = nullptr; // what the job holds goes here, not under the lock
        lock.lock();
        shared->jobDone = true;
        shared->changed.notify_all();
    }
}

void AudioControl::hand(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->job = std::move(job);
        shared->jobDone = false;
    }
    shared->changed.notify_all();
}

bool AudioControl::jobDone() {
    std::lock_guard<std::mutex> guard(shared->mutex);
    return shared->jobDone;
}

void AudioControl::add(Step step) { steps.push_back(Queued{std::move(step)}); }

bool AudioControl::advance() {
    while (!steps.empty()) {
        if (!steps.front().begun) {
            steps.front().begun = true;
            if (steps.front().step.prepare)
                steps.front().step.prepare();
            if (steps.front().step.work) {
                hand(std::move(steps.front().step.work));
                steps.front().handed = true;
            }
        }
        if (steps.front().handed && !jobDone())
            return false;
        // Off the queue before it runs: a finish may add the next steps.
        std::function<void()> finish = std::move(steps.front().step.finish);
        steps.pop_front();
        if (finish)
            finish();
    }
    return true;
}

bool AudioControl::finishWithin(Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (advance())
            return true;
        std::unique_lock<std::mutex> lock(shared->mutex);
        if (!shared->changed.wait_until(lock, deadline, [&] { return shared->jobDone; }))
            return false;
    }
}

void AudioControl::finishAll() {
    while (!advance()) {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->changed.wait(lock, [&] { return shared->jobDone; });
    }
}

void AudioControl::dropPending() {
    while (!steps.empty() && !steps.back().begun)
        steps.pop_back();
}

void AudioControl::abandon() {
    steps.clear();
    {
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->stopping = true;
    }
    shared->changed.notify_all();
    if (thread.joinable())
        thread.detach();
}

PortAudioCall::PortAudioCall(const char* name) : outer(callInProgress.exchange(name)) {}

PortAudioCall::~PortAudioCall() { callInProgress.store(outer); }

const char* PortAudioCall::inProgress() { return callInProgress.load(); }
