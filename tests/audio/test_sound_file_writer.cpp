// SPDX-License-Identifier: GPL-3.0-or-later
// WAV files written through libsndfile: what goes in reads back, and every way writing fails is said.
#include "audio/sound_file_writer.h"
#include "tests/audio/sound_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <climits>

namespace sondeco {
namespace {

using testing::readToTheEnd;
using testing::scratchPath;

TEST(SoundFileWriter, WritesSixteenBitWavThatReadsBackFrameForFrame) {
    std::vector<std::int16_t> frames;
    for (int n = 0; n < 1000; ++n) {
        frames.push_back(static_cast<std::int16_t>(n * 30 - 15000));
        frames.push_back(static_cast<std::int16_t>(n % 2 == 0 ? -32768 : 32767));
    }
    const auto path = scratchPath("a.wav");
    SoundFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path.string(), 2, 44100, error)) << error;
    ASSERT_TRUE(writer.writeFrames(frames.data(), 600));
    ASSERT_TRUE(writer.writeFrames(frames.data() + 1200, 400));
    ASSERT_TRUE(writer.close(error)) << error;

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 44100);
    std::vector<short> back(2200);
    EXPECT_EQ(sf_readf_short(file, back.data(), 1100), 1000);
    sf_close(file);
    back.resize(2000);
    EXPECT_EQ(std::vector<std::int16_t>(back.begin(), back.end()), frames);
}

TEST(SoundFileWriter, EveryFailureIsSaidAndNoFileIsMadeForAFormatWavCannotHold) {
    SoundFileWriter writer;
    std::string error;
    const auto unwritable = scratchPath("no-such-directory") / "out.wav";
    EXPECT_FALSE(writer.open(unwritable.string(), 2, 48000, error));
    EXPECT_EQ(error, "cannot be written: No such file or directory");

    // A full disk: the header is the first thing that does not fit.
    EXPECT_FALSE(writer.open("/dev/full", 2, 48000, error));
    EXPECT_EQ(error, "cannot be written: No space left on device");

    // A pipe cannot take the header's sizes at the end.
    const auto fifo = scratchPath("fifo");
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_FALSE(writer.open(fifo.string(), 2, 48000, error));
    EXPECT_EQ(error.rfind("cannot be written: ", 0), 0u) << error;
    EXPECT_NE(error.find("pipe"), std::string::npos) << error;
    ::close(reader);

    const auto out = scratchPath("out.wav");
    std::filesystem::remove(out);
    for (const auto& [channels, rate] : {std::pair{64258, 48000}, {1025, 48000}, {0, 48000}, {-2, 48000}, {2, INT_MAX}, {1, 0}}) {
        EXPECT_FALSE(writer.open(out.string(), channels, rate, error)) << channels << " channels at " << rate;
        EXPECT_EQ(error,
                  "cannot be written: " + std::to_string(channels) + " channels at " + std::to_string(rate) + " Hz do not fit a WAV file");
        EXPECT_FALSE(std::filesystem::exists(out));
        const std::int16_t frame[2] = {};
        EXPECT_FALSE(writer.writeFrames(frame, 1));
        EXPECT_TRUE(writer.close(error));
    }
}

}  // namespace
}  // namespace sondeco
