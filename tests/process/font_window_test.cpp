// The settings window's font as the user and the parent see it: the atlas follows the
// catalogue while the window is open, a showing holds back no command, and files another
// user could have planted in the working directory are not used.
#include "capture_run.h"
#include "capture_under_test.h"
#include "x_session.h"
#include "x_view.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#include <stb/stb_truetype.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Under a sanitizer every allocation is slow; the window still opens within this.
constexpr auto lineWait = 60s;

// Pixels of text: where the glyph covers at least half the pixel.
struct Ink {
    int width = 0;
    int height = 0;
    std::vector<bool> at;

    bool operator()(int x, int y) const { return at[static_cast<std::size_t>(y) * width + x]; }
    int count() const { return static_cast<int>(std::count(at.begin(), at.end(), true)); }
};

// The text the font file itself draws for these characters at 16 px, as ImGui lays
// them out: advance by advance from a pen at 0 on the baseline.
Ink renderWithFont(const std::u32string& text) {
    std::ifstream in(SONDREL_PANEL_FONT, std::ios::binary);
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    stbtt_fontinfo font;
    if (bytes.empty() || !stbtt_InitFont(&font, bytes.data(), stbtt_GetFontOffsetForIndex(bytes.data(), 0)))
        return {};
    const float scale = stbtt_ScaleForPixelHeight(&font, 16.0f);
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&font, &ascent, &descent, &gap);
    const int baseline = static_cast<int>(std::ceil(ascent * scale));
    Ink ink;
    ink.height = 20;
    ink.width = 20 * static_cast<int>(text.size()) + 4;
    std::vector<unsigned char> coverage(static_cast<std::size_t>(ink.width) * ink.height);
    float pen = 0.0f;
    for (const char32_t c : text) {
        const int glyph = stbtt_FindGlyphIndex(&font, static_cast<int>(c));
        int advance = 0, bearing = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        stbtt_GetGlyphHMetrics(&font, glyph, &advance, &bearing);
        const float shift = pen - std::floor(pen);
        stbtt_GetGlyphBitmapBoxSubpixel(&font, glyph, scale, scale, shift, 0, &x0, &y0, &x1, &y1);
        const int w = x1 - x0, h = y1 - y0;
        std::vector<unsigned char> glyphPixels(static_cast<std::size_t>(std::max(w, 0) * std::max(h, 0)));
        if (w > 0 && h > 0)
            stbtt_MakeGlyphBitmapSubpixel(&font, glyphPixels.data(), w, h, w, scale, scale, shift, 0, glyph);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int cx = static_cast<int>(std::floor(pen)) + x0 + x, cy = baseline + y0 + y;
                if (cx >= 0 && cx < ink.width && cy >= 0 && cy < ink.height) {
                    unsigned char& c = coverage[static_cast<std::size_t>(cy) * ink.width + cx];
                    c = std::max(c, glyphPixels[static_cast<std::size_t>(y) * w + x]);
                }
            }
        }
        pen += static_cast<float>(advance) * scale;
    }
    ink.at.resize(coverage.size());
    std::transform(coverage.begin(), coverage.end(), ink.at.begin(), [](unsigned char c) { return c >= 128; });
    return ink;
}

// Dark pixels of a part of the window: ImGui draws the text black on the light list frame.
Ink inkOf(const XView::Image& image, int left, int top, int width, int height) {
    Ink ink;
    ink.width = width;
    ink.height = height;
    for (int y = top; y < top + height; ++y) {
        for (int x = left; x < left + width; ++x) {
            const XView::Colour c = image.at(x, y);
            ink.at.push_back(0.299 * c.r + 0.587 * c.g + 0.114 * c.b < 128.0);
        }
    }
    return ink;
}

// How well the expected text matches the picture at the place it matches best: twice the
// shared ink over the ink of both (1 for the same pixels).
double bestMatch(const Ink& picture, const Ink& expected) {
    double best = 0.0;
    const int inkExpected = expected.count();
    for (int dy = 0; dy + expected.height <= picture.height; ++dy) {
        for (int dx = 0; dx + expected.width <= picture.width; ++dx) {
            int shared = 0, inkPicture = 0;
            for (int y = 0; y < expected.height; ++y) {
                for (int x = 0; x < expected.width; ++x) {
                    const bool p = picture(dx + x, dy + y);
                    inkPicture += p;
                    shared += p && expected(x, y);
                }
            }
            if (inkPicture + inkExpected > 0)
                best = std::max(best, 2.0 * shared / (inkPicture + inkExpected));
        }
    }
    return best;
}

fs::path outputPath(const std::string& name) {
    fs::create_directories(SONDREL_UI_TEST_OUTPUT);
    return fs::path(SONDREL_UI_TEST_OUTPUT) / name;
}

