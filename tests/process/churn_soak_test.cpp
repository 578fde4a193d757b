// The churn soak: one client checked block by block for SONDREL_SOAK_SECONDS while the
// window opens and closes, careless peers come by and the client reconnects after each
// of them. Every connection's stream must be the tone without a single break. Beside it
// a plain recorder of the sound server (parec on the same monitor source) is checked the
// same way: a break in both at once is the sound server's, a break only in ours is ours.
// Prints the breaks with their times and sizes, and memory, descriptors and threads per
// minute; fails on any break in our stream or on growth.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "capture_run.h"
#include "raw_socket.h"
#include "soak_support.h"
#include "x_session.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t windowSamples = 44100; // one second per verdict
// What the first stream from a fresh capture or recorder leaves unjudged: the converter's
// delay and the tone's start, as the suite's tone checks do.
constexpr std::size_t startSamples = 4410;

struct Break {
    double atSeconds = 0; // since the soak began
    std::string stream;   // which connection, or the reference
    std::string detail;
};

// Cuts a stream into one-second windows that overlap by two samples (so a jump between
// two windows is seen) and keeps the windows that are not the tone without a break.
class ToneWindows {
public:
    // skip: leading samples that are not judged, the tone's own start and the converter's.
    explicit ToneWindows(std::string name, std::size_t skip = 0) : name(std::move(name)), skip(skip) {}

    // timeOf(i): when sample i of this stream arrived, in seconds since the soak began.
    template <typename TimeOf>
    void feed(const float* samples, std::size_t count, bool final, TimeOf timeOf) {
        const std::size_t skipped = std::min(skip, count);
        skip -= skipped;
        consumed += skipped;
        pending.insert(pending.end(), samples + skipped, samples + count);
        while (pending.size() >= windowSamples + 2)
            analyse(windowSamples + 2, timeOf);
        // A connection's last part still counts when it is long enough to know the tone.
        if (final && pending.size() >= 4410)
            analyse(pending.size(), timeOf);
    }

    std::vector<Break> breaks;
    std::size_t analysed = 0;

private:
    template <typename TimeOf>
    void analyse(std::size_t length, TimeOf timeOf) {
        SineCheckOptions options;
        options.sampleRate = 44100.0;
        options.skipLeadingSilence = false;
        const SineAnalysis part = analyseSine(pending.data(), length, options);
        if (!part.isContinuousTone(toneFrequency, 5.0)) {
            const std::size_t at = consumed + part.maxStepDeviationAt;
            std::ostringstream detail;
            detail << "sample " << at << ": " << part.describe();
            breaks.push_back({timeOf(at), name, detail.str()});
        }
        analysed += length - 2;
        consumed += length - 2;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length - 2));
    }

    std::string name;
    std::size_t skip;
    std::vector<float> pending;
    std::size_t consumed = 0; // samples of the stream before pending's first
};

// parec on the microphone's source: what the sound server delivers to any recorder.
class ReferenceRecorder {
public:
    ReferenceRecorder(const VirtualMic& mic, Clock::time_point began)
        : began(began), windows("reference", startSamples) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv = {"parec",        "--raw",        "--format=float32le",
                                         "--rate=44100", "--channels=1", "--device=mic_sink.monitor"};
        std::vector<std::string> environment = mic.environment();
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            for (const std::string& entry : environment) {
                const auto eq = entry.find('=');
                ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
            }
            std::vector<char*> args;
            for (std::string& arg : argv)
                args.push_back(arg.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        readEnd = fds[0];
        reader = std::thread([this] { readLoop(); });
    }
    ~ReferenceRecorder() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (reader.joinable())
            reader.join();
        if (readEnd >= 0)
            ::close(readEnd);
    }
    ReferenceRecorder(const ReferenceRecorder&) = delete;
    ReferenceRecorder& operator=(const ReferenceRecorder&) = delete;

    std::vector<Break> breaks() const {
        std::lock_guard<std::mutex> guard(mutex);
        return windows.breaks;
    }
    std::size_t analysed() const {
        std::lock_guard<std::mutex> guard(mutex);
        return windows.analysed;
    }

