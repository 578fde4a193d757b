#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio_settings.h"

namespace {

AudioSettings parsed(const std::string& text) {
    AudioSettings settings;
    settings.fromJson(text);
    return settings;
}

std::string typeErrorText(const std::string& text) {
    try {
        AudioSettings settings;
        settings.fromJson(text);
    } catch (const nlohmann::json::type_error& e) {
        return std::to_string(e.id) + " " + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "accepted";
}

} // namespace

TEST(AudioSettingsWriting, KnownSelectionGivesExactText) {
    AudioSettings settings;
    settings.sampleRate = 44100.0;
    settings.framesPerBuffer = 120;
    settings.hostApiType = 2;
    settings.inputDevice = 1;
    settings.inputChannelCount = 1;
    settings.inputSampleFormat = 1;
    settings.inputSuggestedLatency = 0.12;
    settings.outputDevice = -1;
    settings.outputChannelCount = 0;
    settings.outputSampleFormat = 1;
    settings.outputSuggestedLatency = 0.012;
    EXPECT_EQ(settings.toJson(), "{\n"
                                 "    \"framesPerBuffer\": 120,\n"
                                 "    \"hostApiType\": 2,\n"
                                 "    \"inputChannelCount\": 1,\n"
                                 "    \"inputDevice\": 1,\n"
                                 "    \"inputSampleFormat\": 1,\n"
                                 "    \"inputSuggestedLatency\": 0.12,\n"
                                 "    \"outputChannelCount\": 0,\n"
                                 "    \"outputDevice\": -1,\n"
                                 "    \"outputSampleFormat\": 1,\n"
                                 "    \"outputSuggestedLatency\": 0.012,\n"
                                 "    \"sampleRate\": 44100.0\n"
                                 "}");
}

TEST(AudioSettingsWriting, ExtremeValuesKeepTheirKindAndReadBack) {
    AudioSettings settings;
    settings.sampleRate = 48000.0;
    settings.framesPerBuffer = 4294967295u;
    settings.hostApiType = -2147483647 - 1;
    settings.inputSuggestedLatency = 0.1 + 0.2; // needs all 17 digits
    const std::string text = settings.toJson();
    EXPECT_NE(text.find("\"framesPerBuffer\": 4294967295,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"hostApiType\": -2147483648,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"sampleRate\": 48000.0\n}"), std::string::npos) << text;
    const AudioSettings back = parsed(text);
    EXPECT_EQ(back.framesPerBuffer, settings.framesPerBuffer);
    EXPECT_EQ(back.hostApiType, settings.hostApiType);
    EXPECT_EQ(back.inputSuggestedLatency, settings.inputSuggestedLatency);
    EXPECT_EQ(back.sampleRate, 48000.0);
}

TEST(AudioSettingsReading, NumberKindsConvertForEveryFieldKind) {
    // Integer into float fields, float into integer fields (cut toward zero), negative into unsigned (wraps).
    const AudioSettings s = parsed(R"({"sampleRate": 48000, "framesPerBuffer": -1, "inputSampleFormat": 7.9,
        "hostApiType": -3.7, "inputDevice": 2.5, "outputChannelCount": 4294967297,
        "inputSuggestedLatency": 1, "outputSuggestedLatency": -0.5})");
    EXPECT_EQ(s.sampleRate, 48000.0);
    EXPECT_EQ(s.framesPerBuffer, 4294967295u);
    EXPECT_EQ(s.inputSampleFormat, 7u);
    EXPECT_EQ(s.hostApiType, -3);
    EXPECT_EQ(s.inputDevice, 2);
    EXPECT_EQ(s.outputChannelCount, 1);
    EXPECT_EQ(s.inputSuggestedLatency, 1.0);
    EXPECT_EQ(s.outputSuggestedLatency, -0.5);
}

TEST(AudioSettingsReading, HugeFloatsIntoIntegerFieldsAreDefined) {
    const AudioSettings s =
        parsed(R"({"framesPerBuffer": 1e300, "inputDevice": -1e300, "outputSampleFormat": -1.5})");
    EXPECT_EQ(s.framesPerBuffer, 4294967295u);
    EXPECT_EQ(s.inputDevice, 0);
    EXPECT_EQ(s.outputSampleFormat, 4294967295u);
}

