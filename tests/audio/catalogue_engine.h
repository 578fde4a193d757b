#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>
#include <sys/stat.h>

#include "audio_engine.h"
#include "temp_dir.h"

// An engine whose catalogue the test writes; it never touches PortAudio.
class CatalogueEngine : public AudioEngine {
public:
    explicit CatalogueEngine(std::string path = "") : AudioEngine(std::move(path), Detached{}) {
        hostApis = {{"ALSA", 8, 3, 1, 1}, {"OSS", 7, 1, -1, -1}, {"ALSA copy", 8, 0, 0, 0}};
        devices = {device(0, "pulse", 0, 8, 32, 32), device(1, "default", 0, 8, 32, 32),
                   device(2, "speaker", 0, 8, 0, 2), device(3, "oss mic", 1, 7, 2, 0)};
    }
    using AudioEngine::loadSettings;

    static DeviceEntry device(int index, const std::string& name, int api, int type, int in, int out) {
        DeviceEntry d;
        d.index = index;
        d.name = name;
        d.hostApi = api;
        d.hostApiType = type;
        d.maxInputChannels = in;
        d.maxOutputChannels = out;
        d.defaultSampleRate = 44100;
        return d;
    }
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
