#include "capture_run.h"
#include "capture_under_test.h"
#include "child_process.h"
#include "output_lines.h"
#include "temp_dir.h"
#include "virtual_mic.h"
#include "ws_client.h"
#include "x_session.h"
#include "x_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using WindowManager = XSession::WindowManager;

const std::string title = "Sondrel: 音频控制面板";

// The window reports itself in the JSON lines; echoes and library entries are skipped.
bool isJsonLine(const std::string& line) { return output_line::isProtocol(line) && line.starts_with("{ "); }

// Under a sanitizer every allocation is slow, and rasterising the Chinese font at each
// showing takes long. There the capture process runs without the font file and sees no
// system font either (ImGui's built-in font, 13 px, where the clicks below aim), which
// also covers the missing-font case; plain builds use the real font (16 px).
#ifdef SONDREL_SANITIZED
constexpr bool withFont = false;
#else
constexpr bool withFont = true;
#endif
constexpr int fontPixels = withFont ? 16 : 13;

// What stands at ./SourceHanSansSC-VF.ttf in the capture process's working directory.
enum class FontFile { shipped, missing, directory, garbage };

// The capture process with its own working directory holding the font link.
class Capture {
public:
    explicit Capture(const std::vector<std::string>& environment,
                     FontFile font = withFont ? FontFile::shipped : FontFile::missing) {
        placeFont(font);
        ChildProcess::Options options;
        options.argv =
            capture_under_test::command({(dir / "settings.json").string(), (dir / "capture.log").string()});
        options.environment = environment;
        for (const std::string& entry : windowProcessSanitizerEnvironment())
            options.environment.push_back(entry);
        if (!withFont) {
            // Fontconfig with no font folder: no system font to fall back on.
            const fs::path noFonts = dir / "no-fonts.conf";
            std::ofstream(noFonts) << "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n";
            options.environment.push_back("FONTCONFIG_FILE=" + noFonts.string());
        }
        for (const std::string& entry : capture_under_test::environment(testClientToken))
            options.environment.push_back(entry);
        options.workingDirectory = dir.path;
        options.stdinMode = ChildProcess::StdinMode::Pipe;
        process = std::make_unique<ChildProcess>(std::move(options));
    }
    ~Capture() { process.reset(); }

    // The next protocol line (library log lines are skipped), or nullopt.
    std::optional<std::string> nextProtocolLine(std::chrono::milliseconds timeout) {
        return process->waitForLine(isJsonLine, timeout);
    }

    // Sends a command and waits for its echo.
    void command(const std::string& word) {
        ASSERT_TRUE(process->writeStdin(word + "\n"));
        waitForEcho(word);
    }

    void waitForEcho(const std::string& word) {
        const auto echo =
            process->waitForLine([&](const std::string& line) { return line == "Getting command: " + word; }, 10s);
        ASSERT_TRUE(echo) << "no echo for " << word << "; output so far:\n" << process->stdoutText();
    }

    std::string log() const { return readWholeFile(dir / "capture.log"); }
    std::string settings() const { return readWholeFile(dir / "settings.json"); }

    const TempDir dir{"sondrel-window"};
    std::unique_ptr<ChildProcess> process;
    int port = 0;

private:
    void placeFont(FontFile font) {
        const fs::path path = dir / "SourceHanSansSC-VF.ttf";
        switch (font) {
        case FontFile::shipped:
            fs::create_symlink(SONDREL_PANEL_FONT, path);
            break;
        case FontFile::missing:
            break;
        case FontFile::directory:
            fs::create_directory(path);
            break;
        case FontFile::garbage: {
            std::ofstream out(path, std::ios::binary);
            for (int i = 0; i < 64 * 1024; ++i)
                out.put(static_cast<char>((i * 7919) ^ (i >> 5)));
            break;
        }
        }
    }
};

// The parent's view of one "show": from writing the command until the panel is seen
// drawn in the window, with what the mapped window showed before that.
struct Showing {
    bool drawn = false;
    double millisecondsToDrawn = 0.0;
    int samples = 0;        // pictures taken of the mapped window
    int undrawnSamples = 0; // of them, pictures without the panel
    std::optional<XView::Image> firstPicture;
};

// Audio messages of 512 samples at 44100 Hz, rounded up.
constexpr std::size_t messagesPerSecond = 44100 / 512 + 1;

const XView::Colour runningGreen{0, 204, 0};
const XView::Colour stoppedGrey{128, 128, 128};
const XView::Colour meterYellow{255, 255, 102};
const XView::Colour meterRed{255, 51, 51};

// The status dot (about 150 pixels of one of its two colours) is drawn in every frame.
bool panelDrawn(const XView::Image& image) { return image.count(runningGreen) + image.count(stoppedGrey) >= 60; }

class PanelWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!VirtualMic::available())
            return;
        mic = new VirtualMic();
    }
    static void TearDownTestSuite() {
        delete mic;
        mic = nullptr;
    }

    void SetUp() override {
        if (!mic)
            GTEST_SKIP() << "pulseaudio is not installed";
    }

    std::unique_ptr<Capture> startCapture(const XSession& x,
                                          FontFile font = withFont ? FontFile::shipped : FontFile::missing,
                                          const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> environment = mic->environment();
        environment.push_back(x.environment());
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        auto capture = std::make_unique<Capture>(environment, font);
        const auto port = capture->nextProtocolLine(20s);
        EXPECT_TRUE(port && port->rfind("{ \"port\": ", 0) == 0) << "no port line; stderr:\n"
                                                                 << capture->process->stderrText();
        if (port)
            capture->port = output_line::parsePort(*port).value_or(0);
        return capture;
    }

    void showAndWait(Capture& capture) {
        capture.command("show");
        const auto line = capture.nextProtocolLine(20s);
        ASSERT_TRUE(line) << capture.log();
        EXPECT_EQ(*line, shownLine);
    }

    void hideAndWait(Capture& capture) {
        capture.command("hide");
        const auto line = capture.nextProtocolLine(20s);
        ASSERT_TRUE(line) << capture.log();
        EXPECT_EQ(*line, hiddenLine);
    }

    // Sends "show" and takes pictures of the window every few milliseconds from the
    // moment it is mapped until the panel is seen in it; then checks the lines.
    Showing watchShow(Capture& capture, XView& view) {
        Showing showing;
        const Clock::time_point sent = Clock::now();
        EXPECT_TRUE(capture.process->writeStdin("show\n"));
        std::optional<XView::WindowId> window;
        while (Clock::now() - sent < 30s) {
            if (!window)
                window = view.findWindow("Sondrel");
            if (window) {
                if (std::optional<XView::Image> picture = view.grab(*window)) {
                    ++showing.samples;
                    if (!showing.firstPicture)
                        showing.firstPicture = picture;
                    if (panelDrawn(*picture)) {
                        showing.drawn = true;
                        showing.millisecondsToDrawn =
                            std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
                        break;
                    }
                    ++showing.undrawnSamples;
                }
            }
            std::this_thread::sleep_for(3ms);
        }
        capture.waitForEcho("show");
        const auto line = capture.nextProtocolLine(20s);
        EXPECT_TRUE(line && *line == shownLine) << (line ? *line : "no line") << "\n" << capture.log();
        return showing;
    }

    // The panel on screen, seen over the test's own connection.
    static bool waitUntilDrawn(XView& view, std::chrono::milliseconds timeout) {
        for (const Clock::time_point deadline = Clock::now() + timeout; Clock::now() < deadline;) {
            if (const auto window = view.findWindow("Sondrel")) {
                const auto picture = view.grab(*window);
                if (picture && panelDrawn(*picture))
                    return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // No protocol line within the period.
    static void expectSilence(Capture& capture, std::chrono::milliseconds period) {
        const auto line = capture.nextProtocolLine(period);
        EXPECT_FALSE(line) << "unexpected line: " << *line;
    }

    static void exitCleanly(Capture& capture) {
        capture.command("exit");
        const auto status = capture.process->waitExit(20s);
        ASSERT_TRUE(status) << "process did not end";
        EXPECT_EQ(*status, 0);
    }

    static VirtualMic* mic;
};

VirtualMic* PanelWindowTest::mic = nullptr;

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

int numberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

// The outer frame of a client window: its geometry plus the frame extents the window
// manager publishes.
Geometry outerFrame(const XSession& x, const std::string& window) {
    const std::string info = x.run({"/usr/bin/xwininfo", "-id", window}).output;
    Geometry client{numberAfter(info, "Absolute upper-left X:"), numberAfter(info, "Absolute upper-left Y:"),
                    numberAfter(info, "Width:"), numberAfter(info, "Height:")};
    const std::string extents = x.property(window, "_NET_FRAME_EXTENTS");
    std::smatch m;
    int left = 0, right = 0, top = 0, bottom = 0;
    if (std::regex_search(extents, m, std::regex(R"(= (\d+), (\d+), (\d+), (\d+))"))) {
        left = std::stoi(m[1]);
        right = std::stoi(m[2]);
        top = std::stoi(m[3]);
        bottom = std::stoi(m[4]);
    }
    return {client.x - left, client.y - top, client.width + left + right, client.height + top + bottom};
}

// The window manager may still be settling the frame; allow it a few seconds.
void expectOuterFrameInPlace(const XSession& x, const std::string& window) {
    Geometry outer;
    for (int i = 0; i < 50; ++i) {
        outer = outerFrame(x, window);
        if (outer.width == 500 && outer.height == 176 && outer.x == 100 && outer.y == 100)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(outer.width, 500);
    EXPECT_EQ(outer.height, 176);
    EXPECT_EQ(outer.x, 100);
    EXPECT_EQ(outer.y, 100);
}

// What Windows itself says about the panel window (the Windows build under Wine): its
// Win32 styles, outer rectangle and client area, read by a small Windows program, which
// can also minimise the window first.
struct Win32Window {
    bool found = false;
    unsigned long style = 0, exStyle = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    int clientX = 0, clientY = 0, clientWidth = 0, clientHeight = 0;
};

Win32Window probeWin32Window(const XSession& x, bool minimize = false) {
    Win32Window w;
    if (!capture_under_test::isWindows())
        return w;
    std::vector<std::string> command =
        capture_under_test::windowsHelper("SONDREL_WINDOW_PROBE", "window_probe.exe");
    if (minimize)
        command.push_back("minimize");
    const std::string out = x.run(command).output;
    w.found = out.find("found=1") != std::string::npos;
    std::sscanf(out.c_str(), "found=1 style=0x%lx exstyle=0x%lx rect=%d,%d,%d,%d client=%d,%d,%d,%d", &w.style,
                &w.exStyle, &w.left, &w.top, &w.right, &w.bottom, &w.clientX, &w.clientY, &w.clientWidth,
                &w.clientHeight);
    return w;
}

TEST_F(PanelWindowTest, ShowOpensOneTopmostUtilityWindowOfTheRightSize) {
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    showAndWait(*capture);

    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);
    const std::string& window = windows[0];
    EXPECT_NE(x.property(window, "_NET_WM_NAME").find("\"" + title + "\""), std::string::npos)
        << x.property(window, "_NET_WM_NAME");
    if (capture_under_test::isWindows()) {
        // A tool window, topmost, with a caption and a close box and no sizing border,
        // outside 500 x 176 at (100, 100). (Wine shows a tool window to the window
        // manager as an ordinary one that skips the task bar.)
        const Win32Window w = probeWin32Window(x);
        ASSERT_TRUE(w.found);
        constexpr unsigned long toolWindow = 0x80, topmost = 0x8, modalFrame = 0x1;
        EXPECT_EQ(w.exStyle & (toolWindow | topmost | modalFrame), toolWindow | topmost | modalFrame);
        constexpr unsigned long caption = 0x00C00000, systemMenu = 0x00080000, sizingBorder = 0x00040000,
                                maximizeBox = 0x00010000;
        EXPECT_EQ(w.style & (caption | systemMenu | sizingBorder | maximizeBox), caption | systemMenu);
        EXPECT_EQ(w.left, 100);
        EXPECT_EQ(w.top, 100);
        EXPECT_EQ(w.right - w.left, 500);
        EXPECT_EQ(w.bottom - w.top, 176);
    } else {
        EXPECT_NE(x.property(window, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_UTILITY"),
                  std::string::npos);
        // Only moving and closing offered (functions 0x24), a border and a title (0x0a),
        // for window managers that honour the Motif hints.
        EXPECT_NE(x.property(window, "_MOTIF_WM_HINTS").find("= 0x3, 0x24, 0xa, 0x0, 0x0"), std::string::npos)
            << x.property(window, "_MOTIF_WM_HINTS");
    }

    // The window manager applies the state asynchronously.
    std::string state;
    for (int i = 0; i < 50 && state.find("_NET_WM_STATE_ABOVE") == std::string::npos; ++i) {
        state = x.property(window, "_NET_WM_STATE");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;

    // Not resizable: the size hints pin the size.
    const std::string hints = x.property(window, "WM_NORMAL_HINTS");
    const std::regex minSize(R"(minimum size: (\d+) by (\d+))"), maxSize(R"(maximum size: (\d+) by (\d+))");
    std::smatch minMatch, maxMatch;
    ASSERT_TRUE(std::regex_search(hints, minMatch, minSize)) << hints;
    ASSERT_TRUE(std::regex_search(hints, maxMatch, maxSize)) << hints;
    EXPECT_EQ(minMatch.str(0).substr(13), maxMatch.str(0).substr(13));

    expectOuterFrameInPlace(x, window);

    // A second "show" writes nothing and opens nothing.
    capture->command("show");
    expectSilence(*capture, 1500ms);
    EXPECT_EQ(x.findWindows("Sondrel", 0ms).size(), 1u);

    exitCleanly(*capture);
    // The last protocol line of a normal exit; library log lines may follow it.
    const std::vector<std::string> lines = capture->process->stdoutLines();
    const auto last = std::find_if(lines.rbegin(), lines.rend(), isJsonLine);
    ASSERT_NE(last, lines.rend());
    EXPECT_EQ(*last, hiddenLine);
}

TEST_F(PanelWindowTest, CloseBoxHidesOnceAndShowHideShowWorks) {
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    showAndWait(*capture);
    auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);

    // What the close box does: the window manager sends WM_DELETE_WINDOW.
    const CommandResult closed = x.run({"/usr/bin/wmctrl", "-i", "-c", windows[0]});
    ASSERT_TRUE(closed.status && *closed.status == 0);
    const auto hidden = capture->nextProtocolLine(10s);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(*hidden, hiddenLine);
    expectSilence(*capture, 1s);
    EXPECT_TRUE(x.findWindows("Sondrel", 5s, true).empty());

    showAndWait(*capture);
    EXPECT_EQ(x.findWindows("Sondrel", 10s).size(), 1u);
    capture->command("hide");
    const auto hiddenAgain = capture->nextProtocolLine(10s);
    ASSERT_TRUE(hiddenAgain);
    EXPECT_EQ(*hiddenAgain, hiddenLine);
    EXPECT_TRUE(x.findWindows("Sondrel", 5s, true).empty());
    showAndWait(*capture);
    EXPECT_EQ(x.findWindows("Sondrel", 10s).size(), 1u);

    exitCleanly(*capture);
}

TEST_F(PanelWindowTest, LoopDoesNotSpinWhileShownOrHidden) {
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    // Let start-up settle before measuring.
    std::this_thread::sleep_for(1s);
    const auto measure = [&] {
        const double before = capture->process->cpuSeconds();
        std::this_thread::sleep_for(3s);
        return capture->process->cpuSeconds() - before;
    };
    const double hiddenCpu = measure();
    showAndWait(*capture);
    std::this_thread::sleep_for(1s);
    const double shownCpu = measure();
    std::cout << "CPU over 3 s: hidden " << hiddenCpu << " s, shown " << shownCpu << " s\n";
    // A spinning loop would use a whole core (3 s) or more with the software renderer.
    EXPECT_LT(hiddenCpu, 1.0);
    if (capture_under_test::isWindows()) {
        // Wine draws Direct3D 9 through OpenGL on Mesa's software rasteriser: a frame of
        // the panel there takes 20 to 45 ms of CPU (21 to 47 frames a second, measured),
        // so a correctly paced panel already uses about 2.4 s of the 3 s and a spinning
        // one could not draw faster. On Windows the graphics card draws.
        exitCleanly(*capture);
        GTEST_SKIP() << "shown: Wine's software Direct3D makes drawing, not pacing, the bound";
    }
    EXPECT_LT(shownCpu, 1.5);
    exitCleanly(*capture);
}

// The meter's segments, in pixels, along the row where the green run is longest.
struct MeterRun {
    int green = 0;
    int yellow = 0;
    int red = 0;
};

MeterRun meterOf(const XView::Image& image) {
    int bestRow = -1, bestStart = 0, bestLength = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width;) {
            int end = x;
            while (end < image.width && image.at(end, y) == runningGreen)
                ++end;
            if (end - x > bestLength) {
                bestRow = y;
                bestStart = x;
                bestLength = end - x;
            }
            x = std::max(end, x + 1);
        }
    }
    MeterRun run;
    if (bestRow < 0)
        return run;
    int x = bestStart;
    const auto span = [&](const XView::Colour& colour) {
        const int from = x;
        while (x < image.width && image.at(x, bestRow) == colour)
            ++x;
        return x - from;
    };
    run.green = span(runningGreen);
    run.yellow = span(meterYellow);
    run.red = span(meterRed);
    return run;
}

// The meter level of a steady sine: its RMS in dB over a 60 dB range.
double levelOfSine(double amplitude) {
    return std::clamp((20.0 * std::log10(amplitude / std::sqrt(2.0)) + 60.0) / 60.0, 0.0, 1.0);
}

fs::path outputPath(const std::string& name) {
    fs::create_directories(SONDREL_UI_TEST_OUTPUT);
    return fs::path(SONDREL_UI_TEST_OUTPUT) / name;
}

TEST_F(PanelWindowTest, ScreenshotOfThePanelWithARunningStream) {
    XSession x(WindowManager::openbox);
    constexpr double amplitude = 0.8;
    mic->playTone(440.0, 48000, amplitude, 30.0);
    auto capture = startCapture(x);
    showAndWait(*capture);
    XView view(x.display());
    const auto window = view.findWindow("Sondrel");
    ASSERT_TRUE(window);

    // Capture starts a second or two after the stream is opened; the level then
    // settles within a few frames.
    const int expectedYellow = static_cast<int>((levelOfSine(amplitude) - 0.7) * 450.0);
    MeterRun meter;
    std::optional<XView::Image> picture;
    for (const Clock::time_point deadline = Clock::now() + 20s; Clock::now() < deadline;) {
        picture = view.grab(*window);
        if (picture) {
            meter = meterOf(*picture);
            if (meter.green == 315 && std::abs(meter.yellow - expectedYellow) <= 4)
                break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(picture);
    const fs::path png = outputPath(capture_under_test::isWindows() ? "panel-windows.png" : "panel.png");
    EXPECT_TRUE(picture->savePng(png));
    std::cout << "Screenshot of the panel: " << png.string() << "\n";

    // A sine of amplitude 0.8 is 4.9 dB below full scale: level 0.918, so green up
    // to 0.7 of the 450-pixel scale, yellow for the rest, no red.
    EXPECT_EQ(meter.green, 315) << png;
    EXPECT_NEAR(meter.yellow, expectedYellow, 4) << png;
    EXPECT_EQ(meter.red, 0) << png;
    // The status dot of a running stream is green too.
    EXPECT_GT(picture->count(runningGreen), 315 * 16) << png;

    // The whole screen, frame and title bar included, for people to look at.
    const std::string screen = capture_under_test::isWindows() ? "screen-windows" : "screen";
    const fs::path xwd = outputPath(screen + ".xwd");
    const CommandResult shot = x.run({"/usr/bin/xwd", "-root", "-silent", "-out", xwd.string()});
    if (shot.status && *shot.status == 0)
        runCommand({"/usr/bin/convert", "xwd:" + xwd.string(), outputPath(screen + ".png").string()}, {});
    mic->stopTone();
    exitCleanly(*capture);
}

// Opens one of the panel's four lists (0: host API ... 3: buffer size) and clicks one of
// its rows, the way a person does. ImGui's default layout: lists one font height plus
// 6 px high, 4 px apart, from (8, 8); list rows one font height plus 4 px apart, 8 px
// below the list's frame. The Windows build under Wine: Wine draws the caption inside
// the X window, so the client area starts below and right of its corner.
// ImGui's backends see a button only in its state when a frame begins, so every move,
// press and release is held until the panel has drawn a frame with it: a command takes
// one control-loop iteration, and each iteration draws one frame, so two echoed commands
// are a frame that began after the input. ("show" while shown changes nothing.) A fixed
// hold is not enough where Wine's software renderer takes longer than it per frame.
void chooseInList(Capture& capture, const XSession& x, const std::string& window, const Win32Window& w, int list,
                  int row) {
    const auto aFrameLater = [&] {
        capture.command("show");
        capture.command("show");
    };
    const int listHeight = fontPixels + 6;
    const int rowPitch = fontPixels + 4;
    const auto clickAt = [&](int px, int py) {
        x.run({"/usr/bin/xdotool", "mousemove", "--window", window, std::to_string(w.clientX + px),
               std::to_string(w.clientY + py)});
        aFrameLater();
        x.run({"/usr/bin/xdotool", "mousedown", "1"});
        aFrameLater();
        x.run({"/usr/bin/xdotool", "mouseup", "1"});
        aFrameLater();
    };
    const int top = 8 + list * (listHeight + 4);
    clickAt(60, top + listHeight / 2);
    clickAt(60, top + listHeight + 8 + row * rowPitch + fontPixels / 2);
}

void chooseSecondRate(Capture& capture, const XSession& x, const std::string& window, const Win32Window& w) {
    chooseInList(capture, x, window, w, 2, 1);
}

// The settings file, once it holds `text` (a start of capture writes it).
bool settingsReach(Capture& capture, const std::string& text) {
    for (int i = 0; i < 100; ++i) {
        if (capture.settings().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

TEST_F(PanelWindowTest, ChoosingARateInTheWindowRestartsCaptureAndSavesIt) {
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    showAndWait(*capture);
    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);
    const std::string& window = windows[0];
    // The stream has been started once the settings file exists.
    for (int i = 0; i < 100 && capture->settings().empty(); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_NE(capture->settings().find("\"sampleRate\": 44100.0"), std::string::npos) << capture->settings();
    // The shown line comes after the first frame is on screen: the panel takes clicks
    // from here on.

    chooseSecondRate(*capture, x, window, capture_under_test::isWindows() ? probeWin32Window(x) : Win32Window{});

    EXPECT_TRUE(settingsReach(*capture, "\"sampleRate\": 48000.0")) << capture->settings();
    // The log reaches its file at the latest when the process ends.
    exitCleanly(*capture);
    const std::string log = capture->log();
    const auto stopped = log.find("音频流已停止");
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_NE(log.find("音频流已启动", stopped), std::string::npos) << log;
}

TEST_F(PanelWindowTest, WithoutAWindowManagerTheTopmostFailureIsReported) {
    XSession x(WindowManager::none);
    auto capture = startCapture(x);
    if (capture_under_test::isWindows()) {
        // Windows keeps a topmost window above the others itself; no window manager
        // is asked, so nothing can fail.
        showAndWait(*capture);
        exitCleanly(*capture);
        return;
    }
    capture->command("show");
    const auto error = capture->nextProtocolLine(20s);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, "{ \"error\": \"50\" }");
    const auto shown = capture->nextProtocolLine(20s);
    ASSERT_TRUE(shown);
    EXPECT_EQ(*shown, shownLine);
    exitCleanly(*capture);
}

TEST_F(PanelWindowTest, WithoutADisplayShowFailsQuietlyAndCaptureGoesOn) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("SDL_VIDEODRIVER");
    auto capture = std::make_unique<Capture>(mic->environment());
    ASSERT_TRUE(capture->nextProtocolLine(20s));
    capture->command("show");
    expectSilence(*capture, 2s);
    EXPECT_TRUE(capture->process->running());
    capture->command("hide");
    const auto hidden = capture->nextProtocolLine(10s);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(*hidden, hiddenLine);
    exitCleanly(*capture);
    const std::string log = capture->log();
    EXPECT_NE(log.find("[ERROR] <Panel>"), std::string::npos) << log;
    EXPECT_NE(log.find("音频流已启动"), std::string::npos) << log;
}

TEST_F(PanelWindowTest, FirstPictureOfTheMappedWindowIsTheDrawnPanel) {
    if (capture_under_test::isWindows()) {
        // The window is shown after its first frame is presented. Wine's Direct3D draws
        // through OpenGL straight into the X window, which holds nothing while unmapped,
        // so that frame is lost there; and the first Present after mapping takes about
        // 0.5 s inside Wine (measured: mapped 0.16 s after ShowWindow, first picture
        // 0.68 s after it). On Windows the system keeps what was presented.
        GTEST_SKIP() << "Wine loses a frame presented to a window before it is mapped";
    }
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    XView view(x.display());
    std::vector<double> milliseconds;
    int pictures = 0, undrawn = 0;
    for (int i = 0; i < 10; ++i) {
        const Showing showing = watchShow(*capture, view);
        ASSERT_TRUE(showing.drawn) << "no panel in the window 30 s after show " << i << "\n" << capture->log();
        milliseconds.push_back(showing.millisecondsToDrawn);
        pictures += showing.samples;
        undrawn += showing.undrawnSamples;
        if (showing.undrawnSamples > 0)
            showing.firstPicture->savePng(outputPath("panel-undrawn.png"));
        else if (i == 0)
            showing.firstPicture->savePng(outputPath("panel-first-picture.png"));
        hideAndWait(*capture);
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    const double median = (milliseconds[4] + milliseconds[5]) / 2.0;
    std::cout << "show to first drawn frame over 10 showings: median " << median << " ms, worst "
              << milliseconds.back() << " ms; " << pictures << " pictures of the mapped window, " << undrawn
              << " of them without the panel\n";
    RecordProperty("show_to_drawn_median_ms", std::to_string(median));
    RecordProperty("show_to_drawn_worst_ms", std::to_string(milliseconds.back()));
    EXPECT_EQ(undrawn, 0) << "the mapped window was seen without the panel: " << outputPath("panel-undrawn.png");
    exitCleanly(*capture);
}

TEST_F(PanelWindowTest, UnusableFontFileFallsBackToTheBuiltInFont) {
    XSession x(WindowManager::openbox);
    mic->playTone(toneFrequency, 48000, 0.5, 60.0);
    for (const auto& [font, name] :
         {std::pair{FontFile::directory, "directory"}, {FontFile::garbage, "garbage"}}) {
        SCOPED_TRACE(name);
        auto capture = startCapture(x, font);
        WsTestClient client;
        ASSERT_TRUE(client.connect(capture->port, 10s));
        ASSERT_TRUE(client.waitForMessages(5, 10s));

        XView view(x.display());
        const Showing showing = watchShow(*capture, view);
        EXPECT_TRUE(showing.drawn) << capture->log();
        if (showing.firstPicture)
            showing.firstPicture->savePng(outputPath(std::string("panel-font-") + name + ".png"));
        ASSERT_TRUE(capture->process->running());
        // The audio went on through the showing and goes on with the window open.
        const std::size_t received = client.messageCount();
        EXPECT_TRUE(client.waitForMessages(received + messagesPerSecond, 5s));
        if (capture_under_test::isWindows()) {
            // Not measured under Wine: it draws Direct3D 9 in software, each frame taking
            // 20 to 45 ms of the CPU that Wine's audio thread shares, so on a loaded machine
            // the capture overflows while the window is shown (seen: 10 discontinuities at a
            // load of 3 to 10). That measures Wine's renderer, not the program; on Windows
            // the graphics card draws.
            std::cout << "audio continuity with the window shown: not measured under Wine (software Direct3D)\n";
        } else {
            EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 44100));
        }
        client.close(2s);

        hideAndWait(*capture);
        exitCleanly(*capture);
        const std::string log = capture->log();
        EXPECT_NE(log.find("[WARN] <Panel> 字体文件./SourceHanSansSC-VF.ttf不可用("), std::string::npos) << log;
    }
    mic->stopTone();
}

TEST_F(PanelWindowTest, LosingTheDisplayHidesThePanelAndStreamingGoesOn) {
    if (capture_under_test::isWindows()) {
        // Windows has no display connection that can break under a running program;
        // Wine's X11 driver ends the whole process with status 1 when its X server goes.
        GTEST_SKIP() << "no display to lose on Windows; Wine exits with its X server";
    }
    XSession x(WindowManager::openbox);
    mic->playTone(toneFrequency, 48000, 0.5, 60.0);
    auto capture = startCapture(x);
    WsTestClient client;
    ASSERT_TRUE(client.connect(capture->port, 10s));
    ASSERT_TRUE(client.waitForMessages(5, 10s));
    showAndWait(*capture);

    x.killServer();
    const auto hidden = capture->nextProtocolLine(10s);
    ASSERT_TRUE(hidden) << "no line after the display went away; exit status "
                        << capture->process->waitExit(5s).value_or(-1) << "\n"
                        << capture->process->stderrText();
    EXPECT_EQ(*hidden, hiddenLine);
    ASSERT_TRUE(capture->process->running());
    const std::size_t received = client.messageCount();
    EXPECT_TRUE(client.waitForMessages(received + 2 * messagesPerSecond, 10s)) << "audio stopped with the display";
    EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 2 * 44100));
    expectSilence(*capture, 1s);
    client.close(2s);
    exitCleanly(*capture);
    mic->stopTone();

    const std::string log = capture->log();
    EXPECT_EQ(countOccurrences(log, "[ERROR] <Panel>"), 1u) << log;
    EXPECT_NE(log.find("[ERROR] <Panel> 与显示服务器的连接已断开, 控制面板已关闭"), std::string::npos) << log;
}

TEST_F(PanelWindowTest, ShowBringsBackAMinimisedWindow) {
    XSession x(WindowManager::openbox);
    auto capture = startCapture(x);
    showAndWait(*capture);
    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);
    XView view(x.display());
    const auto window = view.findWindow("Sondrel");
    ASSERT_TRUE(window);
    const auto becomesViewable = [&](bool wanted) {
        for (const Clock::time_point deadline = Clock::now() + 5s; Clock::now() < deadline;) {
            if (view.viewable(*window) == wanted)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    };

    if (capture_under_test::isWindows()) {
        // Windows offers no way to minimise a window without a minimise box, and Wine
        // follows a window manager's iconify only for windows that have one: another
        // program minimises it, as Windows' "show desktop" does.
        constexpr unsigned long minimized = 0x20000000;
        EXPECT_TRUE(probeWin32Window(x, true).style & minimized);
    } else {
        // openbox offers minimising whatever the window asks for.
        x.run({"/usr/bin/xdotool", "windowminimize", windows[0]});
    }
    ASSERT_TRUE(becomesViewable(false)) << "the window manager did not minimise the window";
    EXPECT_NE(x.property(windows[0], "_NET_WM_STATE").find("_NET_WM_STATE_HIDDEN"), std::string::npos);

    capture->command("show");
    EXPECT_TRUE(becomesViewable(true)) << "still minimised after show";
    EXPECT_EQ(x.property(windows[0], "_NET_WM_STATE").find("_NET_WM_STATE_HIDDEN"), std::string::npos);
    // openbox animates the window back; the panel is there once it has.
    EXPECT_TRUE(waitUntilDrawn(view, 5s));
    // The window was open all along: no line.
    expectSilence(*capture, 1s);
    exitCleanly(*capture);
}

// Resident memory of the [heap] mapping, where glibc keeps what it has not given back.
long heapKiB(pid_t pid) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    bool inHeap = false;
    long kib = 0;
    while (std::getline(smaps, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
            line.find('-') != std::string::npos)
            inHeap = line.ends_with("[heap]");
        else if (inHeap && line.starts_with("Rss:"))
            kib += std::atol(line.c_str() + 4);
    }
    return kib;
}

