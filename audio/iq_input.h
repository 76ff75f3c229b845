// SPDX-License-Identifier: GPL-3.0-or-later
// Complex baseband (IQ) from SDR receivers, for the band monitor: raw byte streams in the formats
// SDR programs write (cu8 from rtl_sdr, cs8, cs16, cf32), or two-channel sound files (I left, Q
// right) through libsndfile. The samples keep the stream's own rate (an IQ rate is chosen for the
// band it shows, not for the demodulator) and come out as std::complex<float> at full scale +-1.
// kiwirecorder's IQ files with kiwi chunks (--kiwi-wav) are read by a reader of our own (kiwi_wav.h).
//
// While it reads, the input measures the receiver's own faults from the samples: its DC offset (the
// local oscillator leaking through, a spike at the centre) and the imbalance of its I and Q paths in
// gain and phase (which puts a mirror image of every signal on the other side of the centre). The
// imbalance is estimated from second-order statistics on the assumption that what the receiver hears
// is, taken together, circular: as much power in I as in Q, and none shared between them. Wideband IQ
// dominated by noise is that, and gives good estimates. Signals that are their own mirror image fake
// an imbalance: a carrier or an AM or double-sideband signal at the centre, a real-valued test
// signal, or one strong carrier within a few hertz of the centre over a short stretch. A carrier at
// the centre also reads as DC offset.
#pragma once

#include "audio/kiwi_wav.h"
#include "audio/raw_stream.h"
#include "audio/sound_file.h"

#include <complex>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// How far apart a receiver's I and Q paths are.
struct IqImbalance {
    double gainDb = 0.0;  // I's RMS over Q's, DC removed: positive when I is the stronger
    // The departure of the two from quadrature, from their correlation: positive when I and Q are
    // positively correlated (Q's axis leans towards I's).
    double phaseDegrees = 0.0;
    // The power of a signal over that of its mirror image these two make; infinite when they are
    // exactly balanced.
    double imageRejectionDb = 0.0;
};

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
    // Samples read since the input was opened, and those of them with I or Q at the end of the
    // format's range: an overloaded receiver's clipping.
    std::uint64_t samplesRead() const { return samplesRead_; }
    std::uint64_t clippedSamples() const { return clippedSamples_; }

    // The mean of the samples read so far, at full scale 1 (in dBFS: 20 log10 of its magnitude).
    std::complex<double> dcOffset() const;
    // The imbalance of I and Q over the samples read so far; nothing before I and Q have both varied.
    std::optional<IqImbalance> imbalance() const;

private:
    enum class Source { SoundFile, Raw, KiwiWav };

    bool checkFile(std::string& error);
    bool startKiwi();
    void startRaw(IqFormat format, int sampleRate);
    void startCounting();
    void account(std::span<const std::complex<float>> samples);

    SoundFileReader file_;
    RawFrameReader raw_;
    KiwiWavReader kiwi_;
    Source source_ = Source::SoundFile;
    bool open_ = false;
    IqFormat format_ = IqFormat::Cu8;
    int sampleRate_ = 0;

    std::vector<double> block_;
    std::string error_;
    float fullScale_ = 1.0f;  // the largest magnitude the format holds
    std::uint64_t samplesRead_ = 0;
    std::uint64_t clippedSamples_ = 0;
    // Sums of I, Q and their products over every sample read: each block's summed on its own, then
    // added here, in doubles, so that hours of samples keep their precision.
    double sumI_ = 0.0, sumQ_ = 0.0, sumII_ = 0.0, sumQQ_ = 0.0, sumIQ_ = 0.0;
};

}  // namespace sondeco
