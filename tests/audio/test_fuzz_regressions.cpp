// Inputs the fuzz targets once broke the WAV code with (tests/fuzz/regressions/fuzz_wav_reader holds
// the raw inputs); each case checks the behaviour that replaced the failure.
#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace sondeco {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class WavFuzzRegressionTest : public ::testing::Test {
protected:
    fs::path directory_ = fs::path(::testing::TempDir()) / ("wav-fuzz-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(directory_); }
    void TearDown() override { fs::remove_all(directory_); }
};

// A header claiming 64258 channels is a valid file to read, but writing its audio back made the byte
// rate (48000 * 64258 * 2) overflow int, and the frame size does not fit the header's 16-bit field.
TEST_F(WavFuzzRegressionTest, FormatsAWavHeaderCannotHoldAreRefusedBeforeAFileIsMade) {
    const std::string found =
        "RIFFZ\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\xfb\x80\xbb\0\0\0e\x04\0\x06\0\x10\0"
        "junk\x03\0\0\0abc\0data\x70\x17\0\0\0\0D\x03\x7f\x06\xa8\x09\xb5\x0c"s;
    std::FILE* stream = fmemopen(const_cast<char*>(found.data()), found.size(), "rb");
    ASSERT_NE(stream, nullptr);
    WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.openStream(stream, true, error)) << error;
    EXPECT_EQ(reader.info().channels, 64258);

    const fs::path out = directory_ / "out.wav";
    WavWriter writer;
    EXPECT_FALSE(writer.open(out.string(), reader.info().channels, reader.info().sampleRate, error));
    EXPECT_EQ(error, "cannot be written: 64258 channels at 48000 Hz do not fit a WAV header");
    EXPECT_FALSE(fs::exists(out));
    const std::vector<std::int16_t> frame(64258);
    EXPECT_FALSE(writer.writeFrames(frame.data(), 1));

    for (const auto& [channels, rate] : {std::pair{32768, 48000}, {0, 48000}, {-2, 48000}, {2, INT_MAX}, {1, 0}}) {
        EXPECT_FALSE(writer.open(out.string(), channels, rate, error)) << channels << " channels at " << rate;
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(WavFuzzRegressionTest, TheWidestFrameAHeaderHoldsIsWrittenAndReadBack) {
    const fs::path out = directory_ / "wide.wav";
    std::vector<std::int16_t> frame(32767);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::int16_t>(i);
    WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(out.string(), 32767, 48000, error)) << error;
    ASSERT_TRUE(writer.writeFrames(frame.data(), 1));
    ASSERT_TRUE(writer.close(error)) << error;

    WavReader reader;
    ASSERT_TRUE(reader.open(out.string(), error)) << error;
    EXPECT_EQ(reader.info().channels, 32767);
    std::vector<std::int16_t> back(frame.size());
    EXPECT_EQ(reader.readFrames(back.data(), 1), 1u);
    EXPECT_EQ(back, frame);
}

}  // namespace
}  // namespace sondeco
