#include "audio_message.h"

#include <cstdint>
#include <cstring>

bool decodeAudioMessage(std::string_view payload, std::vector<float>& samples) {
    if (payload.size() != bytesPerMessage)
        return false;
    samples.resize(samplesPerMessage);
    for (std::size_t i = 0; i < samplesPerMessage; ++i) {
        std::uint32_t bits = 0;
        for (int b = 3; b >= 0; --b)
            bits = (bits << 8) | static_cast<unsigned char>(payload[i * 4 + static_cast<std::size_t>(b)]);
        std::memcpy(&samples[i], &bits, sizeof bits);
    }
    return true;
}
