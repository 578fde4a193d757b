#include <algorithm>
#include <cmath>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "audio_engine.h"
#include "catalogue_engine.h"
#include "log_capture.h"

namespace {

AudioSettings profile(int type, int device, double rate = 44100.0, std::uint32_t frames = 120) {
    AudioSettings s;
    s.hostApiType = type;
    s.inputDevice = device;
    s.sampleRate = rate;
    s.framesPerBuffer = frames;
    return s;
}

} // namespace

class Catalogue : public ::testing::Test {
protected:
    LogCapture log;
    CatalogueEngine engine;
};

TEST_F(Catalogue, AcceptedProfileLogsFiveLinesAndSetsTheSelection) {
    engine.applySettings(profile(8, 1, 48000.0, 100));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO 加载音频设定", "INFO SR=48000Hz", "INFO API=ALSA",
                                                     "INFO Device=default", "INFO BufferSize=120"}));
    EXPECT_EQ(engine.sampleRateIndex, 1);
    EXPECT_EQ(engine.hostApiIndex, 0);
    EXPECT_EQ(engine.deviceIndex, 1);
    EXPECT_EQ(engine.bufferSizeIndex, 2);
}

TEST_F(Catalogue, OnlyExactly44100SelectsTheFirstRate) {
    for (double rate : {44100.0, 48000.0, 96000.0, 22050.0, 44100.0000001, std::nan("")}) {
        engine.applySettings(profile(8, 0, rate));
        EXPECT_EQ(engine.sampleRateIndex, rate == 44100.0 ? 0 : 1) << rate;
    }
    EXPECT_EQ(log.count("INFO SR=44100Hz"), 1u);
    EXPECT_EQ(log.count("INFO SR=48000Hz"), 5u);
}

TEST_F(Catalogue, BufferSizeIsTheFirstOfferedSizeNotBelowTheStoredOne) {
    const std::vector<std::pair<std::uint32_t, std::int32_t>> cases{
        {100, 2}, {120, 2}, {121, 3}, {0, 0}, {40, 0}, {41, 1}, {200, 4}, {201, 4}, {100000, 4}, {4294967295u, 4}};
    for (const auto& [frames, row] : cases) {
        engine.applySettings(profile(8, 0, 44100.0, frames));
        EXPECT_EQ(engine.bufferSizeIndex, row) << frames;
    }
    EXPECT_EQ(log.count("INFO BufferSize=200"), 4u);
    EXPECT_EQ(log.count("INFO BufferSize=40"), 2u);
}

TEST_F(Catalogue, FirstHostApiOfTheTypeWins) {
    engine.hostApiIndex = 2;
    engine.applySettings(profile(8, 0));
    EXPECT_EQ(engine.hostApiIndex, 0);
    engine.applySettings(profile(7, 3));
    EXPECT_EQ(engine.hostApiIndex, 1);
    EXPECT_EQ(log.count("INFO Device=oss mic"), 1u);
}

TEST_F(Catalogue, UnknownHostApiTypeFailsWithoutChangingTheHostApi) {
    engine.hostApiIndex = 1;
    try {
        engine.applySettings(profile(2, 0, 48000.0));
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid Profile");
    }
    EXPECT_EQ(engine.hostApiIndex, 1);
    EXPECT_EQ(engine.sampleRateIndex, 1); // steps before the failure stay done
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"INFO 加载音频设定", "INFO SR=48000Hz", "ERROR 找不到满足条件的API"}));
}

TEST_F(Catalogue, UnusableDevicesAreRefusedWithTheirIndex) {
    // Output-only, of another host API, none, past the end.
    for (int device : {2, 3, -1, 4, 1000}) {
        EXPECT_THROW(engine.applySettings(profile(8, device)), std::runtime_error) << device;
        EXPECT_EQ(engine.deviceIndex, device); // stored before the check
        EXPECT_EQ(log.count("ERROR 找不到适合的音频设备#" + std::to_string(device)), 1u) << device;
    }
    EXPECT_EQ(log.count("INFO BufferSize=120"), 0u);
}

TEST_F(Catalogue, EmptyCatalogueFailsAtTheHostApi) {
    engine.hostApis.clear();
    engine.devices.clear();
    engine.deviceIndex = 5;
    EXPECT_THROW(engine.applySettings(profile(8, 0)), std::runtime_error);
    EXPECT_EQ(log.count("ERROR 找不到满足条件的API"), 1u);
    engine.selectHostApi(0);
    EXPECT_EQ(log.lines().back(), "WARN 找不到可用API");
    EXPECT_EQ(engine.hostApiIndex, 0);
    EXPECT_EQ(engine.deviceIndex, 5); // unchanged by the failed selection
}

