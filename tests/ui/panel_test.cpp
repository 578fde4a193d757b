#include "meter.h"
#include "panel_harness.h"

#include "logger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const ImU32 green = IM_COL32(0, 204, 0, 255);
const ImU32 grey = IM_COL32(128, 128, 128, 255);
const ImU32 yellow = IM_COL32(255, 255, 102, 255);
const ImU32 red = IM_COL32(255, 51, 51, 255);

TEST(MeterWidths, SegmentsAtTypicalLevels) {
    EXPECT_EQ(meterWidths(0.0f).green, 0);
    EXPECT_EQ(meterWidths(0.0f).yellow, 0);
    EXPECT_EQ(meterWidths(0.0f).red, 0);

    EXPECT_EQ(meterWidths(0.5f).green, 225);
    EXPECT_EQ(meterWidths(0.5f).yellow, 0);

    const MeterWidths loud = meterWidths(0.8f);
    EXPECT_EQ(loud.green, 315);
    EXPECT_EQ(loud.yellow, 45);
    EXPECT_EQ(loud.red, 0);

    const MeterWidths full = meterWidths(1.0f);
    EXPECT_EQ(full.green, 315);
    EXPECT_EQ(full.yellow, 135);
    EXPECT_EQ(full.red, 22);
}

TEST(MeterWidths, FloatThresholdsLightNothingAbove) {
    // 0.7f and 0.95f are slightly below the double thresholds.
    const MeterWidths atYellow = meterWidths(0.7f);
    EXPECT_EQ(atYellow.green, 314);
    EXPECT_EQ(atYellow.yellow, 0);
    EXPECT_EQ(atYellow.red, 0);

    const MeterWidths atRed = meterWidths(0.95f);
    EXPECT_EQ(atRed.green, 315);
    EXPECT_EQ(atRed.yellow, 112);
    EXPECT_EQ(atRed.red, 0);
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class PanelTest : public ::testing::Test {
protected:
    PanelTest() {
        logPath = dir / "panel.log";
        Logger::instance().openFile(logPath.string());
        engine = std::make_unique<FakeEngine>((dir / "settings.json").string());
        engine->hostApis = {
            {"ALSA", 8, 3, 1, 0},
            {"JACK", 12, 2, 4, 3},
            {"OSS", 7, 1, -1, -1},
        };
        engine->devices = {
            device(0, "hw:speaker", 0, 8, 0, 2),      device(1, "pulse", 0, 8, 32, 32),
            device(2, "default", 0, 8, 32, 32),       device(3, "jack playback", 1, 12, 0, 2),
            device(4, "system capture", 1, 12, 2, 0), device(5, "dsp", 2, 7, 1, 1),
        };
        engine->hostApiIndex = 0;
        engine->deviceIndex = 1;
        engine->level = 0.0f;
        harness = std::make_unique<PanelHarness>(*engine);
    }

    ~PanelTest() override {
        harness.reset();
        engine.reset();
        Logger::instance().openFile((dir / "closed.log").string());
    }

    static DeviceEntry device(int index, const char* name, int hostApi, int type, int inputs, int outputs) {
        DeviceEntry entry;
        entry.index = index;
        entry.name = name;
        entry.hostApi = hostApi;
        entry.hostApiType = type;
        entry.maxInputChannels = inputs;
        entry.maxOutputChannels = outputs;
        return entry;
    }

    std::string log() {
        Logger::instance().flush();
        return readFile(logPath);
    }

    bool settingsSaved() const { return fs::exists(dir / "settings.json"); }

    nlohmann::json settings() const { return nlohmann::json::parse(readFile(dir / "settings.json")); }

    // The meter's reference point P, from the centre of the grey status dot.
    ImVec2 meterOrigin() {
        const std::vector<Vertex> dot = harness->verticesOf(grey);
        EXPECT_FALSE(dot.empty());
        float x = 0, y = 0;
        for (const Vertex& v : dot) {
            x += v.x;
            y += v.y;
        }
        const float n = static_cast<float>(dot.size());
        return ImVec2(x / n - 8.0f, y / n - 6.0f);
    }

    struct Span {
        float left, top, right, bottom;
    };
    std::optional<Span> rectOf(ImU32 colour) {
        const std::vector<Vertex> corners = harness->verticesOf(colour);
        if (corners.empty())
            return std::nullopt;
        EXPECT_EQ(corners.size(), 4u);
        Span span{corners[0].x, corners[0].y, corners[0].x, corners[0].y};
        for (const Vertex& v : corners) {
            span.left = std::min(span.left, v.x);
            span.right = std::max(span.right, v.x);
            span.top = std::min(span.top, v.y);
            span.bottom = std::max(span.bottom, v.y);
        }
        return span;
    }

    const TempDir dir{"sondrel-panel"};
    fs::path logPath;
    std::unique_ptr<FakeEngine> engine;
    std::unique_ptr<PanelHarness> harness;
};

TEST_F(PanelTest, MeterRectanglesFollowTheLevel) {
    struct Case {
        float level;
        float green;
        std::optional<float> yellow;
        std::optional<float> red;
    };
    for (const Case& c :
         {Case{0.0f, 0.0f, {}, {}}, Case{0.8f, 315.0f, 45.0f, {}}, Case{1.0f, 315.0f, 135.0f, 22.0f},
          Case{0.7f, 314.0f, {}, {}}, Case{0.95f, 315.0f, 112.0f, {}}}) {
        SCOPED_TRACE(c.level);
        engine->level = c.level;
        harness->frame();
        const ImVec2 p = meterOrigin();
        const float bx = p.x + 26.0f, by = p.y - 2.0f;

        // The green rectangle is submitted even with no width.
        const auto g = rectOf(green);
        ASSERT_TRUE(g);
        EXPECT_FLOAT_EQ(g->left, bx);
        EXPECT_FLOAT_EQ(g->right, bx + c.green);
        EXPECT_FLOAT_EQ(g->top, by);
        EXPECT_FLOAT_EQ(g->bottom, by + 17.0f);

        const auto y = rectOf(yellow);
        EXPECT_EQ(y.has_value(), c.yellow.has_value());
        if (y && c.yellow) {
            EXPECT_FLOAT_EQ(y->left, bx + 315.0f);
            EXPECT_FLOAT_EQ(y->right, bx + 315.0f + *c.yellow);
            EXPECT_FLOAT_EQ(y->bottom - y->top, 17.0f);
        }
        const auto r = rectOf(red);
        EXPECT_EQ(r.has_value(), c.red.has_value());
        if (r && c.red) {
            EXPECT_FLOAT_EQ(r->left, bx + 427.5f);
            EXPECT_FLOAT_EQ(r->right, bx + 427.5f + *c.red);
            EXPECT_FLOAT_EQ(r->bottom - r->top, 17.0f);
        }
    }
}

TEST_F(PanelTest, RedIsDrawnOverYellowOverGreen) {
    engine->level = 1.0f;
    harness->frame();
    const ImDrawList* list = harness->audioWindow()->DrawList;
    int firstGreen = -1, firstYellow = -1, firstRed = -1;
    for (int i = 0; i < list->VtxBuffer.Size; ++i) {
        const ImU32 col = list->VtxBuffer[i].col;
        if (col == green && firstGreen < 0)
            firstGreen = i;
        if (col == yellow && firstYellow < 0)
            firstYellow = i;
        if (col == red && firstRed < 0)
            firstRed = i;
    }
    ASSERT_GE(firstGreen, 0);
    EXPECT_LT(firstGreen, firstYellow);
    EXPECT_LT(firstYellow, firstRed);
}

TEST_F(PanelTest, StatusDotShowsWhetherCaptureRuns) {
    harness->frame();
    EXPECT_FALSE(harness->verticesOf(grey).empty());

    engine->running = true;
    engine->level = 0.0f;
    harness->frame();
    EXPECT_TRUE(harness->verticesOf(grey).empty());
    // The dot's filled centre plus the zero-width green bar.
    EXPECT_GT(harness->verticesOf(green).size(), 4u);
}

TEST_F(PanelTest, ShowsLabelsAndSelectedValues) {
    if (!harness->hasChineseFont())
        GTEST_SKIP() << "no font with Chinese glyphs at " SONDREL_PANEL_FONT;
    engine->sampleRateIndex = 1;
    engine->bufferSizeIndex = 4;
    const std::string text = harness->frame();
    for (const char* expected :
         {"设备类型", "输入设备", "采样率(Hz)", "缓冲区长度(帧)", "刷新设备", "ALSA", "pulse", "48000", "200"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " missing in: " << text;
    EXPECT_EQ(text.find("N/A"), std::string::npos);
    EXPECT_EQ(text.find("?"), std::string::npos) << text;
}

// The atlas is built from what the panel can draw, collected from the panel's own texts
// and the catalogue: every text in every state of the window is drawn with real glyphs.
// A name with a character beyond the Basic Multilingual Plane shows U+FFFD in its place,
// from the font, as this ImGui (16-bit characters) decodes it.
TEST_F(PanelTest, EveryTextOfThePanelIsDrawnWithGlyphsOfTheAtlas) {
    engine->hostApis[1].name = "音频接口";
    engine->devices[1].name = "麦克风 (USB)";
    engine->devices[2].name = "\xF0\x9F\x8E\xA4 Mic";
    harness = std::make_unique<PanelHarness>(*engine);
    if (!harness->hasChineseFont())
        GTEST_SKIP() << "no font with Chinese glyphs at " SONDREL_PANEL_FONT;
    const ImFont& font = *ImGui::GetIO().Fonts->Fonts[0];
    const auto drawnWhole = [&](const std::string& text) {
        for (unsigned i = 0; i < text.size();) {
            unsigned c = 0;
            i += static_cast<unsigned>(ImTextCharFromUtf8(&c, text.c_str() + i, text.c_str() + text.size()));
            EXPECT_NE(font.FindGlyphNoFallback(static_cast<ImWchar>(c)), nullptr) << "U+" << std::hex << c;
        }
        EXPECT_EQ(text.find('?'), std::string::npos) << text;
    };

    std::string window = harness->frame();
    drawnWhole(window);
    EXPECT_NE(window.find("设备类型"), std::string::npos) << window;
    EXPECT_NE(window.find("麦克风(USB)"), std::string::npos) << window;
    std::vector<std::string> lists;
    for (int k = 0; k < 4; ++k) {
        const ImVec2 combo = harness->comboCentre(k);
        harness->click(combo.x, combo.y);
        lists.push_back(harness->popupText());
        drawnWhole(lists.back());
        harness->click(400.0f, 170.0f); // closes the list
    }
    EXPECT_EQ(lists[0], "ALSA音频接口OSS");
    EXPECT_EQ(lists[1], "麦克风(USB)\xEF\xBF\xBDMic");
    EXPECT_EQ(lists[2], "4410048000");
    EXPECT_EQ(lists[3], "4080120160200");

    const ImVec2 p = meterOrigin();
    harness->moveMouse(p.x + 8.0f, p.y + 8.0f);
    for (const bool running : {false, true}) {
        engine->running = running;
        harness->frame();
        harness->frame();
        drawnWhole(harness->tooltipText());
        EXPECT_EQ(harness->tooltipText(), std::string(running ? "运行中" : "已停止") + ":(ALSA)麦克风(USB)");
    }
    engine->hostApiIndex = 7;
    harness->frame();
    drawnWhole(harness->frame());
    drawnWhole(harness->tooltipText());
    EXPECT_EQ(harness->tooltipText(), "运行中:(N/A)麦克风(USB)");
}

TEST_F(PanelTest, OutOfRangeSelectionsShowNotAvailable) {
    engine->hostApiIndex = -1;
    engine->deviceIndex = 17;
    const std::string text = harness->frame();
    const auto first = text.find("N/A");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find("N/A", first + 3), std::string::npos) << text;
}

TEST_F(PanelTest, TooltipOverTheDotNamesStateHostApiAndDevice) {
    if (!harness->hasChineseFont())
        GTEST_SKIP() << "no font with Chinese glyphs at " SONDREL_PANEL_FONT;
    harness->frame();
    const ImVec2 p = meterOrigin();
    harness->moveMouse(p.x + 8.0f, p.y + 8.0f);
    harness->frame();
    harness->frame();
    EXPECT_EQ(harness->tooltipText(), "已停止:(ALSA)pulse");

    engine->running = true;
    harness->frame();
    EXPECT_EQ(harness->tooltipText(), "运行中:(ALSA)pulse");

    engine->hostApiIndex = 5;
    engine->deviceIndex = -1;
    harness->frame();
    EXPECT_EQ(harness->tooltipText(), "运行中:(N/A)N/A");

    // Over the bar, off the dot: no tooltip.
    harness->moveMouse(p.x + 100.0f, p.y + 8.0f);
    harness->frame();
    harness->frame();
    EXPECT_EQ(harness->tooltipText(), "");
}

TEST_F(PanelTest, ClickingTheSelectedHostApiChangesNothing) {
    engine->deviceIndex = 2;
    engine->sampleRateIndex = 1;
    const std::string before = log();
    ASSERT_TRUE(harness->choose(0, 0));
    EXPECT_EQ(harness->openPopup(), nullptr);
    EXPECT_EQ(engine->hostApiIndex, 0);
    EXPECT_EQ(engine->deviceIndex, 2);
    EXPECT_EQ(engine->sampleRateIndex, 1);
    EXPECT_EQ(log(), before);
    EXPECT_FALSE(settingsSaved());
}

TEST_F(PanelTest, ClickingAnotherHostApiTakesItsDefaultsAndRestarts) {
    engine->sampleRateIndex = 1;
    engine->bufferSizeIndex = 0;
    ASSERT_TRUE(harness->choose(0, 1));
    EXPECT_EQ(engine->hostApiIndex, 1);
    EXPECT_EQ(engine->deviceIndex, 4);
    EXPECT_EQ(engine->sampleRateIndex, 0);
    EXPECT_EQ(engine->bufferSizeIndex, 2);

    const std::string text = log();
    const auto defaults = text.find("已配置为使用JACK");
    const auto opened = text.find("音频设备打开失败, ");
    ASSERT_NE(defaults, std::string::npos) << text;
    ASSERT_NE(opened, std::string::npos) << text;
    EXPECT_LT(defaults, opened);

    ASSERT_TRUE(settingsSaved());
    const nlohmann::json saved = settings();
    EXPECT_EQ(saved["hostApiType"], 12);
    EXPECT_EQ(saved["inputDevice"], 4);
    EXPECT_EQ(saved["framesPerBuffer"], 120);

    // The next frame previews the new choice.
    const std::string shown = harness->frame();
    EXPECT_NE(shown.find("JACK"), std::string::npos);
    EXPECT_NE(shown.find("systemcapture"), std::string::npos) << shown;
}

TEST_F(PanelTest, DeviceListOffersOnlyInputsOfTheSelectedHostApi) {
    const ImVec2 combo = harness->comboCentre(1);
    harness->click(combo.x, combo.y);
    harness->frame();
    ASSERT_NE(harness->openPopup(), nullptr);
    EXPECT_EQ(harness->popupText(), "pulsedefault");

    engine->hostApiIndex = 1;
    harness->frame();
    EXPECT_EQ(harness->popupText(), "systemcapture");
    engine->hostApiIndex = 0;
    harness->frame();

    // Shown rows keep their number in the whole device list as identity:
    // the first row shown is device 1, the second device 2.
    ImGuiWindow* popup = harness->openPopup();
    const ImVec2 second = harness->rowCentre(1);
    harness->moveMouse(second.x, second.y);
    harness->frame();
    harness->frame();
    EXPECT_EQ(harness->hoveredId(), PanelHarness::rowId(popup, 2, "default"));
    const ImVec2 first = harness->rowCentre(0);
    harness->moveMouse(first.x, first.y);
    harness->frame();
    harness->frame();
    EXPECT_EQ(harness->hoveredId(), PanelHarness::rowId(popup, 1, "pulse"));
}

TEST_F(PanelTest, ChoosingADeviceRestartsCaptureEvenWhenUnchanged) {
    ASSERT_TRUE(harness->choose(1, 1));
    EXPECT_EQ(engine->deviceIndex, 2);
    ASSERT_TRUE(settingsSaved());
    EXPECT_EQ(settings()["inputDevice"], 2);

    std::filesystem::remove(dir / "settings.json");
    const std::size_t opensBefore = log().size();
    ASSERT_TRUE(harness->choose(1, 1));
    EXPECT_EQ(engine->deviceIndex, 2);
    EXPECT_TRUE(settingsSaved());
    EXPECT_NE(log().find("音频设备打开失败, ", opensBefore), std::string::npos);
}

TEST_F(PanelTest, ChoosingRateAndBufferSizeRestartsWithThem) {
    ASSERT_TRUE(harness->choose(2, 1));
    EXPECT_EQ(engine->sampleRateIndex, 1);
    ASSERT_TRUE(settingsSaved());
    EXPECT_EQ(settings()["sampleRate"], 48000.0);

    ASSERT_TRUE(harness->choose(3, 4));
    EXPECT_EQ(engine->bufferSizeIndex, 4);
    EXPECT_EQ(settings()["framesPerBuffer"], 200);
    EXPECT_EQ(settings()["sampleRate"], 48000.0);

    // The selected size again: restarted with the same settings.
    std::filesystem::remove(dir / "settings.json");
    ASSERT_TRUE(harness->choose(3, 4));
    EXPECT_EQ(engine->bufferSizeIndex, 4);
    EXPECT_TRUE(settingsSaved());

    const std::string shown = harness->frame();
    EXPECT_NE(shown.find("48000"), std::string::npos);
    EXPECT_NE(shown.find("200"), std::string::npos);
}

// Where the lists and the refresh button end, from the rectangles the panel drew: the
// lists' arrow boxes and the button share the button colour.
struct ButtonRow {
    std::vector<float> listWidths; // each list's frame, arrow box included
    float buttonLeft;
    float buttonRight;
    float contentRight; // the window's inner edge, inside its padding
};

ButtonRow buttonRow(const PanelHarness& harness) {
    const ImGuiWindow* window = harness.audioWindow();
    const float contentLeft = window->Pos.x + ImGui::GetStyle().WindowPadding.x;
    const Rect button = harness.refreshButton();
    ButtonRow row{
        {}, button.left, button.right, window->Pos.x + window->Size.x - ImGui::GetStyle().WindowPadding.x};
    for (const Rect& box : harness.rectanglesOf(ImGui::GetColorU32(ImGuiCol_Button)))
        if (box.right < button.left)
            row.listWidths.push_back(box.right - contentLeft);
    return row;
}

TEST_F(PanelTest, RefreshButtonEndsInsideTheWindowWithTheShippedFont) {
    if (!harness->hasChineseFont())
        GTEST_SKIP() << "no font with Chinese glyphs at " SONDREL_PANEL_FONT;
    harness->frame();
    const ButtonRow row = buttonRow(*harness);
    ASSERT_EQ(row.listWidths.size(), 4u);
    std::cout << "shipped font: lists " << row.listWidths[0] << " px wide, refresh button from " << row.buttonLeft
              << " to " << row.buttonRight << " px, content edge at " << row.contentRight << " px\n";
    // Its Chinese labels at 16 px need more room than the default list width leaves.
    EXPECT_LT(row.listWidths[0], harness->audioWindow()->ItemWidthDefault);
    for (float width : row.listWidths)
        EXPECT_FLOAT_EQ(width, row.listWidths[0]);
    EXPECT_LE(row.buttonRight, row.contentRight);
    // Narrowed just enough: the button ends within a pixel of the edge.
    EXPECT_GT(row.buttonRight, row.contentRight - 1.0f);
    EXPECT_FLOAT_EQ(row.buttonRight - row.buttonLeft,
                    ImGui::CalcTextSize("刷新设备").x + 2.0f * ImGui::GetStyle().FramePadding.x);
}

TEST_F(PanelTest, ListsKeepTheDefaultWidthWhenTheButtonFits) {
    harness.reset();
    harness = std::make_unique<PanelHarness>(*engine, PanelHarness::Font::builtIn);
    harness->frame();
    const ButtonRow row = buttonRow(*harness);
    ASSERT_EQ(row.listWidths.size(), 4u);
    std::cout << "built-in font: lists " << row.listWidths[0] << " px wide, refresh button from " << row.buttonLeft
              << " to " << row.buttonRight << " px\n";
    for (float width : row.listWidths)
        EXPECT_FLOAT_EQ(width, harness->audioWindow()->ItemWidthDefault);
    EXPECT_LE(row.buttonRight, row.contentRight);
}

TEST_F(PanelTest, RefreshRebuildsSelectsTheHostApiAgainAndStarts) {
    harness->frame();
    const ImVec2 button = harness->refreshCentre();
    harness->moveMouse(button.x, button.y);
    harness->frame();
    ASSERT_EQ(harness->hoveredId(), harness->buttonId("刷新设备"));
    harness->click(button.x, button.y);

    const std::string text = log();
    const auto closed = text.find("设备已关闭");
    const auto defaults = text.find("加载缺省设定");
    ASSERT_NE(closed, std::string::npos) << text;
    ASSERT_NE(defaults, std::string::npos) << text;
    EXPECT_LT(closed, defaults);
    const auto opened = std::min(text.find("音频设备打开失败, ", defaults), text.find("音频设备已打开", defaults));
    EXPECT_NE(opened, std::string::npos) << text;
    EXPECT_TRUE(settingsSaved());
    // The hand-made catalogue was replaced by what PortAudio lists now.
    EXPECT_EQ(std::find_if(engine->hostApis.begin(), engine->hostApis.end(),
                           [](const HostApiEntry& api) {
                               return api.name == "JACK" && api.type == 12 && api.defaultInputDevice == 4;
                           }),
              engine->hostApis.end());
}

} // namespace

// A choice the parent makes while the window is open is what the next frame shows.
TEST_F(PanelTest, ChoiceFromTheParentIsShownInTheNextFrame) {
    const std::string before = harness->frame();
    ASSERT_NE(before.find("pulse"), std::string::npos) << before;
    SelectionChoice choice;
    choice.hostApiType = 12;
    choice.sampleRate = 48000.0;
    choice.framesPerBuffer = 40;
    ASSERT_EQ(engine->choose(choice), std::nullopt);
    const std::string after = harness->frame();
    for (const char* expected : {"JACK", "systemcapture", "48000", "40"})
        EXPECT_NE(after.find(expected), std::string::npos) << expected << " missing in: " << after;
    EXPECT_EQ(after.find("pulse"), std::string::npos) << after;
}
