#include "wav_writer.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"
#include "wav_bytes.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<float> ramp(std::size_t n, float start = 0.0f) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = start + static_cast<float>(i) * 0.001f;
    return v;
}

class WavWriterTest : public ::testing::Test {
protected:
    const TempDir dir{"wav-writer"};
    const std::string path = dir.file("out.wav");
};

TEST_F(WavWriterTest, HeaderDescribesMonoFloat44100) {
    const std::string h = WavWriter::headerBytes(1000);
    ASSERT_EQ(h.size(), WavWriter::headerSize);
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(h, 4), 58u - 8u + 4000u);
    EXPECT_EQ(h.substr(8, 4), "WAVE");
    EXPECT_EQ(h.substr(12, 4), "fmt ");
    EXPECT_EQ(u32(h, 16), 18u);
    EXPECT_EQ(u16(h, 20), 3u); // IEEE float
    EXPECT_EQ(u16(h, 22), 1u); // mono
    EXPECT_EQ(u32(h, 24), 44100u);
    EXPECT_EQ(u32(h, 28), 176400u);
    EXPECT_EQ(u16(h, 32), 4u);
    EXPECT_EQ(u16(h, 34), 32u);
    EXPECT_EQ(u16(h, 36), 0u);
    EXPECT_EQ(h.substr(38, 4), "fact");
    EXPECT_EQ(u32(h, 42), 4u);
    EXPECT_EQ(u32(h, 46), 1000u);
    EXPECT_EQ(h.substr(50, 4), "data");
    EXPECT_EQ(u32(h, 54), 4000u);
}

TEST_F(WavWriterTest, HeaderSizesClampAtTheFormatLimit) {
    const std::string h = WavWriter::headerBytes(WavWriter::maxSamples + 10);
    EXPECT_EQ(u32(h, 54), WavWriter::maxSamples * 4);
    EXPECT_LE(std::uint64_t{u32(h, 4)} + 8, 0xFFFFFFFFull + 8);
    EXPECT_EQ(u32(h, 4), 50u + WavWriter::maxSamples * 4);
}

TEST_F(WavWriterTest, FinishedFileHoldsSamplesLittleEndianAndExactSizes) {
    const auto samples = ramp(700, -0.25f);
    {
        WavWriter w(path);
        EXPECT_EQ(w.append(std::span<const float>(samples).first(300)), 300u);
        EXPECT_EQ(w.append(std::span<const float>(samples).subspan(300)), 400u);
        w.finish();
    }
    const std::string b = readFile(path);
    ASSERT_EQ(b.size(), 58u + 700u * 4u);
    EXPECT_EQ(b.substr(0, 58), WavWriter::headerBytes(700));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::uint32_t bits = u32(b, 58 + i * 4);
        float f;
        std::memcpy(&f, &bits, 4);
        ASSERT_EQ(f, samples[i]) << "sample " << i;
    }
}

TEST_F(WavWriterTest, DestructorFinishesAnUnfinishedFile) {
    {
        WavWriter w(path);
        w.append(ramp(10));
    }
    EXPECT_EQ(readFile(path).substr(0, 58), WavWriter::headerBytes(10));
}

TEST_F(WavWriterTest, NewFileAlreadyHasAValidEmptyHeader) {
    WavWriter w(path);
    EXPECT_EQ(readFile(path), WavWriter::headerBytes(0));
}

TEST_F(WavWriterTest, KilledWriterLeavesFileReadableUpToLastHeaderUpdate) {
    // The child writes, updates the header, writes more and dies without finishing.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        WavWriter* w = new WavWriter(path);
        w->append(ramp(1000));
        w->updateHeader();
        w->append(ramp(500, 5.0f));
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));

    const std::string b = readFile(path);
    ASSERT_EQ(b.size(), 58u + 1500u * 4u) << "every appended sample is in the file";
    EXPECT_EQ(b.substr(0, 58), WavWriter::headerBytes(1000));
    EXPECT_LE(58u + u32(b, 54), b.size()) << "the header never claims more data than the file holds";
}

TEST_F(WavWriterTest, ReportsAFileThatCannotBeCreated) {
    EXPECT_THROW(WavWriter((dir / "missing" / "out.wav").string()), std::system_error);
}

TEST_F(WavWriterTest, TruncatesAnExistingFile) {
    { std::ofstream(path) << std::string(10000, 'x'); }
    {
        WavWriter w(path);
        w.append(ramp(2));
    }
    EXPECT_EQ(readFile(path).size(), 58u + 8u);
}

} // namespace
