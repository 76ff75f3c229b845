// SPDX-License-Identifier: GPL-3.0-or-later
// Writes WAV files through libsndfile, 16-bit PCM unless asked for 32-bit PCM or floats: sondeco-gen's
// test signals and IQ recordings, the tests' recordings.
// libsndfile fills in the header's sizes when the file is closed, so the output must be a file (a
// pipe cannot go back to the header).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's SNDFILE, kept out of this header

namespace sondeco {

enum class WavSampleFormat { Pcm16, Pcm32, Float };

class SoundFileWriter {
public:
    SoundFileWriter() = default;
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;
    ~SoundFileWriter();

    // `path` "-" writes to standard output when that is a file. Every failure comes back as a
    // sentence that can follow the file's name ("cannot be written: No space left on device").
    bool open(const std::string& path, int channels, int sampleRate, std::string& error,
              WavSampleFormat sampleFormat = WavSampleFormat::Pcm16);
    // False once anything has failed; close() says what.
    bool writeFrames(const std::int16_t* interleaved, std::size_t frames);
    // Samples at full scale +-1, to PCM as the readers take it back (times 2^15 or 2^31, rounded, and
    // saturating beyond full scale), or as they are to floats.
    bool writeFrames(const float* interleaved, std::size_t frames);
    bool close(std::string& error);

private:
    sf_private_tag* file_ = nullptr;
    int descriptor_ = -1;  // owned: opened by name
    int channels_ = 0;
    WavSampleFormat sampleFormat_ = WavSampleFormat::Pcm16;
    std::vector<std::int16_t> pcm16_;  // floats converted for writing
    std::vector<std::int32_t> pcm32_;
    std::string failure_;  // the first thing that went wrong since open()
};

}  // namespace sondeco
