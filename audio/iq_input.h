// SPDX-License-Identifier: GPL-3.0-or-later
// Complex baseband (IQ) from SDR receivers, for the band monitor: raw byte streams in the formats
// SDR programs write (cu8 from rtl_sdr, cs8, cs16, cf32), or two-channel sound files (I left, Q
// right) through libsndfile. The samples keep the stream's own rate (an IQ rate is chosen for the
// band it shows, not for the demodulator) and come out as std::complex<float> at full scale +-1.
#pragma once

#include "audio/raw_stream.h"
#include "audio/sound_file.h"

#include <complex>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

class IqInput {
public:
    IqInput() = default;
    IqInput(const IqInput&) = delete;
    IqInput& operator=(const IqInput&) = delete;

    // Every failure comes back as a sentence that can follow the input's name.
    // A raw stream by name ("-" reads standard input); it cannot tell its rate, so it is given.
    bool openRaw(const std::string& path, IqFormat format, int sampleRate, std::string& error);
    bool openRawStream(std::FILE* stream, bool owned, IqFormat format, int sampleRate, std::string& error);
    // A two-channel sound file by name ("-" reads standard input), or held in memory.
    bool openFile(const std::string& path, std::string& error);
    bool openFileInMemory(std::string_view bytes, std::string& error);

    int sampleRate() const { return sampleRate_; }

    // Fills `destination` and returns how many samples it holds; fewer only at the end of the
    // input, 0 from then on. error() then says whether the end was a failure.
    std::size_t read(std::span<std::complex<float>> destination);
    const std::string& error() const { return error_; }
    // Samples read so far, and those of them with I or Q at the end of the format's range: an
    // overloaded receiver's clipping.
    std::uint64_t samplesRead() const { return samplesRead_; }
    std::uint64_t clippedSamples() const { return clippedSamples_; }

private:
    bool checkFile(std::string& error);
    void startRaw(IqFormat format, int sampleRate);

    SoundFileReader file_;
    RawFrameReader raw_;
    bool isRaw_ = false;
    bool open_ = false;
    IqFormat format_ = IqFormat::Cu8;
    int sampleRate_ = 0;
    void countClipping(std::span<const std::complex<float>> samples);

    std::vector<double> block_;
    std::string error_;
    float fullScale_ = 1.0f;  // the largest magnitude the format holds
    std::uint64_t samplesRead_ = 0;
    std::uint64_t clippedSamples_ = 0;
};

}  // namespace sondeco
