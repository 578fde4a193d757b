#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "audio_message.h"
#include "capture_process.h"
#include "output_lines.h"
#include "progress_display.h"
#include "record_options.h"
#include "record_session.h"
#include "signal_stats.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Messages as the server sends them: every 50 ms, whatever is buffered beyond
// 512 samples, in 512-sample blocks arriving a few microseconds apart.
struct BurstFeed {
    Clock::time_point now{};
    double captured = 0;    // samples produced by the device so far
    std::uint64_t sent = 0; // samples sent so far

    // One 50 ms cycle; returns the gaps reported.
    int cycle(GapDetector& d, std::chrono::microseconds late = 0us) {
        now += 50ms + late;
        captured += 44100.0 * std::chrono::duration<double>(50ms + late).count();
        int gaps = 0;
        while (captured - static_cast<double>(sent) > 512) {
            gaps += d.onMessage(now, 512);
            sent += 512;
            now += 5us;
        }
        return gaps;
    }
};

TEST(GapDetector, SteadyFiftyMillisecondBurstsAreNoGap) {
    GapDetector d(150ms);
    BurstFeed feed;
    int gaps = 0;
    for (int i = 0; i < 20 * 60; ++i) // one minute
        gaps += feed.cycle(d);
    EXPECT_EQ(gaps, 0);
    EXPECT_EQ(d.gaps(), 0u);
    EXPECT_EQ(d.longestGap(), 0ms);
}

TEST(GapDetector, LateDeliveryThatCatchesUpIsOneGapOnlyBeyondTheThreshold) {
    GapDetector d(150ms);
    BurstFeed feed;
    for (int i = 0; i < 40; ++i)
        feed.cycle(d);
    EXPECT_EQ(feed.cycle(d, 100ms), 0) << "150 ms between bursts is within the threshold";
    for (int i = 0; i < 40; ++i)
        feed.cycle(d);
    EXPECT_EQ(feed.cycle(d, 300ms), 1) << "a 350 ms pause is a gap";
    EXPECT_EQ(d.gaps(), 1u);
    EXPECT_GE(d.longestGap(), 280ms);
    EXPECT_LE(d.longestGap(), 360ms);
}

TEST(GapDetector, LostAudioCountsOnceAndLaterAudioIsJudgedAfresh) {
    GapDetector d(150ms);
    BurstFeed feed;
    for (int i = 0; i < 40; ++i)
        feed.cycle(d);
    // The device delivers nothing for 400 ms and that audio never comes.
    feed.now += 400ms;
    int gaps = 0;
    for (int i = 0; i < 200; ++i)
        gaps += feed.cycle(d);
    EXPECT_EQ(gaps, 1);
    EXPECT_EQ(d.gaps(), 1u);
}

TEST(GapDetector, AnInitialBacklogIsNoGap) {
    // On connecting, audio buffered before arrives at once, ahead of real time.
    GapDetector d(150ms);
    Clock::time_point t{};
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(d.onMessage(t, 512));
    BurstFeed feed{t, 5120.0, 5120};
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(feed.cycle(d), 0);
}

TEST(LevelMeter, PeakRmsAndRecentPeak) {
    LevelMeter m;
    std::vector<float> tone(44100);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 44100.0));
    m.add(tone);
    EXPECT_NEAR(m.peak(), 0.5, 1e-4);
    EXPECT_NEAR(m.rms(), 0.5 / std::sqrt(2.0), 1e-4);
    EXPECT_NEAR(LevelMeter::toDbfs(m.rms()), -9.03, 0.01);
    EXPECT_EQ(m.count(), 44100u);
    EXPECT_NEAR(m.takeRecentPeak(), 0.5, 1e-4);
    EXPECT_EQ(m.takeRecentPeak(), 0.0f);
    const std::vector<float> negative{-0.9f};
    m.add(negative);
    EXPECT_FLOAT_EQ(m.peak(), 0.9f);
    EXPECT_TRUE(std::isinf(LevelMeter::toDbfs(0.0)));
    EXPECT_EQ(LevelMeter{}.rms(), 0.0);
}

