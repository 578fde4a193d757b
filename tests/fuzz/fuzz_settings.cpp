// Settings files come from disk and may be anything: parse the bytes as the settings
// record, then resolve the record against a catalogue the way start-up does.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "audio_engine.h"
#include "audio_settings.h"

namespace {

class CatalogueEngine : public AudioEngine {
public:
    CatalogueEngine() : AudioEngine("", Detached{}) {
        hostApis = {{"ALSA", 8, 3, 1, 2}, {"OSS", 7, 1, -1, 3}, {"ALSA", 8, 0, -1, -1}};
        devices = {
            {0, "out-only", 0, 8, 0, 2, 0, 0, 0, 0, 48000},
            {1, "pulse", 0, 8, 32, 32, 0, 0, 0, 0, 44100},
            {2, "default", 0, 8, 32, 32, 0, 0, 0, 0, 44100},
            {3, "/dev/dsp", 1, 7, 16, 16, 0, 0, 0, 0, 44100},
        };
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CatalogueEngine engine;
    AudioSettings settings;
    try {
        settings.fromJson(std::string(reinterpret_cast<const char*>(data), size));
        engine.applySettings(settings);
        // A resolved selection must always be writable and read back the same.
        AudioSettings again;
        again.fromJson(engine.currentSettings().toJson());
        engine.applySettings(again);
    } catch (const std::exception&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