TEST_F(Catalogue, SelectHostApiTakesDefaultsAndFallsBackToRowZero) {
    engine.sampleRateIndex = 1;
    engine.bufferSizeIndex = 4;
    engine.selectHostApi(1);
    EXPECT_EQ(engine.hostApiIndex, 1);
    EXPECT_EQ(engine.deviceIndex, -1);
    EXPECT_EQ(engine.sampleRateIndex, 0);
    EXPECT_EQ(engine.bufferSizeIndex, 2);
    for (int row : {-1, 3, 100}) {
        engine.selectHostApi(row);
        EXPECT_EQ(engine.hostApiIndex, 0) << row;
        EXPECT_EQ(engine.deviceIndex, 1) << row;
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "INFO 加载缺省设定");
    EXPECT_EQ(lines[1], "INFO 已配置为使用OSS");
    EXPECT_EQ(lines[7], "INFO 已配置为使用ALSA");
}

TEST_F(Catalogue, DefaultsOfAHostApiWithoutInputDeviceDoNotApply) {
    engine.selectHostApi(1);
    EXPECT_THROW(engine.applySettings(engine.currentSettings()), std::runtime_error);
    EXPECT_EQ(log.count("ERROR 找不到适合的音频设备#-1"), 1u);
}

TEST_F(Catalogue, CurrentSettingsDescribesTheSelection) {
    engine.hostApiIndex = 1;
    engine.deviceIndex = 3;
    engine.sampleRateIndex = 1;
    engine.bufferSizeIndex = 0;
    const AudioSettings s = engine.currentSettings();
    EXPECT_EQ(s.sampleRate, 48000.0);
    EXPECT_EQ(s.framesPerBuffer, 40u);
    EXPECT_EQ(s.hostApiType, 7);
    EXPECT_EQ(s.inputDevice, 3);
    EXPECT_EQ(s.inputChannelCount, 1);
    EXPECT_EQ(s.inputSampleFormat, 1u);
    EXPECT_EQ(s.inputSuggestedLatency, 0.12);
    EXPECT_EQ(s.outputDevice, -1);
    EXPECT_EQ(s.outputChannelCount, 0);
    EXPECT_EQ(s.outputSampleFormat, 1u);
    EXPECT_EQ(s.outputSuggestedLatency, 0.012);

    // A row outside the catalogue yields a type that no row has, so it cannot be applied.
    for (int row : {-1, 3}) {
        engine.hostApiIndex = row;
        EXPECT_EQ(engine.currentSettings().hostApiType, -1);
        EXPECT_THROW(engine.applySettings(engine.currentSettings()), std::runtime_error);
    }
    engine.hostApis.clear();
    engine.hostApiIndex = 0;
    EXPECT_EQ(engine.currentSettings().hostApiType, -1);
}

class SettingsFile : public ::testing::Test {
protected:
    LogCapture log;
    TempDir dir;
};

TEST_F(SettingsFile, SaveWritesTheSelectionExactly) {
    CatalogueEngine engine(dir.file("settings.json"));
    engine.deviceIndex = 1;
    engine.saveSettings();
    EXPECT_EQ(readFile(dir.file("settings.json")),
              "{\n    \"framesPerBuffer\": 120,\n    \"hostApiType\": 8,\n    \"inputChannelCount\": 1,\n"
              "    \"inputDevice\": 1,\n    \"inputSampleFormat\": 1,\n    \"inputSuggestedLatency\": 0.12,\n"
              "    \"outputChannelCount\": 0,\n    \"outputDevice\": -1,\n    \"outputSampleFormat\": 1,\n"
              "    \"outputSuggestedLatency\": 0.012,\n    \"sampleRate\": 44100.0\n}");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("settings.json.tmp")));
}

TEST_F(SettingsFile, SavedSelectionLoadsBackTheSame) {
    CatalogueEngine first(dir.file("settings.json"));
    first.hostApiIndex = 1;
    first.deviceIndex = 3;
    first.sampleRateIndex = 1;
    first.bufferSizeIndex = 4;
    first.saveSettings();

    CatalogueEngine second(dir.file("settings.json"));
    second.loadSettings(true);
    EXPECT_EQ(second.hostApiIndex, 1);
    EXPECT_EQ(second.deviceIndex, 3);
    EXPECT_EQ(second.sampleRateIndex, 1);
    EXPECT_EQ(second.bufferSizeIndex, 4);
    EXPECT_EQ(log.count("ERROR 无法加载配置文件"), 0u);
    // Saving again changes nothing.
    const std::string before = readFile(dir.file("settings.json"));
    second.saveSettings();
    EXPECT_EQ(readFile(dir.file("settings.json")), before);
}

