// The parent's device commands on the engine's side: how a "select" is read, which
// choices are refused without a trace, what an accepted one changes, and the exact
// bytes of the answers.
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "catalogue_engine.h"
#include "log_capture.h"
#include "remote_selection.h"

namespace {

std::string refusal(const std::string& text) {
    const auto parsed = parseSelectionChoice(text);
    return std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : "(accepted)";
}

SelectionChoice choice(const std::string& text) {
    const auto parsed = parseSelectionChoice(text);
    EXPECT_TRUE(std::holds_alternative<SelectionChoice>(parsed)) << text;
    return std::holds_alternative<SelectionChoice>(parsed) ? std::get<SelectionChoice>(parsed) : SelectionChoice{};
}

SelectionChoice pick(std::optional<std::int32_t> api, std::optional<std::int32_t> device = {},
                     std::optional<double> rate = {}, std::optional<std::uint32_t> size = {}) {
    SelectionChoice c;
    c.hostApiType = api;
    c.inputDevice = device;
    c.sampleRate = rate;
    c.framesPerBuffer = size;
    return c;
}

} // namespace

TEST(SelectText, EachKindOfBadTextHasItsReason) {
    EXPECT_EQ(refusal(""), "选择的设定不是有效的JSON");
    EXPECT_EQ(refusal("{\"sampleRate\": 48000"), "选择的设定不是有效的JSON");
    EXPECT_EQ(refusal("{} {}"), "选择的设定不是有效的JSON");
    EXPECT_EQ(refusal("[1, 2]"), "选择的设定必须是JSON对象");
    EXPECT_EQ(refusal("48000"), "选择的设定必须是JSON对象");
    EXPECT_EQ(refusal(R"({"SampleRate": 48000})"), "未知的设定项: SampleRate");
    EXPECT_EQ(refusal(R"({"inputChannelCount": 1})"), "未知的设定项: inputChannelCount");
    EXPECT_EQ(refusal("{\"a\\nb\": 1}"), "未知的设定项: a\\nb"); // quoted: still one line
    EXPECT_EQ(refusal(R"({"sampleRate": "48000"})"), "设定项类型错误: sampleRate");
    EXPECT_EQ(refusal(R"({"sampleRate": null})"), "设定项类型错误: sampleRate");
    EXPECT_EQ(refusal(R"({"inputDevice": 1.5})"), "设定项类型错误: inputDevice");
    EXPECT_EQ(refusal(R"({"inputDevice": 1.0})"), "设定项类型错误: inputDevice");
    EXPECT_EQ(refusal(R"({"hostApiType": true})"), "设定项类型错误: hostApiType");
    EXPECT_EQ(refusal(R"({"framesPerBuffer": [120]})"), "设定项类型错误: framesPerBuffer");
    EXPECT_EQ(refusal(R"({"framesPerBuffer": -40})"), "不支持的缓冲区长度: -40");
    EXPECT_EQ(refusal(R"({"inputDevice": 4294967296})"), "找不到适合的音频设备#4294967296");
    EXPECT_EQ(refusal(R"({"hostApiType": -9999999999})"), "找不到满足条件的API");
}

TEST(SelectText, KeysLeftOutStayUnsetAndIntegersAreRatesToo) {
    const SelectionChoice rateOnly = choice(R"({"sampleRate": 48000})");
    EXPECT_EQ(rateOnly.sampleRate, 48000.0);
    EXPECT_FALSE(rateOnly.hostApiType || rateOnly.inputDevice || rateOnly.framesPerBuffer);
    const SelectionChoice all =
        choice(R"({"hostApiType": 8, "inputDevice": 0, "sampleRate": 44100.0, "framesPerBuffer": 40})");
    EXPECT_EQ(all.hostApiType, 8);
    EXPECT_EQ(all.inputDevice, 0);
    EXPECT_EQ(all.sampleRate, 44100.0);
    EXPECT_EQ(all.framesPerBuffer, 40u);
    EXPECT_FALSE(choice("{}").sampleRate);
}

