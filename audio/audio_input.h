// SPDX-License-Identifier: GPL-3.0-or-later
// Every recording in, as the receiver takes it: a sound file of any format libsndfile reads, or raw
// audio from a byte stream, at any rate from 8000 to 384000 Hz, comes out as 48000 Hz samples of the
// chosen channels in 16-bit units (full scale +-32768, whatever the file holds), as doubles.
#pragma once

#include "audio/raw_stream.h"
#include "audio/resampler.h"
#include "audio/sound_file.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// Which channels to deliver: `count` of them from `first` (0-based), fewer if the input has fewer.
struct ChannelChoice {
    int first = 0;
    int count = 1;
};

class AudioInput {
public:
    static constexpr int OutputRate = 48000;
    static constexpr int LowestRate = 8000;
    static constexpr int HighestRate = 384000;

    AudioInput() = default;
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // Every failure comes back as a sentence that can follow the input's name ("is sampled at 1000
    // Hz; 8000 to 384000 Hz are supported"); channels in it are counted from 1, as people do.
    // A sound file by name; "-" reads standard input.
    bool openFile(const std::string& path, ChannelChoice channels, std::string& error);
    // A sound file from a descriptor that stays the caller's to close: a file, or a pipe.
    bool openFileDescriptor(int descriptor, ChannelChoice channels, std::string& error);
    // A whole sound file held in memory; the bytes must outlive the input.
    bool openFileInMemory(std::string_view bytes, ChannelChoice channels, std::string& error);
    // Raw audio by name; "-" reads standard input.
    bool openRaw(const std::string& path, const RawAudioFormat& format, ChannelChoice channels, std::string& error);
    // Raw audio from an open stream (closed by the input only if `owned`).
    bool openRawStream(std::FILE* stream, bool owned, const RawAudioFormat& format, ChannelChoice channels, std::string& error);

    int inputChannels() const { return inputChannels_; }
    int inputRate() const { return inputRate_; }
    int outputChannels() const { return static_cast<int>(picked_); }
    // The file's format as libsndfile names it, or "raw s16" and the like.
    const std::string& formatName() const { return formatName_; }
    // The input's announced length in frames at its own rate; -1 when unknown.
    std::int64_t announcedFrames() const { return announcedFrames_; }

    // Fills `destination` with whole frames (outputChannels() samples each, interleaved) at 48000 Hz
    // and returns how many; fewer only at the end of the input, 0 from then on. error() then says
    // whether the end was a failure; the audio before it has all been delivered.
    std::size_t read(std::span<double> destination);
    const std::string& error() const { return error_; }

    // Back to the first frame; false for a stream that cannot go back.
    bool rewind();

private:
    bool startRaw(const RawAudioFormat& format, ChannelChoice channels, std::string& error);
    bool start(int channels, int rate, ChannelChoice choice, std::string& error);
    bool startFile(bool opened, ChannelChoice choice, std::string& error);
    void refill();
    std::size_t readSource(double* interleaved, std::size_t frames);

    SoundFileReader file_;
    RawFrameReader raw_;
    bool isRaw_ = false;
    RawSampleFormat rawFormat_ = RawSampleFormat::S16;
    std::string formatName_;
    std::int64_t announcedFrames_ = -1;
    int inputChannels_ = 0;
    int inputRate_ = 0;
    std::size_t first_ = 0;
    std::size_t picked_ = 1;
    bool resampling_ = false;
    Resampler resampler_;
    std::vector<double> block_;  // one read of the source, all its channels
    std::vector<double> decodedRaw_;
    std::vector<double> chosen_;  // the chosen channels of it, in 16-bit units
    std::vector<double> ready_;  // 48 kHz output not handed out yet
    std::size_t readyFrom_ = 0;
    bool finished_ = false;
    std::string error_;
};

}  // namespace sondeco