TEST_F(PanelWindowTest, HidingGivesTheWindowsMemoryBack) {
    XSession x(WindowManager::openbox);
    // Under Wine, Mesa's allocations for each showing (its shader compiler's, the font
    // texture's) come from glibc on Wine's Unix side, in the thread that draws. In some
    // runs every showing's new drawing thread got a new glibc arena and left about 10 to
    // 12 MB behind in it, 16 times over (glibc's limit of eight arenas per core), with
    // nothing of ours held. One arena for all threads makes what is measured the
    // program's.
    const std::vector<std::string> oneArena{"MALLOC_ARENA_MAX=1"};
    auto capture = startCapture(x, withFont ? FontFile::shipped : FontFile::missing,
                                capture_under_test::isWindows() ? oneArena : std::vector<std::string>{});
    ChildProcess& process = *capture->process;
    // Capture has started once the settings are saved.
    for (int i = 0; i < 100 && capture->settings().empty(); ++i)
        std::this_thread::sleep_for(100ms);
    const long beforeKiB = process.residentKiB();
    const long heapBeforeKiB = heapKiB(process.pid());

    showAndWait(*capture);
    XView view(x.display());
    ASSERT_TRUE(waitUntilDrawn(view, 10s));
    const long shownKiB = process.residentKiB();
    hideAndWait(*capture);
    std::vector<long> hiddenKiB{process.residentKiB()};
    const long heapHiddenKiB = heapKiB(process.pid());
    for (int cycle = 2; cycle <= 20; ++cycle) {
        showAndWait(*capture);
        hideAndWait(*capture);
        hiddenKiB.push_back(process.residentKiB());
    }

    std::cout << "RSS: " << beforeKiB << " KiB before the first show, " << shownKiB << " KiB shown, "
              << hiddenKiB.front() << " KiB after hiding, " << hiddenKiB.back()
              << " KiB after 20 show/hide cycles\n"
              << "heap: " << heapBeforeKiB << " KiB before the first show, " << heapHiddenKiB
              << " KiB after hiding\nRSS after each hide (KiB):";
    for (long kib : hiddenKiB)
        std::cout << " " << kib;
    std::cout << "\n";
    RecordProperty("rss_before_kib", std::to_string(beforeKiB));
    RecordProperty("rss_shown_kib", std::to_string(shownKiB));
    RecordProperty("rss_hidden_kib", std::to_string(hiddenKiB.front()));
    RecordProperty("rss_after_cycles_kib", std::to_string(hiddenKiB.back()));
#ifndef SONDREL_SANITIZED
    // The sanitizers' allocators keep freed memory in quarantine on purpose.
    EXPECT_LE(hiddenKiB.back() - hiddenKiB.front(), 5 * 1024) << "memory grows with every showing";
    // Under Wine, [heap] is glibc's heap of Wine's own Unix side (its X11 driver, Mesa),
    // not the program's Windows heap.
    if (!capture_under_test::isWindows()) {
        EXPECT_LE(heapHiddenKiB - heapBeforeKiB, 6 * 1024) << "the freed heap of the window was kept";
    }
#endif
    exitCleanly(*capture);
}

