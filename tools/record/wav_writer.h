#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Writes a mono 32-bit float WAV file (RIFF/WAVE, format 3) while the samples
// arrive. The header's sizes are rewritten by updateHeader() and finish(), so a
// file whose writer was killed in between still opens, holding every sample up
// to the last update. Samples go straight to the file descriptor (no user-space
// buffer), so nothing written is lost when the process dies.
class WavWriter {
public:
    static constexpr std::uint32_t sampleRate = 44100;
    // RIFF header, fmt chunk (18 bytes, IEEE float), fact chunk, data chunk header.
    static constexpr std::size_t headerSize = 58;
    // RIFF sizes are 32-bit: the data chunk may not grow past this many samples.
    static constexpr std::uint64_t maxSamples = (0xFFFFFFFFull - (headerSize - 8)) / 4;

    // Creates or truncates the file and writes a header for zero samples.
    // Throws std::system_error when the file cannot be created or written.
    explicit WavWriter(const std::string& path);
    // Finishes the file if finish() was not called.
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends samples as little-endian float32. Returns how many were written:
    // fewer than given only when the size limit of the format is reached.
    // Throws std::system_error on a write error.
    std::size_t append(std::span<const float> samples);

    // Rewrites the RIFF, fact and data sizes for the samples written so far.
    void updateHeader();

    // Updates the header and closes the file. Throws std::system_error when the
    // final header cannot be written.
    void finish();

    std::uint64_t samplesWritten() const { return samples; }
    const std::string& path() const { return filePath; }

    // The 58 header bytes for a file holding the given number of samples.
    static std::string headerBytes(std::uint64_t sampleCount);

private:
    void writeAt(const void* data, std::size_t size, std::uint64_t offset);

    std::string filePath;
    int fd = -1;
    std::uint64_t samples = 0;
};
