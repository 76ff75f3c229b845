#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace sondeco {
namespace {

namespace fs = std::filesystem;

class WavFileTest : public ::testing::Test {
protected:
    fs::path path(const std::string& name) const { return directory_ / name; }

    // A WAV file written byte by byte, so that broken headers can be made on purpose.
    fs::path writeRaw(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }

    static std::string le32(std::uint32_t v) {
        return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    }
    static std::string le16(std::uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
    static std::string formatChunk(int tag, int channels, int rate, int bits) {
        return "fmt " + le32(16) + le16(static_cast<std::uint16_t>(tag)) + le16(static_cast<std::uint16_t>(channels)) +
               le32(static_cast<std::uint32_t>(rate)) + le32(static_cast<std::uint32_t>(rate * channels * bits / 8)) +
               le16(static_cast<std::uint16_t>(channels * bits / 8)) + le16(static_cast<std::uint16_t>(bits));
    }

    std::string openError(const fs::path& file) {
        WavReader reader;
        std::string error;
        EXPECT_FALSE(reader.open(file.string(), error));
        return error;
    }

    fs::path directory_ = fs::path(::testing::TempDir()) / ("wav-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(directory_); }
    void TearDown() override { fs::remove_all(directory_); }
};

TEST_F(WavFileTest, WrittenFileReadsBackFrameForFrameAndRewinds) {
    std::vector<std::int16_t> frames;
    for (int n = 0; n < 1000; ++n) {
        frames.push_back(static_cast<std::int16_t>(n * 30 - 15000));
        frames.push_back(static_cast<std::int16_t>(-n));
    }
    WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path("a.wav").string(), 2, 48000, error)) << error;
    ASSERT_TRUE(writer.writeFrames(frames.data(), 600));
    ASSERT_TRUE(writer.writeFrames(frames.data() + 1200, 400));
    ASSERT_TRUE(writer.close(error)) << error;

    WavReader reader;
    ASSERT_TRUE(reader.open(path("a.wav").string(), error)) << error;
    EXPECT_EQ(reader.info().channels, 2);
    EXPECT_EQ(reader.info().dataBytes, 4000u);
    std::vector<std::int16_t> back(2200);
    EXPECT_EQ(reader.readFrames(back.data(), 1100), 1000u);
    back.resize(2000);
    EXPECT_EQ(back, frames);
    EXPECT_EQ(reader.readFrames(back.data(), 10), 0u);
    EXPECT_FALSE(reader.truncated());
    ASSERT_TRUE(reader.rewind());
    EXPECT_EQ(reader.readFrames(back.data(), 1), 1u);
    EXPECT_EQ(back[0], frames[0]);
}

TEST_F(WavFileTest, SkipsForeignChunksAndReadsExtensibleFormat) {
    std::string extensible = "fmt " + le32(40) + le16(0xFFFE) + le16(1) + le32(48000) + le32(96000) + le16(2) + le16(16) + le16(22) +
                             le16(16) + le32(4) + le16(1) + std::string(14, '\0');
    const std::string bytes =
        "RIFF" + le32(0) + "WAVE" + "LIST" + le32(3) + "abc" + '\0' + extensible + "data" + le32(4) + le16(0x1234) + le16(0xFFFF);
    WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(writeRaw("x.wav", bytes).string(), error)) << error;
    std::int16_t samples[2] = {};
    EXPECT_EQ(reader.readFrames(samples, 5), 2u);
    EXPECT_EQ(samples[0], 0x1234);
    EXPECT_EQ(samples[1], -1);
}

TEST_F(WavFileTest, EveryUnusableFileGetsAReasonThatFollowsItsName) {
    EXPECT_EQ(openError(path("missing.wav")), "cannot be opened: No such file or directory");
    EXPECT_EQ(openError(writeRaw("short.wav", "RIFF")), "is not a WAV file (it is shorter than a WAV header)");
    EXPECT_EQ(openError(writeRaw("text.wav", "this is some text, not audio")), "is not a WAV file (no RIFF/WAVE header)");
    const std::string head = "RIFF" + le32(0) + "WAVE";
    EXPECT_EQ(openError(writeRaw("nofmt.wav", head + "data" + le32(0))), "is not a usable WAV file (data before the fmt chunk)");
    EXPECT_EQ(openError(writeRaw("nodata.wav", head + formatChunk(1, 2, 48000, 16))), "holds no audio data (no data chunk)");
    EXPECT_EQ(openError(writeRaw("8bit.wav", head + formatChunk(1, 1, 48000, 8) + "data" + le32(0))),
              "is not 16-bit PCM (format 1, 8 bits per sample)");
    EXPECT_EQ(openError(writeRaw("float.wav", head + formatChunk(3, 1, 48000, 32) + "data" + le32(0))),
              "is not 16-bit PCM (format 3, 32 bits per sample)");
    EXPECT_EQ(openError(writeRaw("cd.wav", head + formatChunk(1, 2, 44100, 16) + "data" + le32(0))),
              "is sampled at 44100 Hz, not 48000 Hz");
    EXPECT_EQ(openError(writeRaw("huge-fmt.wav", head + "fmt " + le32(0x7FFFFFF0))), "is not a usable WAV file (bad fmt chunk)");
}

TEST_F(WavFileTest, FileCutShortIsReadAsFarAsItGoesAndSaysSo) {
    const std::string head = "RIFF" + le32(0) + "WAVE" + formatChunk(1, 1, 48000, 16);
    WavReader reader;
    std::string error;
    // The header promises 100 frames; the file holds three and a half.
    ASSERT_TRUE(reader.open(writeRaw("cut.wav", head + "data" + le32(200) + std::string(7, '\x01')).string(), error));
    std::int16_t samples[100];
    EXPECT_EQ(reader.readFrames(samples, 100), 3u);
    EXPECT_TRUE(reader.truncated());
}

TEST_F(WavFileTest, StreamedHeaderWithoutSizeIsReadToTheEnd) {
    const std::string head = "RIFF" + le32(0) + "WAVE" + formatChunk(1, 1, 48000, 16);
    WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(writeRaw("stream.wav", head + "data" + le32(0) + std::string(10, '\0')).string(), error));
    EXPECT_FALSE(reader.info().dataSizeKnown);
    std::int16_t samples[10];
    EXPECT_EQ(reader.readFrames(samples, 10), 5u);
    EXPECT_FALSE(reader.truncated());
}

}  // namespace
}  // namespace sondeco

namespace sondeco {
namespace {

TEST(WavReadBlocks, StayWithinAMegabyteWhateverTheChannelCount) {
    EXPECT_EQ(framesPerRead(2, 4800), 4800u);
    EXPECT_EQ(framesPerRead(1, 4800), 4800u);
    EXPECT_EQ(framesPerRead(200, 4800), (1u << 20) / 400);
    EXPECT_EQ(framesPerRead(65535, 4800), 8u);  // 128 kB frames: 8 to a read, not 630 MB for a buffer
    EXPECT_EQ(framesPerRead(0, 4800), 4800u);
}

}  // namespace
}  // namespace sondeco