TEST_F(SettingsFile, UnusableFileFallsBackToTheFirstHostApi) {
    const std::vector<std::string> bad{"",
                                       "not json",
                                       R"({"sampleRate": true})",
                                       R"({"hostApiType": "8"})",
                                       R"({"hostApiType": 8, "inputDevice": 2})",
                                       R"({"inputDevice": 1})"};
    for (const std::string& text : bad) {
        writeFile(dir.file("settings.json"), text);
        CatalogueEngine engine(dir.file("settings.json"));
        engine.hostApiIndex = 2;
        engine.sampleRateIndex = 1;
        engine.loadSettings(true);
        EXPECT_EQ(engine.hostApiIndex, 0) << text;
        EXPECT_EQ(engine.deviceIndex, 1) << text;
        EXPECT_EQ(engine.sampleRateIndex, 0) << text;
    }
    EXPECT_EQ(log.count("ERROR 无法加载配置文件"), bad.size());
    EXPECT_EQ(log.count("INFO 已配置为使用ALSA"), bad.size());
}

TEST_F(SettingsFile, FallbackFailureLeavesTheLoad) {
    CatalogueEngine engine(dir.file("missing.json"));
    std::swap(engine.hostApis[0], engine.hostApis[1]); // row 0 now has no default input
    EXPECT_THROW(engine.loadSettings(false), std::runtime_error);
    EXPECT_EQ(log.count("ERROR 找不到适合的音频设备#-1"), 1u);
    EXPECT_EQ(log.count("ERROR 无法加载配置文件"), 0u);
}

TEST_F(SettingsFile, UnwritablePathsAreLoggedAndNothingIsWritten) {
    for (const std::string& path : {std::string(), dir.file("missing/settings.json"), dir.path}) {
        CatalogueEngine engine(path);
        engine.saveSettings();
    }
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 3u);
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator());
}

// A fixed name next to the file ("settings.json.tmp") could be taken by anything: a
// leftover, a directory, a second process saving at the same moment.
TEST_F(SettingsFile, TemporaryFileHasAUniqueNameAndNothingIsLeftBehind) {
    const std::string path = dir.file("settings.json");
    writeFile(path, "{\"inputDevice\": 0}");
    std::filesystem::create_directory(path + ".tmp");
    CatalogueEngine engine(path);
    engine.saveSettings();
    EXPECT_EQ(readFile(path).substr(0, 2), "{\n");
    EXPECT_TRUE(log.lines().empty());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"settings.json", "settings.json.tmp"}));
}

TEST_F(SettingsFile, FullDiskLeavesTheOldFileIntact) {
    const std::string path = dir.file("settings.json");
    writeFile(path, "{\"inputDevice\": 0}");
    CatalogueEngine engine(path);
    // A file-size limit makes every write past 160 bytes fail, as a full disk would: the
    // settings text is about 300 bytes, while the log (written at once) stays below it.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 160;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    engine.saveSettings();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(readFile(path), "{\"inputDevice\": 0}");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 1u);
}

TEST_F(SettingsFile, ReadOnlyDirectoryFallsBackToWritingInPlace) {
    const std::string path = dir.file("settings.json");
    writeFile(path, "old");
    // Root ignores directory permissions, so the save runs in a child as an ordinary user.
    const uid_t user = geteuid() == 0 ? 65534 : geteuid();
    ASSERT_EQ(chown(path.c_str(), user, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(user) != 0))
            _exit(3);
        if (access(dir.path.c_str(), W_OK) == 0)
            _exit(4);
        CatalogueEngine engine(path);
        engine.saveSettings();
        _exit(0);
    }
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        usleep(10000);
    if (!WIFEXITED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "child did not finish";
    }
    chmod(dir.path.c_str(), 0700);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path).substr(0, 2), "{\n");
}

TEST_F(SettingsFile, SymlinkedFileIsUpdatedThroughTheLink) {
    const std::string real = dir.file("real.json");
    const std::string link = dir.file("settings.json");
    writeFile(real, "old");
    std::filesystem::create_symlink(real, link);
    CatalogueEngine engine(link);
    engine.saveSettings();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(real).substr(0, 2), "{\n");
}
