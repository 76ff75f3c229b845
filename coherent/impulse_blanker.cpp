// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/impulse_blanker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace sondeco {
namespace {

// Thresholds over the running mean absolute value (about 0.8 sigma for Gaussian noise). A burst
// starts above 6 (about 4.8 sigma: noise alone gets there a few times a minute at 48 kHz, and each
// false start costs a millisecond) and lasts while samples still reach 3 (3.75 sigma) at least once
// a millisecond: ringing between a few hundred hertz and a few kilohertz crests that often.
constexpr double StartFactor = 6.0;
constexpr double ContinueFactor = 3.0;
constexpr double QuietSeconds = 0.001;
// The tail below the lower threshold still holds several bits' worth of energy at 200 bit/s: blank
// this much more. The start is blanked from this long before the first loud sample, which may come
// up to a quarter cycle after the burst began.
constexpr double HangSeconds = 0.0005;
constexpr double LeadSeconds = 0.0005;
// An impulse dies away within a couple of milliseconds; a carrier keyed on (another station's Morse
// identifier, 20 dB above the beacon) stays. So a burst is judged once this long has passed since its
// first loud sample: if every millisecond after the first still reaches this share of its peak it is
// a louder signal, not an impulse, and nothing of it is blanked. The output waits long enough for that.
// (A damped burst falls by tens of decibels a millisecond.)
constexpr double JudgedAfterSeconds = 0.004;
constexpr double WindowSeconds = 0.001;
constexpr double SustainedShare = 0.5;
constexpr double DelaySeconds = LeadSeconds + JudgedAfterSeconds + 0.0001;
// Longer than this and it is no impulse but a louder signal (a station change, a gain step): stop
// blanking and learn the new level, or it would be blanked for good.
constexpr double LongestBurstSeconds = 0.02;
constexpr double WarmUpSeconds = 0.02;
constexpr double LevelSeconds = 0.1;  // time constant of the running level

std::size_t samplesFor(double seconds, double sampleRate) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(seconds * sampleRate)));
}

}  // namespace

ImpulseBlanker::ImpulseBlanker(double sampleRate) {
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) throw std::invalid_argument("the sample rate must be positive");
    delay_ = samplesFor(DelaySeconds, sampleRate);
    quietSamples_ = samplesFor(QuietSeconds, sampleRate);
    hangSamples_ = samplesFor(HangSeconds, sampleRate);
    longestBurst_ = samplesFor(LongestBurstSeconds, sampleRate);
    warmUpSamples_ = samplesFor(WarmUpSeconds, sampleRate);
    leadSamples_ = std::min(delay_, samplesFor(LeadSeconds, sampleRate));
    judgedAfter_ = samplesFor(JudgedAfterSeconds, sampleRate);
    window_ = samplesFor(WindowSeconds, sampleRate);
    levelWeight_ = 1.0 / (LevelSeconds * sampleRate);
    levelSettled_ = static_cast<std::uint64_t>(std::ceil(LevelSeconds * sampleRate));
    line_.assign(delay_, 0.0);
}

void ImpulseBlanker::process(std::span<const double> input, std::span<double> output) { processSamples(input, output); }

void ImpulseBlanker::process(std::span<const float> input, std::span<float> output) { processSamples(input, output); }

template <typename Sample>
void ImpulseBlanker::processSamples(std::span<const Sample> input, std::span<Sample> output) {
    if (output.size() != input.size()) throw std::invalid_argument("the output must be as long as the input");
    for (std::size_t n = 0; n < input.size(); ++n) {
        double sample = static_cast<double>(input[n]);
        if (!std::isfinite(sample)) sample = 0.0;  // nothing to learn from, and nothing to pass on
        const bool blanked = step(sample);
        const double delayed = line_[linePosition_];
        line_[linePosition_] = sample;
        linePosition_ = linePosition_ + 1 == line_.size() ? 0 : linePosition_ + 1;
        output[n] = blanked ? Sample{} : static_cast<Sample>(delayed);
    }
}