TEST_F(PanelWindowTest, WindowManagerWithoutFramesDoesNotHoldUpTheShow) {
    XSession x(WindowManager::openboxWithoutFrames);
    auto capture = startCapture(x);
    XView view(x.display());
    ASSERT_TRUE(capture->process->writeStdin("show\n"));
    std::optional<XView::WindowId> window;
    for (const Clock::time_point deadline = Clock::now() + 30s; Clock::now() < deadline;) {
        if (!window)
            window = view.findWindow("Sondrel");
        if (window && view.viewable(*window))
            break;
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(window && view.viewable(*window)) << capture->log();
    const Clock::time_point mapped = Clock::now();
    capture->waitForEcho("show");
    const auto shown = capture->nextProtocolLine(20s);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - mapped);
    ASSERT_TRUE(shown);
    EXPECT_EQ(*shown, shownLine);
    std::cout << "from the window on screen to the shown line: " << waited.count() << " ms\n";
    // Nothing is left to do after mapping but one frame; waiting for a frame that this
    // window manager never draws would hold the control loop for a second. The Windows
    // build waits for no window manager (ShowWindow returns at once); under Wine the time
    // is one frame of its software Direct3D, which a busy machine stretches past the
    // bound (985 ms seen at a load of 5), so there it is only printed.
    if (!capture_under_test::isWindows()) {
        EXPECT_LT(waited, 900ms);
    }

    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_NE(x.property(windows[0], "_NET_FRAME_EXTENTS").find("= 0, 0, 0, 0"), std::string::npos)
        << x.property(windows[0], "_NET_FRAME_EXTENTS");
    expectOuterFrameInPlace(x, windows[0]);
    exitCleanly(*capture);
}