private:
    void readLoop() {
        std::vector<char> bytes;
        char chunk[16384];
        for (;;) {
            const ssize_t got = ::read(readEnd, chunk, sizeof chunk);
            if (got <= 0)
                return;
            bytes.insert(bytes.end(), chunk, chunk + got);
            const std::size_t whole = bytes.size() / sizeof(float);
            std::vector<float> samples(whole);
            std::memcpy(samples.data(), bytes.data(), whole * sizeof(float));
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole * sizeof(float)));
            const double now = std::chrono::duration<double>(Clock::now() - began).count();
            std::lock_guard<std::mutex> guard(mutex);
            // The monitor's first moments may be silence before the tone reaches it.
            if (!started) {
                std::size_t first = 0;
                while (first < samples.size() && std::abs(samples[first]) < 0.01f)
                    ++first;
                samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(first));
                started = !samples.empty();
            }
            windows.feed(samples.data(), samples.size(), false, [now](std::size_t) { return now; });
        }
    }

    Clock::time_point began;
    pid_t pid = -1;
    int readEnd = -1;
    std::thread reader;
    mutable std::mutex mutex;
    ToneWindows windows;
    bool started = false;
};

struct Minute {
    int index = 0;
    long rssKiB = 0;
    int descriptors = 0;
    int threads = 0;
    std::size_t connections = 0;
    std::size_t breaks = 0;
    std::size_t referenceBreaks = 0;
};

class ChurnSoak : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VirtualMic::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        mic = std::make_unique<VirtualMic>();
        x = std::make_unique<XSession>(XSession::WindowManager::openbox);
        // One unbroken tone for the whole run: a restarted player would break it.
        mic->playTone(toneFrequency, 48000, 0.5, static_cast<double>(soakDuration().count()) + 300.0);
        CaptureRun::Options options;
        options.extraEnvironment = {x->environment()};
        run = std::make_unique<CaptureRun>(*mic, options);
        ASSERT_NE(run->port(), 0) << run->process().stderrText();
        began = Clock::now();
        reference = std::make_unique<ReferenceRecorder>(*mic, began);
    }
    void TearDown() override {
        client.reset();
        reference.reset();
        run.reset();
        x.reset();
        if (mic)
            mic->stopTone();
        mic.reset();
    }

    double secondsSinceBegan(Clock::time_point t) const {
        return std::chrono::duration<double>(t - began).count();
    }

    void connectClient() {
        client = std::make_unique<WsTestClient>();
        ASSERT_TRUE(client->connect(run->port(), 10s)) << "connection " << connections;
        ++connections;
    }

    // Ends the audio client's connection and checks everything it received.
    void closeAndCheckClient() {
        if (!client)
            return;
        client->close(2s);
        const std::vector<WsTestClient::Message> messages = client->messages();
        client.reset();
        // A reconnecting client's stream comes from a capture that has long been running.
        ToneWindows windows("connection " + std::to_string(connections), connections == 1 ? startSamples : 0);
        for (const auto& message : messages) {
            if (!message.binary || message.payload.size() != 2048)
                windows.breaks.push_back({secondsSinceBegan(message.received),
                                          "connection " + std::to_string(connections),
                                          "a message of " + std::to_string(message.payload.size()) + " bytes"});
        }
        const std::vector<float> samples = decodeSamples(messages);
        windows.feed(samples.data(), samples.size(), true, [&](std::size_t at) {
            return secondsSinceBegan(messages[std::min(at / 512, messages.size() - 1)].received);
        });
        analysedSamples += windows.analysed;
        for (const Break& b : windows.breaks) {
            std::cout << "  break at " << std::fixed << std::setprecision(1) << b.atSeconds << " s in " << b.stream
                      << ": " << b.detail << std::endl;
            breaks.push_back(b);
        }
    }

    // The window opens (or closes) while the audio client reconnects: the parent's
    // own order when it reopens its client as it shows the window.
    void toggleWindowWhileReconnecting(const std::string& word, const std::string& line) {
        ASSERT_TRUE(run->process().writeStdin(word + "\n"));
        closeAndCheckClient();
        connectClient();
        ASSERT_TRUE(run->process().waitForLine([&](const std::string& l) { return l == line; }, 30s))
            << "no " << line;
    }

    // A careless peer takes the audio or tries to; the audio client reconnects after it.
    void carelessPeer(int kind) {
        if (kind == 0) {
            RawSocket idle; // connects and never reads
            ASSERT_TRUE(idle.connect(run->port(), 5s));
            ASSERT_EQ(idle.handshake(5s), 101);
            std::this_thread::sleep_for(10s);
        } else if (kind == 1) {
            WsTestClient big; // one 1 MiB message
            ASSERT_TRUE(big.connect(run->port(), 10s));
            big.sendBinary(std::string(1 << 20, 'x'));
            big.waitForEnd(10s);
        } else {
            for (int k = 0; k < 300; ++k) { // failed handshakes
                RawSocket bad;
                ASSERT_TRUE(bad.connect(run->port(), 5s));
                bad.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                bad.waitForEnd(5s);
            }
        }
        closeAndCheckClient();
        connectClient();
    }

    Minute figuresOf(int index) {
        const pid_t pid = run->process().pid();
        Minute m;
        m.index = index;
        m.rssKiB = run->process().residentKiB();
        m.descriptors = procEntries(pid, "fd");
        m.threads = procEntries(pid, "task");
        m.connections = connections;
        m.breaks = breaks.size();
        m.referenceBreaks = reference->breaks().size();
        std::cout << "minute " << index << ": RSS " << m.rssKiB << " KiB, " << m.descriptors << " descriptors, "
                  << m.threads << " threads, " << m.connections << " connections, " << m.breaks << " breaks ("
                  << m.referenceBreaks << " in the sound server's own stream)" << std::endl;
        return m;
    }

    // One minute: the window shown and hidden, each while the client reconnects; one
    // careless peer; the client's stream checked at each of its ends.
    void minute(int index) {
        const auto start = Clock::now();
        std::this_thread::sleep_until(start + 5s);
        toggleWindowWhileReconnecting("show", shownLine);
        std::this_thread::sleep_until(start + 20s);
        toggleWindowWhileReconnecting("hide", hiddenLine);
        std::this_thread::sleep_until(start + 30s);
        carelessPeer(index % 3);
        std::this_thread::sleep_until(start + 60s);
    }

    std::unique_ptr<VirtualMic> mic;
    std::unique_ptr<XSession> x;
    std::unique_ptr<CaptureRun> run;
    std::unique_ptr<ReferenceRecorder> reference;
    std::unique_ptr<WsTestClient> client;
    Clock::time_point began;
    std::size_t connections = 0;
    std::size_t analysedSamples = 0;
    std::vector<Break> breaks;
};

} // namespace