class FontWindowTest : public CaptureTest {
protected:
    FontWindowTest() : CaptureTest(120.0) {}

    void startOn(const XSession& x, CaptureRun::Options options = {}) {
        options.extraEnvironment.push_back(x.environment());
        for (const std::string& entry : windowProcessSanitizerEnvironment())
            options.extraEnvironment.push_back(entry);
        start(std::move(options));
    }

    // Sends a command and returns the next protocol line that starts with `answer`.
    std::optional<std::string> ask(const std::string& command, const std::string& answer) {
        EXPECT_TRUE(run->command(command, lineWait)) << command;
        return run->process().waitForLine([&](const std::string& line) { return line.starts_with(answer); },
                                          lineWait);
    }

    void showAndWait() {
        ASSERT_TRUE(run->command("show", lineWait));
        const auto line = run->nextProtocolLine(lineWait);
        ASSERT_TRUE(line) << run->logText();
        ASSERT_EQ(*line, shownLine);
    }
    void hideAndWait() {
        ASSERT_TRUE(run->command("hide", lineWait));
        const auto line = run->nextProtocolLine(lineWait);
        ASSERT_TRUE(line) << run->logText();
        ASSERT_EQ(*line, hiddenLine);
    }
};

// A device whose name has characters the atlas was not built for appears while the
// window is open (an ALSA device of the user's own configuration, added and then listed
// by the parent's "devices", which refreshes the catalogue as the window's button does).
// Once the parent selects it, the device list's preview shows the name: the picture of
// that text must be the font's own drawing of it, not replacement boxes. Its last
// character lies beyond the Basic Multilingual Plane, which this ImGui draws as the
// font's U+FFFD.
TEST_F(FontWindowTest, ANameARefreshBringsIsDrawnWithItsOwnGlyphs) {
    if (capture_under_test::isWindows())
        GTEST_SKIP() << "the device names come from ALSA's configuration, which Windows programs do not read";
    if (!fs::is_regular_file(SONDREL_PANEL_FONT))
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    const fs::path asoundrc = fs::path(mic->directory()) / ".asoundrc";
    std::ofstream(asoundrc) << "pcm.\"麦克风\" { type pulse }\n";
    XSession x(XSession::WindowManager::openbox);
    startOn(x);
    showAndWait();

    const std::string name = "蓝牙耳机\xF0\x9F\x8E\xA7";
    std::ofstream(asoundrc, std::ios::app) << "pcm.\"" << name << "\" { type pulse }\n";
    const auto devices = ask("devices", "{ \"devices\": ");
    ASSERT_TRUE(devices) << run->logText();
    int index = -1;
    const nlohmann::json listed = nlohmann::json::parse(*devices);
    for (const auto& device : listed["devices"])
        if (device["name"] == name)
            index = device["index"];
    ASSERT_GE(index, 0) << "PortAudio did not list the new device: " << *devices;
    const auto selected = ask("select {\"inputDevice\": " + std::to_string(index) + "}", "{ \"selected\": ");
    ASSERT_TRUE(selected) << run->logText();

    // The device list is the second, below the host API list: 8 px of window padding, a
    // list 22 px high (16 px text), 4 px between; its preview text starts 4 px in.
    const Ink expected = renderWithFont(U"蓝牙耳机\uFFFD");
    const Ink stale = renderWithFont(U"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
    ASSERT_GT(expected.count(), 100);
    XView view(x.display());
    const auto window = view.findWindow("Sondrel");
    ASSERT_TRUE(window);
    std::optional<XView::Image> picture;
    double match = 0.0, staleMatch = 0.0;
    for (const Clock::time_point deadline = Clock::now() + 20s; Clock::now() < deadline && match < 0.8;) {
        std::this_thread::sleep_for(100ms);
        picture = view.grab(*window);
        if (!picture || picture->width < 200 || picture->height < 60)
            continue;
        const Ink preview = inkOf(*picture, 8, 30, 190, 30);
        match = bestMatch(preview, expected);
        staleMatch = bestMatch(preview, stale);
    }
    ASSERT_TRUE(picture);
    const fs::path png = outputPath("panel-new-name.png");
    picture->savePng(png);
    std::cout << "match with the font's drawing " << match << ", with replacement boxes " << staleMatch << "; "
              << png << "\n";
    EXPECT_GE(match, 0.8) << png;
    EXPECT_LT(staleMatch, match - 0.3) << png;

    // One atlas for the showing, one more for the new name. The log is complete once the
    // process has ended.
    ASSERT_TRUE(run->command("exit", lineWait));
    ASSERT_TRUE(run->process().waitExit(lineWait));
    const std::string log = run->logText();
    EXPECT_EQ(countOccurrences(log, "控制面板字体图集: "), 2u) << log;
}

// What the parent sends right behind "show" is taken in order once the window is open,
// each answer after the one before.
TEST_F(FontWindowTest, CommandsSentWithShowAreAnsweredInOrder) {
    XSession x(XSession::WindowManager::openbox);
    startOn(x);
    const std::string refused = "select {\"sampleRate\": 22050}";
    ASSERT_TRUE(run->process().writeStdin("show\n" + refused + "\nhide\nshow\n"));
    std::vector<std::string> lines;
    while (lines.size() < 8) {
        const auto line = run->nextProtocolLine(lineWait);
        ASSERT_TRUE(line) << "after " << lines.size() << " lines\n" << run->logText();
        lines.push_back(*line);
    }
    const std::vector<std::string> expected{
        "Getting command: show",       shownLine,
        "Getting command: " + refused, "{ \"selectError\": \"不支持的采样率: 22050\" }",
        "Getting command: hide",       hiddenLine,
        "Getting command: show",       shownLine};
    EXPECT_EQ(lines, expected);
    ASSERT_TRUE(run->command("exit", lineWait));
}

// A font or layout file that another user could have changed is refused with a warning,
// and the window opens all the same; the layout ImGui keeps is written private to us.
// Started from a folder without the font (a user's, or the parent's), the window still
// draws its Chinese labels: the program finds a font with those glyphs elsewhere, and the
// log says which it used.
TEST_F(FontWindowTest, WithoutAFontInTheWorkingDirectoryTheSystemsChineseFontIsUsed) {
    if (capture_under_test::isWindows())
        GTEST_SKIP() << "Wine has no Microsoft YaHei, the Windows build's system font";
    const fs::path systemFont = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
    if (!fs::is_regular_file(systemFont))
        GTEST_SKIP() << "no " << systemFont;
    XSession x(XSession::WindowManager::openbox);
    CaptureRun::Options options;
    options.fontInWorkingDirectory = false;
    startOn(x, options);
    ASSERT_FALSE(fs::exists(run->directory() / "SourceHanSansSC-VF.ttf"));
    showAndWait();
    hideAndWait();
    ASSERT_TRUE(run->command("exit", lineWait));
    ASSERT_TRUE(run->process().waitExit(lineWait));
    const std::string log = run->logText();
    // Nothing beside the program or installed with it on the test machine: fontconfig's
    // Simplified Chinese font.
    EXPECT_NE(log.find("[INFO] <Panel> 控制面板字体文件: " + systemFont.string() + " (系统字体)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("未找到可用的字体文件"), std::string::npos) << log;
    EXPECT_EQ(log.find("[WARN] <Panel> 字体文件"), std::string::npos) << log;
    EXPECT_NE(log.find("<Panel> 控制面板字体图集: "), std::string::npos) << log;
}

TEST_F(FontWindowTest, FilesOthersCouldChangeAreNotUsedAndTheLayoutIsPrivate) {
    if (capture_under_test::isWindows())
        GTEST_SKIP() << "Windows keeps the files' ownership as it was: any regular file is used";
    if (!fs::is_regular_file(SONDREL_PANEL_FONT))
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    XSession x(XSession::WindowManager::openbox);
    const mode_t umaskBefore = umask(0);
    startOn(x);
    umask(umaskBefore);
    const fs::path font = run->directory() / "SourceHanSansSC-VF.ttf";
    const fs::path ini = run->directory() / "imgui.ini";

    // Our own files: the layout is written 0600 whatever the umask (0 here).
    showAndWait();
    hideAndWait();
    struct stat status {};
    ASSERT_EQ(stat(ini.c_str(), &status), 0) << "no imgui.ini after a showing";
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    // Both made group-writable: neither is used, the layout is not written, the window opens.
    fs::remove(font);
    fs::copy_file(SONDREL_PANEL_FONT, font);
    ASSERT_EQ(chmod(font.c_str(), 0664), 0);
    ASSERT_EQ(chmod(ini.c_str(), 0666), 0);
    std::ofstream(ini, std::ios::app) << "; planted\n";
    const std::string planted = readWholeFile(ini);
    showAndWait();
    hideAndWait();
    ASSERT_TRUE(run->command("exit", lineWait));
    ASSERT_TRUE(run->process().waitExit(lineWait));
    EXPECT_EQ(readWholeFile(ini), planted);
    const std::string log = run->logText();
    EXPECT_NE(
        log.find("[WARN] <Panel> 字体文件./SourceHanSansSC-VF.ttf不可用(组或其他用户可写), 尝试下一个字体文件"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("[WARN] <Panel> 窗口布局文件imgui.ini不可用(组或其他用户可写), 不读取也不保存窗口布局"),
              std::string::npos)
        << log;
}

} // namespace
