// SPDX-License-Identifier: GPL-3.0-or-later
// Inputs the fuzz target once broke the audio code with (tests/fuzz/regressions/fuzz_wav_reader holds
// the raw inputs); each case checks the behaviour that replaced the failure.
#include "audio/audio_input.h"
#include "audio/sound_file_writer.h"
#include "tests/audio/sound_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sondeco {
namespace {

using namespace std::string_literals;
using testing::readToTheEnd;
using testing::scratchPath;

// A header claiming 64258 channels once made writing its audio back overflow the byte rate. No file
// can have more channels than libsndfile takes (1024), so reading refuses it, and so does writing.
TEST(AudioFuzzRegression, AHeaderWithMoreChannelsThanLibsndfileTakesIsRefusedBothWays) {
    const std::string found =
        "RIFFZ\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\xfb\x80\xbb\0\0\0e\x04\0\x06\0\x10\0"
        "junk\x03\0\0\0abc\0data\x70\x17\0\0\0\0D\x03\x7f\x06\xa8\x09\xb5\x0c"s;
    AudioInput input;
    std::string error;
    EXPECT_FALSE(input.openFileInMemory(found, {}, error));
    EXPECT_EQ(error.rfind("is not a sound file libsndfile can read: ", 0), 0u) << error;

    SoundFileWriter writer;
    EXPECT_FALSE(writer.open(scratchPath("out.wav").string(), 64258, 48000, error));
    EXPECT_EQ(error, "cannot be written: 64258 channels at 48000 Hz do not fit a WAV file");
}

TEST(AudioFuzzRegression, TheWidestFrameLibsndfileTakesIsWrittenAndReadBack) {
    const auto out = scratchPath("wide.wav");
    std::vector<std::int16_t> frame(1024);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::int16_t>(i * 31 - 16000);
    SoundFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(out.string(), 1024, 48000, error)) << error;
    ASSERT_TRUE(writer.writeFrames(frame.data(), 1));
    ASSERT_TRUE(writer.close(error)) << error;

    AudioInput input;
    ASSERT_TRUE(input.openFile(out.string(), {0, 1024}, error)) << error;
    EXPECT_EQ(input.inputChannels(), 1024);
    EXPECT_EQ(readToTheEnd(input), std::vector<double>(frame.begin(), frame.end()));
}

// A FLAC file whose last block is damaged: libsndfile sought back to its start went on from the
// damage, so the desktop program's second pass through the recording gave no audio. Opened again
// instead, every pass is the first.
TEST(AudioFuzzRegression, ADamagedFlacFileGivesTheSameAudioOnEveryPass) {
    std::string bytes = testing::readWhole(SONDECO_TEST_DATA "/../fuzz/regressions/fuzz_wav_reader/flac-losing-sync-at-its-end-rewound");
    ASSERT_GT(bytes.size(), 11u);
    bytes.resize(bytes.size() - 11);  // the fuzz target's option bytes
    AudioInput input;
    std::string error;
    ASSERT_TRUE(input.openFileInMemory(bytes, {}, error)) << error;
    const auto first = readToTheEnd(input);
    const std::string end = input.error();
    EXPECT_EQ(end.rfind("is damaged at ", 0), 0u) << end;
    for (int pass = 2; pass <= 3; ++pass) {
        ASSERT_TRUE(input.rewind());
        EXPECT_EQ(readToTheEnd(input), first) << "pass " << pass;
        EXPECT_EQ(input.error(), end);
    }
}

// An Ogg file with a broken Vorbis header: refused with libsndfile's reason. (libsndfile keeps a
// little memory of it, which the leak checks are told about.)
TEST(AudioFuzzRegression, AnOggFileWithABrokenHeaderIsRefused) {
    std::string bytes = testing::readWhole(SONDECO_TEST_DATA "/../fuzz/regressions/fuzz_wav_reader/libsndfile-keeps-a-broken-ogg-header");
    ASSERT_GT(bytes.size(), 11u);
    bytes.resize(bytes.size() - 11);  // the fuzz target's option bytes
    AudioInput input;
    std::string error;
    EXPECT_FALSE(input.openFileInMemory(bytes, {}, error));
    EXPECT_EQ(error, "is not a sound file libsndfile can read: supported file format but file is malformed");
}

}  // namespace
}  // namespace sondeco
