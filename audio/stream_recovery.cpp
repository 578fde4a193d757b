#include "stream_recovery.h"

#include <fmt/format.h>

#include "capture_stream.h"
#include "logger.h"

namespace {

const std::string tag = "Audio";

} // namespace

void recoverStream(RecoveryAttempt& attempt, std::unique_ptr<CaptureContext>& capture,
                   const CaptureTargets& targets, const std::string& settingsPath) {
    capture.reset();
    attempt.catalogue = listCatalogue(ListingReport::Quiet);
    const CatalogueView catalogue{attempt.catalogue.hostApis, attempt.catalogue.devices};
    attempt.choice =
        chooseRecoveryDevice(catalogue, attempt.stored, attempt.running, attempt.hostApiType, attempt.deviceName);
    if (!attempt.choice) {
        attempt.failure = "找不到音频设备 " + attempt.deviceName;
        return;
    }
    const RecoveryChoice& choice = *attempt.choice;
    const AudioSettings settings = selectedSettings(catalogue, choice.selection);
    std::unique_ptr<CaptureContext> opened;
    try {
        opened = openCaptureStream(targets, settings);
    } catch (const std::exception& e) {
        attempt.failure = e.what();
        return;
    }
    if (const std::optional<std::string> failure = opened->start()) {
        attempt.failure = *failure;
        return; // the refused stream is closed with opened
    }
    capture = std::move(opened);
    attempt.started = true;
    // A profile kept because its device was missing stays in the file until it is taken.
    if (!attempt.stored || choice.storedProfile)
        writeSettingsFile(settingsPath, settings);
}

void StreamRecovery::forget() {
    meantToRun = false;
    recovering = false;
}

void StreamRecovery::watchFrom(std::uint64_t calls, Clock::time_point now) {
    meantToRun = true;
    stallWatch.restart(calls, now);
}

void StreamRecovery::watcherWasAway(Clock::time_point now) {
    if (meantToRun && !recovering)
        stallWatch.resume(now);
}

bool StreamRecovery::attemptDue(std::uint64_t calls, Clock::time_point now, std::atomic<bool>& running) {
    if (!meantToRun)
        return false;
    if (!stallWatch.stalled(calls, now)) {
        if (recovering && stallWatch.delivering()) {
            recovering = false;
            running = true;
            const double seconds = std::chrono::duration<double>(now - silentSince).count();
            Logger::instance().info(
                tag, fmt::format("音频流已恢复, 中断 {:.1f} 秒, 尝试 {} 次", seconds, schedule.attempts()));
        }
        return false;
    }
    if (!recovering) {
        recovering = true;
        running = false;
        silentSince = stallWatch.lastProgress();
        firstFailure.clear();
        const auto silence = stallWatch.delivering() ? StallWatch::stallAfter : StallWatch::firstCallbackWithin;
        Logger::instance().warn(tag,
                                fmt::format("音频流中断: {} 秒内没有收到音频数据, 正在尝试恢复",
                                            std::chrono::duration_cast<std::chrono::seconds>(silence).count()));
        schedule.begin(now);
    }
    if (!schedule.due(now))
        return false;
    schedule.attempted(now);
    return true;
}

void StreamRecovery::attemptFinished(const RecoveryAttempt& attempt, std::uint64_t calls, Clock::time_point now) {
    if (!attempt.started) {
        if (firstFailure.empty()) {
            firstFailure = attempt.failure;
            Logger::instance().warn(tag, "音频流恢复失败, " + attempt.failure);
        }
        return;
    }
    // Counts as recovered once its callbacks come.
    stallWatch.restart(calls, now);
}