// Wine's display DPI (its LogPixels setting) for the programs started while it lives.
class WineDpi {
public:
    WineDpi(const XSession& x, int dpi) : x(x) {
        const CommandResult set = x.run({capture_under_test::wineRun(), "reg", "add", key, "/v", "LogPixels", "/t",
                                         "REG_DWORD", "/d", std::to_string(dpi), "/f"});
        applied = set.status && *set.status == 0;
    }
    ~WineDpi() { x.run({capture_under_test::wineRun(), "reg", "delete", key, "/v", "LogPixels", "/f"}); }
    WineDpi(const WineDpi&) = delete;
    WineDpi& operator=(const WineDpi&) = delete;

    bool applied = false;

private:
    static constexpr const char* key = "HKCU\\Control Panel\\Desktop";
    const XSession& x;
};

// At 150 % (144 DPI) the Windows build scales its window and everything drawn in it, and
// takes clicks where the scaled panel shows its lists.
TEST_F(PanelWindowTest, WindowAndPanelScaleWithTheDisplayDpi) {
    if (!capture_under_test::isWindows())
        GTEST_SKIP() << "the Windows build under Wine only";
    XSession x(WindowManager::openbox);
    const WineDpi dpi(x, 144);
    ASSERT_TRUE(dpi.applied);
    constexpr double amplitude = 0.8;
    mic->playTone(440.0, 48000, amplitude, 60.0);
    auto capture = startCapture(x);
    showAndWait(*capture);
    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);

    // Outer frame and position of a 96-DPI display, times 1.5.
    const Win32Window w = probeWin32Window(x);
    ASSERT_TRUE(w.found);
    EXPECT_EQ(w.left, 150);
    EXPECT_EQ(w.top, 150);
    EXPECT_EQ(w.right - w.left, 750);
    EXPECT_EQ(w.bottom - w.top, 264);

    // The meter is drawn at 1.5 times its 96-DPI length: green up to 0.7 of 675 pixels.
    XView view(x.display());
    const auto window = view.findWindow("Sondrel");
    ASSERT_TRUE(window);
    MeterRun meter;
    std::optional<XView::Image> picture;
    for (const Clock::time_point deadline = Clock::now() + 20s; Clock::now() < deadline;) {
        picture = view.grab(*window);
        if (picture && (meter = meterOf(*picture)).green >= 470)
            break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(picture);
    const fs::path png = outputPath("panel-windows-150.png");
    EXPECT_TRUE(picture->savePng(png));
    std::cout << "Screenshot of the panel at 150 %: " << png.string() << "\n";
    EXPECT_NEAR(meter.green, 472, 2) << png;
    EXPECT_NEAR(meter.yellow, static_cast<int>((levelOfSine(amplitude) - 0.7) * 675.0), 6) << png;

    // The mouse is taken in the same units: the sample-rate list, 200 x 71 in 96-DPI
    // units (past its text), lights up when the pointer is on its scaled place. (A
    // hover needs no timing; a click must be held across a frame, which Wine's software
    // renderer makes long on a busy machine.)
    const int listHeight = fontPixels + 6;
    const int px = w.clientX + static_cast<int>(std::lround(200 * 1.5));
    const int py = w.clientY + static_cast<int>(std::lround((8 + 2 * (listHeight + 4) + listHeight / 2) * 1.5));
    const XView::Colour white{255, 255, 255};
    ASSERT_EQ(picture->at(px, py), white) << png;
    x.run({"/usr/bin/xdotool", "mousemove", "--window", windows[0], std::to_string(px), std::to_string(py)});
    bool lit = false;
    for (const Clock::time_point deadline = Clock::now() + 10s; !lit && Clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
        picture = view.grab(*window);
        lit = picture && !(picture->at(px, py) == white);
    }
    EXPECT_TRUE(lit) << "the list under the pointer did not light up";
    mic->stopTone();
    exitCleanly(*capture);
    EXPECT_NE(capture->log().find("[INFO] <Panel> 显示比例 150%"), std::string::npos) << capture->log();
}