class ParentChoice : public ::testing::Test {
protected:
    // Row 0 ALSA (default input 1), row 1 OSS (no default input), row 2 a second ALSA;
    // devices 0 and 1 are ALSA inputs, 2 an output only, 3 the OSS input.
    LogCapture log;
    TempDir dir;
    const std::string path = dir.file("settings.json");
    CatalogueEngine engine{path};

    struct Selection {
        std::int32_t api, device, rate, size;
        bool operator==(const Selection&) const = default;
    };
    Selection selection() const {
        return {engine.hostApiIndex, engine.deviceIndex, engine.sampleRateIndex, engine.bufferSizeIndex};
    }

    void SetUp() override {
        engine.hostApiIndex = 0;
        engine.deviceIndex = 1;
    }
};

TEST_F(ParentChoice, RefusedChoicesChangeNothingAndWriteNothing) {
    const std::vector<std::pair<SelectionChoice, std::string>> cases{
        {pick(13), "找不到满足条件的API"},
        {pick(7), "找不到适合的音频设备#-1"},    // OSS has no default input device
        {pick({}, 2), "找不到适合的音频设备#2"}, // an output
        {pick({}, 3), "找不到适合的音频设备#3"}, // OSS's, not ALSA's
        {pick({}, 4), "找不到适合的音频设备#4"},
        {pick({}, -1), "找不到适合的音频设备#-1"},
        {pick(8, 3), "找不到适合的音频设备#3"},
        {pick({}, {}, 22050.0), "不支持的采样率: 22050"},
        {pick({}, {}, 44100.5), "不支持的采样率: 44100.5"},
        {pick({}, {}, {}, 100), "不支持的缓冲区长度: 100"},
        // Valid parts do not slip through beside an invalid one.
        {pick({}, 0, 48000.0, 7), "不支持的缓冲区长度: 7"},
    };
    const Selection before = selection();
    for (const auto& [chosen, reason] : cases) {
        EXPECT_EQ(engine.choose(chosen), reason);
        EXPECT_EQ(selection(), before) << reason;
    }
    ASSERT_TRUE(engine.waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_FALSE(std::filesystem::exists(path)) << "a refused choice is not saved";
}

TEST_F(ParentChoice, AcceptedChoiceIsTheSelectionAndIsSaved) {
    EXPECT_EQ(engine.choose(pick({}, 0, 48000.0, 40)), std::nullopt);
    EXPECT_EQ(selection(), (Selection{0, 0, 1, 0}));
    ASSERT_TRUE(engine.waitUntilIdle(std::chrono::seconds(10)));
    AudioSettings saved;
    saved.fromJson(readFile(path));
    EXPECT_EQ(saved.hostApiType, 8);
    EXPECT_EQ(saved.inputDevice, 0);
    EXPECT_EQ(saved.sampleRate, 48000.0);
    EXPECT_EQ(saved.framesPerBuffer, 40u);

    // A host API alone brings its default input device, as the window's list does;
    // what else was chosen stays.
    engine.hostApis[1].defaultInputDevice = 3;
    EXPECT_EQ(engine.choose(pick(7)), std::nullopt);
    EXPECT_EQ(selection(), (Selection{1, 3, 1, 0}));
    // The same host API again keeps the device.
    EXPECT_EQ(engine.choose(pick(7, {}, {}, 200)), std::nullopt);
    EXPECT_EQ(selection(), (Selection{1, 3, 1, 4}));
}

// Two host APIs of one type: the settings file keeps only the type, so a device of the
// second is taken under the first, by a choice exactly as by a stored profile, and what a
// choice saved loads back as the same selection.
TEST_F(ParentChoice, TwoHostApisOfOneTypeResolveAlikeForChoiceAndProfile) {
    engine.devices.push_back(CatalogueEngine::device(4, "copy mic", 2, 8, 2, 0));
    EXPECT_EQ(engine.choose(pick(8, 4)), std::nullopt);
    EXPECT_EQ(selection(), (Selection{0, 4, 0, 2}));
    ASSERT_TRUE(engine.waitUntilIdle(std::chrono::seconds(10)));

    engine.hostApiIndex = 1;
    engine.deviceIndex = 3;
    engine.loadSettings(true);
    EXPECT_EQ(log.count("ERROR 无法加载配置文件"), 0u);
    EXPECT_EQ(selection(), (Selection{0, 4, 0, 2}));
    EXPECT_EQ(log.count("INFO API=ALSA"), 1u);
    EXPECT_EQ(log.count("INFO Device=copy mic"), 1u);

    // Still no device of another type, nor one without inputs.
    EXPECT_EQ(engine.choose(pick(8, 3)), "找不到适合的音频设备#3");
    EXPECT_EQ(engine.choose(pick(8, 2)), "找不到适合的音频设备#2");
}

TEST_F(ParentChoice, ChoiceReplacesAProfileKeptForAMissingDevice) {
    writeFile(path, R"({"hostApiType": 8, "inputDevice": 9})");
    engine.loadSettings(true);
    ASSERT_EQ(log.count("INFO 配置文件中的设定暂时保留, 直到在窗口中另选设备"), 1u);
    EXPECT_EQ(engine.choose(pick({}, 0)), std::nullopt);
    ASSERT_TRUE(engine.waitUntilIdle(std::chrono::seconds(10)));
    AudioSettings saved;
    saved.fromJson(readFile(path));
    EXPECT_EQ(saved.inputDevice, 0);
}

// JSON that is no settings object is no profile worth keeping: it is replaced by the
// defaults the run applies, like a file that is not JSON.
TEST_F(ParentChoice, OnlyASettingsObjectIsKeptAsAProfile) {
    for (const char* text : {"[1, 2]", "42", "null"}) {
        writeFile(path, text);
        engine.loadSettings(true);
        EXPECT_EQ(engine.deviceIndex, 1) << text;
    }
    EXPECT_EQ(log.count("ERROR 无法加载配置文件"), 3u);
    EXPECT_EQ(log.count("INFO 配置文件中的设定暂时保留, 直到在窗口中另选设备"), 0u);
}

TEST_F(ParentChoice, AnswersHaveTheDocumentedBytes) {
    engine.devices[1].name = "Mikrofon \"USB\" \\ 麦克风 🎤";
    engine.devices[3].name = std::string("bad \xff byte");
    engine.running = true;
    EXPECT_EQ(
        devicesLine(engine),
        R"({ "devices": [ )"
        R"({ "index": 0, "name": "pulse", "hostApi": "ALSA", "hostApiType": 8, "maxInputChannels": 32, )"
        R"("defaultSampleRate": 44100, "isDefault": false }, )"
        R"({ "index": 1, "name": "Mikrofon \"USB\" \\ 麦克风 🎤", "hostApi": "ALSA", "hostApiType": 8, )"
        R"("maxInputChannels": 32, "defaultSampleRate": 44100, "isDefault": true }, )"
        R"({ "index": 3, "name": "bad )"
        "\xEF\xBF\xBD"
        R"( byte", "hostApi": "OSS", "hostApiType": 7, "maxInputChannels": 2, )"
        R"("defaultSampleRate": 44100, "isDefault": false } ], )"
        R"("selected": { "hostApiType": 8, "inputDevice": 1, "sampleRate": 44100.0, "framesPerBuffer": 120 }, )"
        R"("running": true })");
    engine.running = false;
    engine.sampleRateIndex = 1;
    EXPECT_EQ(selectedLine(engine),
              R"({ "selected": { "hostApiType": 8, "inputDevice": 1, "sampleRate": 48000.0, )"
              R"("framesPerBuffer": 120 }, "running": false })");
    EXPECT_EQ(selectErrorLine("不支持的采样率: 22050"), R"({ "selectError": "不支持的采样率: 22050" })");
    EXPECT_EQ(streamLine(true), R"({ "stream": "running" })");
    EXPECT_EQ(streamLine(false), R"({ "stream": "stopped" })");
    // Every answer is one line of JSON.
    EXPECT_TRUE(nlohmann::json::accept(devicesLine(engine)));
    EXPECT_EQ(devicesLine(engine).find('\n'), std::string::npos);

    engine.devices.clear();
    EXPECT_EQ(devicesLine(engine).substr(0, 28), R"({ "devices": [], "selected":)");
}