TEST(AudioMessage, DecodesLittleEndianFloatsAndRefusesOtherSizes) {
    std::string payload(bytesPerMessage, '\0');
    // 1.0f = 0x3F800000, -2.5f = 0xC0200000, stored least significant byte first.
    const unsigned char one[4] = {0x00, 0x00, 0x80, 0x3F};
    const unsigned char minus[4] = {0x00, 0x00, 0x20, 0xC0};
    std::memcpy(payload.data(), one, 4);
    std::memcpy(payload.data() + 511 * 4, minus, 4);
    std::vector<float> samples;
    ASSERT_TRUE(decodeAudioMessage(payload, samples));
    ASSERT_EQ(samples.size(), 512u);
    EXPECT_EQ(samples[0], 1.0f);
    EXPECT_EQ(samples[1], 0.0f);
    EXPECT_EQ(samples[511], -2.5f);

    std::vector<float> untouched{7.0f};
    EXPECT_FALSE(decodeAudioMessage(payload.substr(1), untouched));
    EXPECT_FALSE(decodeAudioMessage(payload + "x", untouched));
    EXPECT_FALSE(decodeAudioMessage("exit", untouched));
    EXPECT_EQ(untouched, std::vector<float>{7.0f});
}

TEST(OutputLine, PortLineIsParsedOnlyInItsExactForm) {
    EXPECT_EQ(output_line::parsePort("{ \"port\": 41234 }"), 41234);
    EXPECT_EQ(output_line::parsePort("{ \"port\": 0 }"), 0);
    EXPECT_EQ(output_line::parsePort("{ \"port\": 65535 }"), 65535);
    EXPECT_FALSE(output_line::parsePort("{ \"port\": 65536 }"));
    EXPECT_FALSE(output_line::parsePort("{ \"port\": -1 }"));
    EXPECT_FALSE(output_line::parsePort("{ \"port\": 080 }"));
    EXPECT_FALSE(output_line::parsePort("{ \"port\":  }"));
    EXPECT_FALSE(output_line::parsePort("{\"port\": 41234}"));
    EXPECT_FALSE(output_line::parsePort("{ \"port\": 41234 } "));
    EXPECT_FALSE(output_line::parsePort("Getting command: { \"port\": 1 }"));
}

TEST(OutputLine, LibraryLinesAndTheHiddenLine) {
    EXPECT_TRUE(output_line::isLibraryLog("[2026-01-01 10:00:00] [connect] WebSocket Connection 127.0.0.1:5 v13"));
    EXPECT_TRUE(output_line::isLibraryLog("[0] (4) 82 7e 08 00 "));
    EXPECT_TRUE(output_line::isLibraryLog(""));
    EXPECT_FALSE(output_line::isLibraryLog("{ \"port\": 1 }"));
    EXPECT_FALSE(output_line::isLibraryLog("Getting command: connected"));
    EXPECT_TRUE(output_line::isHidden("{ \"event\": \"hidden\" }"));
    EXPECT_FALSE(output_line::isHidden("{ \"event\": \"shown\" }"));
    EXPECT_TRUE(output_line::isShown("{ \"event\": \"shown\" }"));
    EXPECT_EQ(output_line::withoutCarriageReturn("{ \"event\": \"shown\" }\r"), "{ \"event\": \"shown\" }");
    EXPECT_EQ(output_line::withoutCarriageReturn("Getting command: a\rb"), "Getting command: a\rb");
}

