// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/band_decimator.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace sondeco {
namespace {

// Far enough down that what folds onto the band is under the filter bank's own stop band (80 dB).
constexpr float StopBandDb = 90.0f;
// Enough for any halving the rule in the header allows (its transition is at least a tenth of the
// input rate).
constexpr std::size_t MaxQuarter = 64;

}  // namespace

void BandDecimator::addStage(double inputRate, double passbandHz) {
    // What folds onto the passband after halving lies from half the input rate less the passband
    // on: the transition is the rest.
    const double stopFrom = 0.5 - passbandHz / inputRate;  // in cycles a sample
    const double transition = stopFrom - passbandHz / inputRate;
    // A half-band filter of 4K - 1 taps: a windowed sinc at a quarter of the rate is zero at every
    // even distance from its centre, and its outermost taps are odd ones. Kaiser's estimate of the
    // length falls short for transitions as wide as the first halvings' (a few taps, 50 dB), so the
    // stop band is checked, and the filter lengthened until it holds.
    const unsigned estimate = estimate_req_filter_len(static_cast<float>(transition), StopBandDb);
    const double allowed = std::pow(10.0, -StopBandDb / 20.0);
    for (std::size_t quarter = std::max<std::size_t>(1, (estimate + 4) / 4);; ++quarter) {
        const std::size_t length = 4 * quarter - 1;
        std::vector<float> taps(length);
        liquid_firdes_kaiser(static_cast<unsigned>(length), 0.25f, StopBandDb, 0.0f, taps.data());
        double sum = 0.0;
        for (const float tap : taps) sum += tap;
        Stage stage;
        const std::size_t centre = 2 * quarter - 1;
        stage.centreTap = static_cast<float>(taps[centre] / sum);
        for (std::size_t i = 1; i <= quarter; ++i) stage.outerTaps.push_back(static_cast<float>(taps[centre + 2 * i - 1] / sum));
        double worst = 0.0;
        constexpr int Points = 64;
        for (int point = 0; point <= Points; ++point) {
            const double f = stopFrom + (0.5 - stopFrom) * point / Points;
            double response = stage.centreTap;
            for (std::size_t i = 0; i < stage.outerTaps.size(); ++i)
                response += 2.0 * stage.outerTaps[i] * std::cos(2.0 * std::numbers::pi * f * static_cast<double>(2 * i + 1));
            worst = std::max(worst, std::fabs(response));
        }
        if (worst > allowed && quarter < MaxQuarter) continue;
        // The filter starts from silence.
        const std::size_t pairs = 2 * quarter - 1;
        stage.evenReal.assign(pairs, 0.0f);
        stage.evenImaginary.assign(pairs, 0.0f);
        stage.oddReal.assign(pairs, 0.0f);
        stage.oddImaginary.assign(pairs, 0.0f);
        stages_.push_back(std::move(stage));
        return;
    }
}

