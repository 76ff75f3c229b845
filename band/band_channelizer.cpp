// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/band_channelizer.h"

#include <liquid/liquid.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sondeco {
namespace {

// The prototype filter. liquid-dsp's own design for this bank passes a whole spacing either side of
// the centre, so a neighbour beacon would come through at full strength (and, squared by the
// acquisition, fold back onto the channel). Ours is flat to 200 Hz either side, where a beacon's main
// lobe lies, and 80 dB down from 400 Hz, where the neighbour's begins: the neighbour's own spectral
// skirts, not the filter, are then what limits reception next to a strong station.
constexpr double CutoffHz = 300.0;  // half-way through the transition
constexpr unsigned PrototypeSemiLength = 7;  // in output samples: sets the transition's width
constexpr float PrototypeAttenuationDb = 80.0f;
// The mixer's phasor is put back on the unit circle this often, so rounding cannot make it drift.
constexpr std::size_t RenormaliseEvery = 4096;

}  // namespace

struct BandChannelizer::Bank {
    firpfbch2_crcf bank = nullptr;
    ~Bank() {
        if (bank != nullptr) firpfbch2_crcf_destroy(bank);
    }
};

BandChannelizer::BandChannelizer(double sampleRate, double gridOffsetHz) : sampleRate_(sampleRate), gridOffset_(gridOffsetHz) {
    if (!(sampleRate >= 8000.0) || !std::isfinite(sampleRate) || sampleRate > 1e8)
        throw std::invalid_argument("the channelizer needs a sample rate of at least 8000 Hz");
    channels_ = 2 * static_cast<int>(std::lround(sampleRate / (2.0 * RasterHz)));
    spacing_ = sampleRate / channels_;
    bank_ = std::make_unique<Bank>();
    const auto taps = 2 * static_cast<std::size_t>(channels_) * PrototypeSemiLength;
    std::vector<float> prototype(taps);
    liquid_firdes_kaiser(static_cast<unsigned>(taps), static_cast<float>(CutoffHz / sampleRate), PrototypeAttenuationDb, 0.0f,
                         prototype.data());
    // Unity gain at the centre (the bank divides by the channel count): a tone of amplitude A comes out
    // of its channel with amplitude A.
    double sum = 0.0;
    for (const float tap : prototype) sum += tap;
    for (float& tap : prototype) tap = static_cast<float>(tap * static_cast<double>(channels_) / sum);
    bank_->bank = firpfbch2_crcf_create(LIQUID_ANALYZER, static_cast<unsigned>(channels_), PrototypeSemiLength, prototype.data());
    if (bank_->bank == nullptr) throw std::invalid_argument("the filter bank cannot be made for this rate");
    mixerStep_ = std::polar(1.0, -2.0 * std::numbers::pi * gridOffsetHz / sampleRate);
    pending_.reserve(static_cast<std::size_t>(channels_ / 2));
    spectrum_.resize(static_cast<std::size_t>(channels_));
}

BandChannelizer::~BandChannelizer() = default;

double BandChannelizer::centreHz(int channel) const {
    const int bin = channel < channels_ / 2 ? channel : channel - channels_;
    return gridOffset_ + bin * spacing_;
}

int BandChannelizer::channelNearest(double hz) const {
    const long bin = std::lround((hz - gridOffset_) / spacing_);
    const long wrapped = ((bin % channels_) + channels_) % channels_;
    return static_cast<int>(wrapped);
}

bool BandChannelizer::usable(int channel) const {
    if (channel < 0 || channel >= channels_) return false;
    // The channel's whole output band (+-spacing) inside the stream, with one spacing to spare for
    // the SDR's own anti-alias filter.
    return std::fabs(centreHz(channel)) + 2.0 * spacing_ <= sampleRate_ / 2.0;
}

void BandChannelizer::process(std::span<const ComplexSample> input, std::span<const int> wanted,
                              std::vector<std::vector<ComplexSample>>& outputs) {
    outputs.resize(static_cast<std::size_t>(channels_));
    const std::size_t half = static_cast<std::size_t>(channels_ / 2);
    for (const ComplexSample& sample : input) {
        const std::complex<double> turned = std::complex<double>(sample.real(), sample.imag()) * mixer_;
        mixer_ *= mixerStep_;
        if (++sinceRenormalised_ == RenormaliseEvery) {
            mixer_ /= std::abs(mixer_);
            sinceRenormalised_ = 0;
        }
        const bool finite = std::isfinite(turned.real()) && std::isfinite(turned.imag());
        pending_.emplace_back(finite ? static_cast<float>(turned.real()) : 0.0f, finite ? static_cast<float>(turned.imag()) : 0.0f);
        if (pending_.size() < half) continue;
        firpfbch2_crcf_execute(bank_->bank, pending_.data(), spectrum_.data());
        pending_.clear();
        for (const int channel : wanted) outputs[static_cast<std::size_t>(channel)].push_back(spectrum_[static_cast<std::size_t>(channel)]);
    }
}

}  // namespace sondeco