TEST_F(ChurnSoak, OneClientGetsEverySampleWhileTheWindowPeersAndReconnectsComeAndGo) {
    connectClient();
    std::vector<Minute> minutes;
    const int count = static_cast<int>((soakDuration().count() + 59) / 60);
    for (int index = 1; index <= count && !HasFatalFailure(); ++index) {
        minute(index);
        minutes.push_back(figuresOf(index));
    }
    closeAndCheckClient();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GE(minutes.size(), 2u) << "too short to see growth";

    const std::string log = run->logText();
    const auto status = run->exitOverStdin(30s);
    EXPECT_EQ(status, 0);

    const std::vector<Break> referenceBreaks = reference->breaks();
    std::cout << "churn soak: " << minutes.size() << " minutes, " << connections << " connections, "
              << analysedSamples << " samples checked (" << analysedSamples / 44100 << " s), " << breaks.size()
              << " breaks; reference: " << reference->analysed() / 44100 << " s checked, "
              << referenceBreaks.size() << " breaks\n";
    for (const Break& b : referenceBreaks)
        std::cout << "  reference break at " << std::fixed << std::setprecision(1) << b.atSeconds
                  << " s: " << b.detail << "\n";
    for (const char* lossLine :
         {"音频缓冲区1溢出", "音频缓冲区2溢出", "客户端读取过慢, 已丢弃音频数据", "音频数据发送问题"})
        std::cout << "  log lines with \"" << lossLine << "\": " << countOccurrences(log, lossLine) << "\n";

    EXPECT_TRUE(breaks.empty()) << breaks.size() << " breaks in the client's stream";
    // Growth from the first minute (window and connections warmed up) to the last.
    const Minute& first = minutes.front();
    const Minute& last = minutes.back();
    EXPECT_LT(last.rssKiB - first.rssKiB, 20 * 1024) << "resident memory grew";
    EXPECT_LE(last.descriptors, first.descriptors + 2) << "descriptors accumulate";
    EXPECT_LE(last.threads, first.threads + 2) << "threads accumulate";
}