TEST(AudioSettingsReading, BooleansOnlyForTheSevenIntegerFields) {
    const AudioSettings s = parsed(R"({"framesPerBuffer": true, "inputDevice": false, "inputChannelCount": true,
        "inputSampleFormat": false, "outputDevice": true, "outputChannelCount": true, "outputSampleFormat": false})");
    EXPECT_EQ(s.framesPerBuffer, 1u);
    EXPECT_EQ(s.inputDevice, 0);
    EXPECT_EQ(s.inputChannelCount, 1);
    EXPECT_EQ(s.inputSampleFormat, 0u);
    EXPECT_EQ(s.outputDevice, 1);
    EXPECT_EQ(s.outputChannelCount, 1);
    EXPECT_EQ(s.outputSampleFormat, 0u);

    const std::string refusedBoolean = "302 [json.exception.type_error.302] type must be number, but is boolean";
    EXPECT_EQ(typeErrorText(R"({"sampleRate": true})"), refusedBoolean);
    EXPECT_EQ(typeErrorText(R"({"hostApiType": false})"), refusedBoolean);
    EXPECT_EQ(typeErrorText(R"({"inputSuggestedLatency": true})"), refusedBoolean);
    EXPECT_EQ(typeErrorText(R"({"outputSuggestedLatency": false})"), refusedBoolean);
}

TEST(AudioSettingsReading, OtherKindsRaiseTypeError302) {
    const std::string prefix = "302 [json.exception.type_error.302] type must be number, but is ";
    EXPECT_EQ(typeErrorText(R"({"hostApiType": "13"})"), prefix + "string");
    EXPECT_EQ(typeErrorText(R"({"outputDevice": null})"), prefix + "null");
    EXPECT_EQ(typeErrorText(R"({"framesPerBuffer": [120]})"), prefix + "array");
    EXPECT_EQ(typeErrorText(R"({"sampleRate": {"v": 1}})"), prefix + "object");
    EXPECT_EQ(typeErrorText(R"({"inputSampleFormat": "1"})"), prefix + "string");
}

TEST(AudioSettingsReading, MembersBeforeAFailureAreStored) {
    AudioSettings s;
    EXPECT_THROW(s.fromJson(R"({"sampleRate": null, "framesPerBuffer": 40, "hostApiType": 9})"),
                 nlohmann::json::type_error);
    // Key order: framesPerBuffer, hostApiType, then sampleRate fails.
    EXPECT_EQ(s.framesPerBuffer, 40u);
    EXPECT_EQ(s.hostApiType, 9);
    EXPECT_EQ(s.sampleRate, 44100.0);
}

TEST(AudioSettingsReading, NonJsonRaisesParseError) {
    AudioSettings s;
    EXPECT_THROW(s.fromJson(""), nlohmann::json::parse_error);
    EXPECT_THROW(s.fromJson("{\"sampleRate\": 48000"), nlohmann::json::parse_error);
    EXPECT_THROW(s.fromJson("{} {}"), nlohmann::json::parse_error);
    EXPECT_THROW(s.fromJson("{\"sampleRate\": 48000 /* rate */}"), nlohmann::json::parse_error);
    EXPECT_EQ(s.sampleRate, 44100.0);
}

TEST(AudioSettingsReading, ShapeOfTheDocument) {
    // Byte-order mark skipped.
    EXPECT_EQ(parsed("\xEF\xBB\xBF{\"inputDevice\": 3}").inputDevice, 3);
    // Top-level array, number or null: nothing set, no error.
    for (const char* text : {"[1, 2]", "42", "null", "\"sampleRate\""}) {
        AudioSettings s;
        s.inputDevice = 5;
        EXPECT_NO_THROW(s.fromJson(text)) << text;
        EXPECT_EQ(s.inputDevice, 5) << text;
        EXPECT_EQ(s.sampleRate, 44100.0) << text;
    }
    // Last of a repeated key wins.
    EXPECT_EQ(parsed(R"({"inputDevice": 1, "inputDevice": 4})").inputDevice, 4);
    // Unknown and case-different keys are ignored, even with wrong kinds.
    const AudioSettings s = parsed(R"({"SampleRate": "x", "inputdevice": null, "extra": [1], "inputDevice": 3})");
    EXPECT_EQ(s.sampleRate, 44100.0);
    EXPECT_EQ(s.inputDevice, 3);
    // Missing keys keep the record's present values.
    AudioSettings kept;
    kept.framesPerBuffer = 40;
    kept.fromJson(R"({"inputDevice": 3})");
    EXPECT_EQ(kept.framesPerBuffer, 40u);
    EXPECT_EQ(kept.hostApiType, 2);
    // Carriage returns (a file written on another platform) are plain whitespace.
    EXPECT_EQ(parsed("{\r\n    \"inputDevice\": 6\r\n}").inputDevice, 6);
}
