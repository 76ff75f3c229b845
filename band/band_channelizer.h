// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Cuts a wideband complex stream into channels on a 500 Hz raster, the spacing DGPS beacons are
// assigned on, each a complex baseband of about 1000 samples a second centred on its raster point.
//
// A polyphase filter bank does the work of every channel at the price of one FFT per half-channel
// of input, so the cost hardly grows with the band. Each channel is oversampled twice, which leaves
// its output room for a beacon's main lobe (+-150 Hz at 200 bit/s) beside the filter's transition,
// and for the acquisition's squared signal. The bank's spacing is the input rate over an even number
// of channels, 500 Hz exactly for every rate that is a multiple of 1 kHz (all SDR rates in use);
// other rates get a spacing a little off, which the acquisition's search absorbs.
//
// With seams, the same bank also gives the channels half a spacing over, centred between the raster
// points, for streams whose beacons may sit anywhere (audio, or IQ without a known centre, or a
// receiver mistuned by a few hundred hertz). It is then a bank of twice the channels at half the
// spacing over the same filter, still one output every half raster channel count of input (so each
// channel is oversampled four times): the polyphase sums cost what they did (twice the branches, half
// the taps each) and the FFT is twice as long, where a second bank turned by half a spacing would
// cost both twice, and the turning.
//
// The raster is kept in absolute terms: the stream is first turned by the distance from its centre to
// the nearest raster point, so that channel k's centre is that raster point plus k times the spacing.
//
// Every channel's power is summed as the bank runs (it costs a multiply-add per channel, where its
// samples would cost a copy); only the channels asked for are copied out.
#include "band/mixed_radix_fft.h"
#include "coherent/baseband.h"

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sondeco {

class BandChannelizer {
public:
    static constexpr double RasterHz = 500.0;

    // `sampleRate`: of the input, 8000 Hz or more. `gridOffsetHz`: where the raster points lie,
    // relative to the input's 0 Hz (0 when the stream's centre is on the raster). `seams`: the
    // channels between the raster points too. Throws std::invalid_argument for rates it cannot work
    // with.
    BandChannelizer(double sampleRate, double gridOffsetHz, bool seams = false);
    ~BandChannelizer();
    BandChannelizer(const BandChannelizer&) = delete;
    BandChannelizer& operator=(const BandChannelizer&) = delete;

    // The raster channels a stream of this rate gets, and their spacing: the rate over 500 Hz
    // (rounded to an even count), or the nearest count the FFT does quickly (one whose prime factors
    // are all 7 or less) where that has a large prime factor: 500 Hz exactly when the rate is a
    // multiple of 1 kHz, a little off otherwise.
    static int rasterChannelsFor(double sampleRate);
    static double spacingFor(double sampleRate) { return sampleRate / rasterChannelsFor(sampleRate); }

    int channelCount() const { return branches_; }
    // Between neighbouring raster channels (the seams lie half-way).
    double spacingHz() const { return spacing_; }
    double outputRate() const { return 2.0 * spacing_; }
    // Channel k's centre relative to the input's 0 Hz, for k in [0, channelCount()): channels wrap
    // around as the FFT's bins do, so the upper half are the negative frequencies. With seams, the
    // even channels are the raster's and the odd ones the seams between them.
    double centreHz(int channel) const;
    // The channel whose centre lies nearest `hz` (relative to 0 Hz).
    int channelNearest(double hz) const;
    // Channels whose passband lies wholly inside the stream (away from its edges, where the anti-alias
    // filter of the SDR and the filter bank's own wrap-around spoil them).
    bool usable(int channel) const;

    // Takes input samples (any block size) and appends each chosen channel's output to its vector in
    // `outputs`, which has one entry per channel (entries for channels not wanted may stay empty:
    // `wanted` lists the ones copied out). Output k's samples are channel k shifted to 0 Hz.
    void process(std::span<const ComplexSample> input, std::span<const int> wanted, std::vector<std::vector<ComplexSample>>& outputs);
    // The same, adding each output sample's power |y|^2 of every channel to `powerSums` (one entry
    // per channel); samplesOut() counts the samples each channel has given.
    void process(std::span<const ComplexSample> input, std::span<const int> wanted, std::vector<std::vector<ComplexSample>>& outputs,
                 std::span<float> powerSums);
    std::uint64_t samplesOut() const { return frames_; }

    // How fast a channel's power measured on noise settles, as a bandwidth in Hz: averaged over T
    // seconds, it lies within 1 / sqrt(T times this) of its mean (one standard deviation).
    double powerSettlingBandwidthHz() const { return settlingBandwidth_; }

    // Keeps every channel's last `samples` outputs from now on, so that a channel first asked for
    // late can be given its recent past: recent() appends channel k's last `count` of them (fewer if
    // fewer are kept), oldest first, each as process() would have given it.
    void keepRecent(std::size_t samples);
    void recent(int channel, std::size_t count, std::vector<ComplexSample>& out) const;

private:
    void takeFrame(std::span<const int> wanted, std::vector<std::vector<ComplexSample>>& outputs, std::span<float> powerSums);
    ComplexSample turned(float re, float im, std::size_t channel, std::uint64_t output) const;

    double sampleRate_;
    double gridOffset_;
    int raster_;  // channels on the raster: the input rate over the spacing
    int branches_;  // the bank's channels: the raster's, and the seams' too
    double spacing_;
    std::size_t decimation_;  // input samples per output sample: half the raster channels
    std::size_t tapsPerBranch_;
    // The prototype's taps, branch by branch, each branch's in reverse so that the polyphase sums
    // run forwards through the input: coefficients_[q * branches_ + i].
    std::vector<float> coefficients_;
    // The input, real and imaginary parts apart, newest last, with the prototype's length of past
    // samples before the newest frame's.
    std::vector<float> historyReal_, historyImaginary_;
    std::size_t historyEnd_;  // samples held
    std::size_t sinceFrame_ = 0;  // input samples since the last output sample
    std::uint64_t frames_ = 0;
    MixedRadixFft fft_;
    std::vector<float> real_, imaginary_;  // the polyphase sums, then the channels
    // The last outputs of every channel, output by output (the channels of one side by side, as the
    // FFT gives them, so that keeping them is one copy an output).
    std::size_t recentLength_ = 0;
    std::vector<float> recentReal_, recentImaginary_;
    std::uint64_t recentFrom_ = 0;  // the first output kept
    double settlingBandwidth_ = 0.0;
    // Turns the grid onto the bank's bins, block by block: the mixer's phase at a block's start, and
    // its steps through a block.
    std::complex<double> mixer_{1.0, 0.0};
    std::vector<std::complex<float>> mixerSteps_;
    std::complex<double> mixerBlockStep_{1.0, 0.0};
    bool mixing_ = false;
};

}  // namespace sondeco
