#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// One audio message from sondrel-capture: 512 mono samples at 44100 Hz, each a
// little-endian IEEE-754 float32, 2048 bytes, no header.
constexpr std::size_t samplesPerMessage = 512;
constexpr std::size_t bytesPerMessage = samplesPerMessage * 4;
constexpr double streamSampleRate = 44100.0;

// Decodes a payload of exactly bytesPerMessage bytes into samples (replacing
// the vector's contents). Returns false, leaving it untouched, for any other size.
bool decodeAudioMessage(std::string_view payload, std::vector<float>& samples);