TEST(RecordOptions, ParsesEveryOptionAndRejectsBadInput) {
    auto p = parseRecordOptions({"-d", "2.5", "--show", "-q", "--capture", "/x/cap", "--settings", "s.json",
                                 "--log", "l.log", "--port-timeout", "3", "--audio-timeout", "0.5",
                                 "--exit-timeout", "7", "--gap-threshold", "80", "out.wav"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.output, "out.wav");
    EXPECT_EQ(p.options.seconds, 2.5);
    EXPECT_TRUE(p.options.show);
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(p.options.capturePath, "/x/cap");
    EXPECT_EQ(p.options.settingsPath, "s.json");
    EXPECT_EQ(p.options.logPath, "l.log");
    EXPECT_EQ(p.options.portTimeout, 3000ms);
    EXPECT_EQ(p.options.audioTimeout, 500ms);
    EXPECT_EQ(p.options.exitTimeout, 7000ms);
    EXPECT_EQ(p.options.gapThreshold, 80ms);

    EXPECT_EQ(parseRecordOptions({"out.wav"}).options.seconds, 0.0);
    EXPECT_NE(parseRecordOptions({}).error, "");
    EXPECT_NE(parseRecordOptions({"a.wav", "b.wav"}).error, "");
    EXPECT_NE(parseRecordOptions({"-d", "-1", "a.wav"}).error, "");
    EXPECT_NE(parseRecordOptions({"-d", "2s", "a.wav"}).error, "");
    EXPECT_NE(parseRecordOptions({"-d", "nan", "a.wav"}).error, "");
    EXPECT_NE(parseRecordOptions({"a.wav", "-d"}).error, "");
    EXPECT_NE(parseRecordOptions({"--port-timeout", "0", "a.wav"}).error, "");
    EXPECT_NE(parseRecordOptions({"--bogus", "a.wav"}).error, "");
    EXPECT_EQ(parseRecordOptions({"--help"}).error, "");
    EXPECT_TRUE(parseRecordOptions({"--help"}).options.help);
    EXPECT_EQ(parseRecordOptions({"--version"}).error, "");
    EXPECT_TRUE(parseRecordOptions({"--version"}).options.version);
    EXPECT_FALSE(parseRecordOptions({"a.wav"}).options.version);
}

TEST(ProgressDisplay, BarAndLinesFollowTheLevel) {
    EXPECT_EQ(ProgressDisplay::bar(1.0f, 10), "##########");
    EXPECT_EQ(ProgressDisplay::bar(0.0f, 10), "..........");
    EXPECT_EQ(ProgressDisplay::bar(0.001f, 10), "..........");  // -60 dBFS
    EXPECT_EQ(ProgressDisplay::bar(0.0316f, 10), "#####....."); // -30 dBFS
    EXPECT_EQ(ProgressDisplay::bar(2.0f, 10), "##########");

    ProgressDisplay plain(nullptr, false, 5.0);
    EXPECT_EQ(plain.statusLine(1.0, 0.5f), "recording    1.0 s / 5.0 s  peak   -6.0 dBFS");
    ProgressDisplay tty(nullptr, true, 0.0);
    const std::string line = tty.statusLine(3.0, 0.0f);
    EXPECT_NE(line.find("Ctrl+C"), std::string::npos);
    EXPECT_NE(line.find("[.............................."), std::string::npos);
    EXPECT_NE(line.find("-inf"), std::string::npos);
}

TEST(ProgressDisplay, PlainOutputIsOneLinePerSecond) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    {
        ProgressDisplay d(out, false, 3.0);
        Clock::time_point t{};
        for (int i = 0; i < 30; ++i) // three seconds of updates every 100 ms
            d.update(i * 0.1, 0.5f, t + i * 100ms);
        d.finish();
    }
    std::fclose(out);
    const std::string s(text, size);
    std::free(text);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 3);
    EXPECT_EQ(s.find('\r'), std::string::npos);
    EXPECT_EQ(s.find('\x1b'), std::string::npos);
}

TEST(RecordSession, LastLinesOfALogSkipEmptyLines) {
    const auto path = std::filesystem::temp_directory_path() / ("last_lines_" + std::to_string(::getpid()));
    {
        std::ofstream f(path);
        for (int i = 1; i <= 15; ++i)
            f << "line " << i << "\n\n";
    }
    const auto lines = RecordSession::lastLines(path.string(), 10);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.front(), "line 6");
    EXPECT_EQ(lines.back(), "line 15");
    std::filesystem::remove(path);
    EXPECT_TRUE(RecordSession::lastLines(path.string(), 10).empty());
}

// A capture that starts too slowly is given up on with how long it was waited for; the
// default wait allows for a slow start (Wine, a busy machine).
TEST(RecordSession, SlowStartIsReportedWithTheTimeItTook) {
    EXPECT_EQ(parseRecordOptions({"out.wav"}).options.portTimeout, 60s);

    const auto dir = std::filesystem::temp_directory_path() / ("slow_start_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto capture = dir / "slow-capture.sh";
    std::ofstream(capture) << "#!/bin/sh\necho 'still loading'\nexec sleep 30\n";
    std::filesystem::permissions(capture, std::filesystem::perms::owner_all);
    RecordOptions options;
    options.output = (dir / "out.wav").string();
    options.settingsPath = (dir / "settings.json").string();
    options.logPath = (dir / "capture.log").string();
    options.portTimeout = 300ms;
    options.exitTimeout = 1s;
    options.quiet = true;
    const std::atomic<bool> interrupted{false};

    ::testing::internal::CaptureStderr();
    const auto started = Clock::now();
    const int status = RecordSession(options, capture.string(), interrupted).run();
    const auto took = Clock::now() - started;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    std::smatch gaveUp;
    ASSERT_TRUE(std::regex_search(err, gaveUp,
                                  std::regex(R"(sondrel-record: error: sondrel-capture did not announce its port )"
                                             R"(within 0\.3 s \(still starting after (\d+\.\d) s; )"
                                             R"(--port-timeout allows longer\)\n)")))
        << err;
    EXPECT_GE(std::stod(gaveUp[1].str()), 0.3) << "the start-up measured from the child's start";
    EXPECT_NE(err.find("  still loading\n"), std::string::npos) << "what it printed meanwhile:\n" << err;
    EXPECT_LT(took, 20s) << "giving up ends the slow capture instead of waiting for it";
    EXPECT_FALSE(std::filesystem::exists(options.output)) << "a file without audio is not left behind";
    std::filesystem::remove_all(dir);
}

} // namespace
