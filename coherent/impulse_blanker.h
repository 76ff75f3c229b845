// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Blanks atmospheric static in real audio before anything filters it: lightning reaches an LF receiver
// as short impulses far above the noise, and once a filter has smeared one over its whole length it
// can no longer be cut out. Samples far above the running level are set to zero, and so is the ringing
// that follows them; zero adds neither signal nor noise, so the detector's soft decisions lose only
// what the blanked stretch carried. The blanked stretches are reported so the detector can also take
// the bits they touched for what they are.
//
// The output runs a fixed delay behind the input, so that the stretch blanked can begin a little
// before the first sample that gives an impulse away, and so that a burst is seen to die away (an
// impulse) or to stay (a carrier keyed on, a louder signal) before any of it is blanked.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace sondeco {

struct BlankedStretch {
    std::uint64_t first = 0;  // output sample indices, counted from the first sample handed in
    std::uint64_t end = 0;
};

class ImpulseBlanker {
public:
    // Throws std::invalid_argument for a sample rate that is not positive.
    explicit ImpulseBlanker(double sampleRate = 48000.0);

    // Writes as many samples as it takes in, `delay()` samples later: output[n] is input sample
    // n - delay() of the stream (zero for the first delay() samples), or zero where blanked.
    // `output` must be as long as `input`; the two may be the same span.
    void process(std::span<const double> input, std::span<double> output);
    void process(std::span<const float> input, std::span<float> output);

    std::size_t delay() const { return delay_; }
    // The stretches blanked in the output so far and not yet taken, oldest first. A stretch still
    // growing at the end of the output written is reported up to there, and its rest later.
    void takeBlanked(std::vector<BlankedStretch>& into);

    std::uint64_t blankedSamples() const { return blankedSamples_; }
    std::uint64_t impulses() const { return impulses_; }
    // The running level: mean absolute value of the samples not blanked.
    double level() const { return level_; }

private:
    template <typename Sample>
    void processSamples(std::span<const Sample> input, std::span<Sample> output);
    bool step(double sample);  // takes in one sample; returns whether the output sample now due is blanked

    std::size_t delay_;
    std::size_t quietSamples_;  // how long below the low threshold ends a burst
    std::size_t hangSamples_;  // blanked after a burst ends, for its tail
    std::size_t longestBurst_;  // beyond this it is not an impulse but a new level
    std::size_t warmUpSamples_;
    std::size_t leadSamples_;  // blanked before the first loud sample
    std::size_t judgedAfter_;  // samples after a burst's first loud one, when it is judged
    std::size_t window_;  // samples in each of the windows whose peaks say whether it has died away

    std::vector<double> line_;  // the delay line, as a ring
    std::size_t linePosition_ = 0;
    std::uint64_t inputIndex_ = 0;
    double level_ = 0.0;
    std::uint64_t levelSamples_ = 0;
    double levelWeight_;
    std::uint64_t levelSettled_;  // samples after which the level is a running mean

    bool inBurst_ = false;
    std::uint64_t burstStart_ = 0;  // input index of the first loud sample
    std::uint64_t lastLoud_ = 0;  // input index of the last sample above the lower threshold
    std::uint64_t burstFirst_ = 0;  // input index of the first sample blanked for this burst
    double burstPeak_ = 0.0, windowPeak_ = 0.0, previousWindowPeak_ = 0.0, quietestWindow_ = 0.0;
    // Stretches decided but not yet all written, in input indices (an output index is the input
    // index of the sample it carries); the last one grows while a burst goes on.
    std::deque<BlankedStretch> pending_;

    std::deque<BlankedStretch> stretches_;  // written and not yet taken
    std::uint64_t blankedSamples_ = 0;
    std::uint64_t impulses_ = 0;
};

}  // namespace sondeco