void BandDecimator::runStage(Stage& stage, std::span<const ComplexSample> input, std::vector<ComplexSample>& output) {
    std::size_t n = 0;
    std::size_t held = stage.evenReal.size();
    const std::size_t pairs = (input.size() + (stage.halfPair ? 1 : 0)) / 2;
    for (std::vector<float>* samples : {&stage.evenReal, &stage.evenImaginary, &stage.oddReal, &stage.oddImaginary})
        samples->resize(held + pairs);
    if (stage.halfPair && !input.empty()) {
        stage.evenReal[held] = stage.waiting.real();
        stage.evenImaginary[held] = stage.waiting.imag();
        stage.oddReal[held] = input[0].real();
        stage.oddImaginary[held] = input[0].imag();
        stage.halfPair = false;
        ++held;
        n = 1;
    }
    {
        float* __restrict evenReal = stage.evenReal.data() + held;
        float* __restrict evenImaginary = stage.evenImaginary.data() + held;
        float* __restrict oddReal = stage.oddReal.data() + held;
        float* __restrict oddImaginary = stage.oddImaginary.data() + held;
        const ComplexSample* pairsIn = input.data() + n;
        const std::size_t count = (input.size() - n) / 2;
        for (std::size_t j = 0; j < count; ++j) {
            evenReal[j] = pairsIn[2 * j].real();
            evenImaginary[j] = pairsIn[2 * j].imag();
            oddReal[j] = pairsIn[2 * j + 1].real();
            oddImaginary[j] = pairsIn[2 * j + 1].imag();
        }
        n += 2 * count;
    }
    if (n < input.size()) {
        stage.waiting = input[n];
        stage.halfPair = true;
    }
    const std::size_t reach = stage.outerTaps.size();  // K
    const std::size_t kept = 2 * reach - 1;
    const std::size_t outputs = stage.evenReal.size() - kept;
    if (outputs == 0) return;
    stage.outReal.resize(outputs);
    stage.outImaginary.resize(outputs);
    float* __restrict outReal = stage.outReal.data();
    float* __restrict outImaginary = stage.outImaginary.data();
    {
        const float* __restrict oddReal = stage.oddReal.data() + reach - 1;
        const float* __restrict oddImaginary = stage.oddImaginary.data() + reach - 1;
        const float centre = stage.centreTap;
        for (std::size_t m = 0; m < outputs; ++m) {
            outReal[m] = centre * oddReal[m];
            outImaginary[m] = centre * oddImaginary[m];
        }
    }
    for (std::size_t i = 1; i <= reach; ++i) {
        const float tap = stage.outerTaps[i - 1];
        const float* __restrict beforeReal = stage.evenReal.data() + reach - i;
        const float* __restrict afterReal = stage.evenReal.data() + reach + i - 1;
        const float* __restrict beforeImaginary = stage.evenImaginary.data() + reach - i;
        const float* __restrict afterImaginary = stage.evenImaginary.data() + reach + i - 1;
        for (std::size_t m = 0; m < outputs; ++m) {
            outReal[m] += tap * (beforeReal[m] + afterReal[m]);
            outImaginary[m] += tap * (beforeImaginary[m] + afterImaginary[m]);
        }
    }
    const std::size_t first = output.size();
    output.resize(first + outputs);
    ComplexSample* out = output.data() + first;
    for (std::size_t m = 0; m < outputs; ++m) out[m] = ComplexSample(outReal[m], outImaginary[m]);
    for (std::vector<float>* samples : {&stage.evenReal, &stage.evenImaginary, &stage.oddReal, &stage.oddImaginary})
        samples->erase(samples->begin(), samples->begin() + static_cast<std::ptrdiff_t>(outputs));
}

void BandDecimator::process(std::span<const ComplexSample> input, std::vector<ComplexSample>& output) {
    // Samples that are not finite (a broken file) are rare: looked for in one pass over the exponents,
    // and only then copied with zeros in their place.
    constexpr std::uint32_t Exponent = 0x7f800000u;  // all ones: infinite or not a number
    std::uint32_t notFinite = 0;
    for (const ComplexSample& sample : input) {
        notFinite |= (std::bit_cast<std::uint32_t>(sample.real()) & Exponent) == Exponent ? 1u : 0u;
        notFinite |= (std::bit_cast<std::uint32_t>(sample.imag()) & Exponent) == Exponent ? 1u : 0u;
    }
    if (notFinite != 0) {
        std::vector<ComplexSample>& clean = scratch_[0];
        clean.resize(input.size());
        for (std::size_t n = 0; n < input.size(); ++n) {
            const ComplexSample sample = input[n];
            clean[n] = std::isfinite(sample.real()) && std::isfinite(sample.imag()) ? sample : ComplexSample(0.0f, 0.0f);
        }
        input = std::span<const ComplexSample>(scratch_[0]);
    }
    if (stages_.empty()) {
        output.insert(output.end(), input.begin(), input.end());
        return;
    }
    std::size_t from = 1;  // scratch_[1] first: scratch_[0] may hold the input
    for (std::size_t s = 0; s < stages_.size(); ++s) {
        const bool last = s + 1 == stages_.size();
        std::vector<ComplexSample>& target = last ? output : scratch_[from];
        if (!last) target.clear();
        runStage(stages_[s], input, target);
        input = std::span<const ComplexSample>(scratch_[from]);
        from = 1 - from;
    }
}

}  // namespace sondeco