bool ImpulseBlanker::step(double sample) {
    const std::uint64_t index = inputIndex_++;
    const double magnitude = std::fabs(sample);
    // Digital silence has no level to measure impulses against, and nothing to protect.
    const bool warm = levelSamples_ >= warmUpSamples_ && level_ > 0.0;
    const std::uint64_t due = index >= delay_ ? index - delay_ : 0;  // the output sample written now

    if (inBurst_) {
        if (magnitude > ContinueFactor * level_) lastLoud_ = index;
        const std::uint64_t age = index - burstStart_;
        burstPeak_ = std::max(burstPeak_, magnitude);
        // The quietest of the whole milliseconds after the first: two impulses in a row would
        // otherwise pass for one that stays.
        windowPeak_ = std::max(windowPeak_, magnitude);
        if (age % window_ == 0) {
            if (age > window_) {
                quietestWindow_ = std::min(quietestWindow_, windowPeak_);
                // Clipped, an impulse can look flat for a millisecond; it still falls from one to the next.
                if (windowPeak_ < SustainedShare * previousWindowPeak_) quietestWindow_ = 0.0;
            }
            previousWindowPeak_ = windowPeak_;
            windowPeak_ = 0.0;
        }
        if (age == judgedAfter_ && quietestWindow_ >= SustainedShare * burstPeak_) {
            // A louder signal that stays: none of it has gone out yet, and none of it is blanked.
            inBurst_ = false;
            --impulses_;
            BlankedStretch& stretch = pending_.back();
            stretch.end = std::max(stretch.first, burstFirst_);
            if (stretch.end == stretch.first) pending_.pop_back();
            levelSamples_ = 0;
        } else if (age > longestBurst_) {
            // No impulse lasts this long: what is still waiting in the delay line passes, and the
            // level is learnt afresh from here.
            inBurst_ = false;
            pending_.back().end = std::max(pending_.back().first, due);
            levelSamples_ = 0;
        } else if (index - lastLoud_ > quietSamples_) {
            inBurst_ = false;
            pending_.back().end = index + 1 + hangSamples_;
        } else {
            pending_.back().end = index + 1;
        }
    } else if (warm && magnitude > StartFactor * level_) {
        inBurst_ = true;
        ++impulses_;
        burstStart_ = lastLoud_ = index;
        burstPeak_ = magnitude;
        windowPeak_ = 0.0;
        quietestWindow_ = std::numeric_limits<double>::infinity();
        const std::uint64_t first = index >= leadSamples_ ? index - leadSamples_ : 0;
        burstFirst_ = first;
        if (!pending_.empty() && first <= pending_.back().end) {
            pending_.back().end = index + 1;
        } else {
            pending_.push_back(BlankedStretch{first, index + 1});
        }
    }

    // The level learns from what is not blanked (and from everything while it warms up).
    if (!warm || (!inBurst_ && (pending_.empty() || index >= pending_.back().end))) {
        // A plain mean until there are enough samples for the running one (no division after that).
        const double weight = levelSamples_ < levelSettled_ ? 1.0 / static_cast<double>(levelSamples_ + 1) : levelWeight_;
        level_ += weight * (magnitude - level_);
        ++levelSamples_;
    }

    if (index < delay_) return false;  // the delay line is still filling: its zeros go out as they are
    while (!pending_.empty() && pending_.front().end <= due) pending_.pop_front();
    const bool blanked = !pending_.empty() && pending_.front().first <= due;
    if (blanked) {
        // Reported where it is written: output position `index` carries input sample `due`.
        ++blankedSamples_;
        if (!stretches_.empty() && stretches_.back().end == index) {
            ++stretches_.back().end;
        } else {
            stretches_.push_back(BlankedStretch{index, index + 1});
        }
    }
    return blanked;
}

void ImpulseBlanker::takeBlanked(std::vector<BlankedStretch>& into) {
    into.insert(into.end(), stretches_.begin(), stretches_.end());
    stretches_.clear();
}

}  // namespace sondeco