// WASAPI, the third host API of the Windows build, chosen in the window with its default
// input at 48000 Hz, streams the tone.
TEST_F(PanelWindowTest, WasapiChosenInTheWindowStreamsTheTone) {
    if (!capture_under_test::isWindows())
        GTEST_SKIP() << "the Windows build under Wine only";
    XSession x(WindowManager::openbox);
    mic->playTone(toneFrequency, 48000, 0.5, 90.0);
    auto capture = startCapture(x);
    showAndWait(*capture);
    const auto windows = x.findWindows("Sondrel", 10s);
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_TRUE(settingsReach(*capture, "\"hostApiType\": 2,")) << capture->settings();
    const Win32Window w = probeWin32Window(x);
    ASSERT_TRUE(w.found);

    constexpr int hostApiList = 0, wasapiRow = 2;
    chooseInList(*capture, x, windows[0], w, hostApiList, wasapiRow);
    ASSERT_TRUE(settingsReach(*capture, "\"hostApiType\": 13,")) << "WASAPI not chosen\n" << capture->settings();
    chooseSecondRate(*capture, x, windows[0], w);
    ASSERT_TRUE(settingsReach(*capture, "\"sampleRate\": 48000.0")) << capture->settings();

    // Measured with the window hidden: Wine draws it in software (see above).
    hideAndWait(*capture);
    WsTestClient client;
    ASSERT_TRUE(client.connect(capture->port, 10s));
    ASSERT_TRUE(client.waitForMessages(3 * messagesPerSecond, 15s));
    // The tone, whole messages of it. Its continuity through WASAPI is asserted by the
    // process-level test (CaptureE2eTest.WasapiInputAt48kHzStreamsTheTone); here, right
    // after two restarts of capture on a busy machine, Wine's audio thread was seen to
    // drop a buffer (2 discontinuities in 3 s at a load of 10).
    const StreamCheck check = analyseMessages(client.messages());
    EXPECT_EQ(check.badMessages, 0u);
    EXPECT_GE(check.analysis.analysedCount, 2u * 44100u) << check.analysis.describe();
    EXPECT_NEAR(check.analysis.frequency, toneFrequency, 2.0) << check.analysis.describe();
    EXPECT_NEAR(check.analysis.amplitude, 0.5, 0.05) << check.analysis.describe();
    client.close(2s);
    mic->stopTone();
    exitCleanly(*capture);
    const std::string log = capture->log();
    EXPECT_NE(log.find("已配置为使用Windows WASAPI"), std::string::npos) << log;
    EXPECT_EQ(capture->settings().find("\"inputDevice\": -1"), std::string::npos) << capture->settings();
}

} // namespace
