#include "wav_writer.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <system_error>
#include <vector>

#include "record_platform.h"

namespace {

void putU16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void putU32(std::string& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

std::system_error fileError(const std::string& what, const std::string& path) {
    return std::system_error(errno, std::generic_category(), what + " " + path);
}

} // namespace

WavWriter::WavWriter(const std::string& path) : filePath(path) {
    fd = createBinaryFile(path);
    if (fd < 0)
        throw fileError("cannot create", path);
    try {
        updateHeader();
    } catch (...) {
        closeFile(fd);
        throw;
    }
}

WavWriter::~WavWriter() {
    if (fd < 0)
        return;
    try {
        finish();
    } catch (const std::exception&) {
        // Destructors must not throw; whatever reached the file stays there.
    }
}

std::string WavWriter::headerBytes(std::uint64_t sampleCount) {
    const auto dataBytes = static_cast<std::uint32_t>(std::min(sampleCount, maxSamples) * 4);
    std::string h;
    h.reserve(headerSize);
    h += "RIFF";
    putU32(h, static_cast<std::uint32_t>(headerSize - 8) + dataBytes);
    h += "WAVE";
    h += "fmt ";
    putU32(h, 18);
    putU16(h, 3); // WAVE_FORMAT_IEEE_FLOAT
    putU16(h, 1); // channels
    putU32(h, sampleRate);
    putU32(h, sampleRate * 4); // bytes per second
    putU16(h, 4);              // block align
    putU16(h, 32);             // bits per sample
    putU16(h, 0);              // no extension
    h += "fact";
    putU32(h, 4);
    putU32(h, dataBytes / 4); // sample frames
    h += "data";
    putU32(h, dataBytes);
    return h;
}

std::size_t WavWriter::append(std::span<const float> input) {
    if (fd < 0)
        return 0;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), maxSamples - samples));
    std::vector<unsigned char> bytes(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const auto bits = std::bit_cast<std::uint32_t>(input[i]);
        for (int b = 0; b < 4; ++b)
            bytes[i * 4 + b] = static_cast<unsigned char>(bits >> (8 * b));
    }
    writeAt(bytes.data(), bytes.size(), headerSize + samples * 4);
    samples += count;
    return count;
}

void WavWriter::updateHeader() {
    if (fd < 0)
        return;
    const std::string h = headerBytes(samples);
    writeAt(h.data(), h.size(), 0);
}

void WavWriter::finish() {
    if (fd < 0)
        return;
    const int closing = fd;
    try {
        updateHeader();
    } catch (...) {
        fd = -1;
        closeFile(closing);
        throw;
    }
    fd = -1;
    if (closeFile(closing) != 0)
        throw fileError("cannot close", filePath);
}

void WavWriter::writeAt(const void* data, std::size_t size, std::uint64_t offset) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        const long long n = writeFileAt(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw fileError("cannot write", filePath);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}
