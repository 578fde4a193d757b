// Settings files come from disk and may be anything: parse the bytes as the settings
// record, then resolve the record against a catalogue the way start-up does.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "audio_settings.h"
#include "catalogue_engine.h"

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
