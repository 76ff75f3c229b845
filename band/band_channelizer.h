// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Cuts a wideband complex stream into channels on a 500 Hz raster, the spacing DGPS beacons are
// assigned on, each a complex baseband of about 1000 samples a second centred on its raster point.
//
// A polyphase filter bank (liquid-dsp's firpfbch2: one FFT of all channels per half-channel of input,
// each channel oversampled twice) does the work of every channel at the price of one FFT, so the
// cost hardly grows with the band. The oversampling leaves each channel's output room for a beacon's
// main lobe (+-150 Hz at 200 bit/s) beside the filter's transition, and for the acquisition's squared
// signal. The bank's spacing is the input rate over an even number of channels, 500 Hz exactly for
// every rate that is a multiple of 1 kHz (all SDR rates in use); other rates get a spacing a few
// millihertz off, which the acquisition's search absorbs.
//
// The raster is kept in absolute terms: the stream is first turned by the distance from its centre to
// the nearest raster point, so that channel k's centre is that raster point plus k times the spacing.
// A second bank on a grid turned by another half spacing gives centres every 250 Hz for streams
// whose beacons sit anywhere (audio, or IQ without a known centre).
#include "coherent/baseband.h"

#include <complex>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace sondeco {

class BandChannelizer {
public:
    static constexpr double RasterHz = 500.0;

    // `sampleRate`: of the input, 8000 Hz or more. `gridOffsetHz`: where the raster points lie,
    // relative to the input's 0 Hz (0 when the stream's centre is on the raster). Throws
    // std::invalid_argument for rates it cannot work with.
    BandChannelizer(double sampleRate, double gridOffsetHz);
    ~BandChannelizer();
    BandChannelizer(const BandChannelizer&) = delete;
    BandChannelizer& operator=(const BandChannelizer&) = delete;

    int channelCount() const { return channels_; }
    double spacingHz() const { return spacing_; }
    double outputRate() const { return 2.0 * spacing_; }
    // Channel k's centre relative to the input's 0 Hz, for k in [0, channelCount()): channels wrap
    // around as the FFT's bins do, so the upper half are the negative frequencies.
    double centreHz(int channel) const;
    // The channel whose centre lies nearest `hz` (relative to 0 Hz), if it is well inside the stream.
    int channelNearest(double hz) const;
    // Channels whose passband lies wholly inside the stream (away from its edges, where the anti-alias
    // filter of the SDR and the filter bank's own wrap-around spoil them).
    bool usable(int channel) const;

    // Takes input samples (any block size) and appends each chosen channel's output to its vector in
    // `outputs`, which has one entry per channel (entries for channels not wanted may stay empty:
    // `wanted` lists the ones copied out). Output k's samples are channel k shifted to 0 Hz.
    void process(std::span<const ComplexSample> input, std::span<const int> wanted, std::vector<std::vector<ComplexSample>>& outputs);

private:
    struct Bank;
    double sampleRate_;
    double gridOffset_;
    int channels_;
    double spacing_;
    std::unique_ptr<Bank> bank_;
    std::vector<ComplexSample> pending_;  // input waiting to make up half a channel count
    std::vector<ComplexSample> spectrum_;
    std::complex<double> mixer_{1.0, 0.0};  // turns the grid onto the bank's bins
    std::complex<double> mixerStep_{1.0, 0.0};
    std::size_t sinceRenormalised_ = 0;
};

}  // namespace sondeco
