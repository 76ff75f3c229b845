// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Coherent detection of one MSK signal in complex baseband: carrier frequency and phase and the bit
// clock recovered from the signal itself, each half-sine symbol matched-filtered, and the data bits
// handed out as soft decisions (log-likelihood ratios) in time order.
//
// MSK is offset QPSK with half-sine pulses: the complex envelope at the n-th bit edge is
// c(n) = j^n e(n) exp(j theta), e(n) = +-1, and each symbol's pulse is a half cosine two bits long
// centred on that edge, alternately on the real and the imaginary axis. A frequency-keyed stream
// (1 = upper tone, as beacons and our generator send) turns the phase by +90 degrees for a 1, so
// c(n+1) = j c(n) and e(n+1) = e(n): each data bit is the equality of two neighbouring symbol
// decisions. The bit's reliability combines both symbols' (the smaller dominates).
//
// Phase ambiguity: squaring the signal, which is how the carrier is found, leaves theta known only up
// to 180 degrees. Turning theta by 180 degrees negates every e(n) and leaves every data bit as it is,
// so the differential decision above needs no polarity at all; a cycle slip costs the one bit that
// straddles it. A 90 degree ambiguity does not arise: the symbol whose pulse lies on the real axis is
// tied to the carrier phase by the squared signal's two lines (their phases fix 2 theta and the
// symbol clock together), so the axes and the symbol count never disagree. The RTCM parity, whose
// D30* rule decodes an inverted stream right, would absorb a polarity error too, but there is none
// to absorb.
//
// Before any bit comes out the detector searches (a spectrum of the squared signal over a window of
// bits finds the carrier within MaximumOffsetHz of the given tone), then confirms: the tracking
// loops run over the same window and onwards, and only when the Eb/N0 measured from the symbols
// shows a signal are the bits released, those of the search window included, so no bit is lost to
// the search and none comes out of noise. It reports a loss when the measured Eb/N0 stays low, and
// searches again.
#include "coherent/baseband.h"

#include <complex>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace sondeco {

class CoherentMskDetector {
public:
    enum class State { Searching, Confirming, Locked };

    static constexpr double MaximumOffsetHz = 30.0;  // how far from the given tone the carrier is looked for

    // `sampleRate`: of the input, at least four samples a bit. `toneHz`: the MSK centre frequency
    // (the carrier) relative to 0 Hz of the input, within the input's band. `bitRate`: nominal bit/s.
    // Throws std::invalid_argument for settings it cannot work with.
    CoherentMskDetector(double sampleRate, double toneHz, double bitRate);
    ~CoherentMskDetector();
    CoherentMskDetector(const CoherentMskDetector&) = delete;
    CoherentMskDetector& operator=(const CoherentMskDetector&) = delete;

    // Appends the bits decided from `input` (and from earlier input held while confirming). Samples
    // that are not finite numbers count as 0.
    void process(std::span<const ComplexSample> input, std::vector<SoftBit>& out);

    // Input samples [first, end), counted from the first sample ever handed to process(), were
    // blanked (set to zero). Marks for samples already processed are ignored, so call this before
    // handing those samples over. A blanked stretch adds neither signal nor noise to a symbol, so
    // its soft decision already says how much less sure it is; what the mark changes is that such
    // a symbol steers neither the loops nor the measured signal and noise powers.
    void markDamaged(std::uint64_t first, std::uint64_t end);

    // No bit that ends before input sample `index` comes out: they were had from elsewhere (another
    // detector that held the beacon before this one, over the same samples).
    void holdBitsBefore(std::uint64_t index) { holdUntil_ = index; }

    State state() const { return state_; }
    bool locked() const { return state_ == State::Locked; }
    std::uint64_t lockCount() const { return lockCount_; }  // transitions into Locked
    std::uint64_t lossCount() const { return lossCount_; }  // transitions out of Locked
    double toneHz() const;  // the carrier as tracked now, relative to 0 Hz of the input
    double bitRate() const;  // the bit clock as tracked now
    double nominalToneHz() const { return nominalTone_; }
    double nominalBitRate() const { return nominalRate_; }
    // Eb/N0 in dB measured from the matched filter's outputs (over the last 512 symbols or so) while
    // confirming or locked; NaN otherwise.
    double ebN0Db() const;
    std::uint64_t samplesProcessed() const { return inputIndex_; }

private:
    struct Symbol {
        float inPhase = 0.0f;  // matched filter output on the symbol's own axis
        float quadrature = 0.0f;  // on the other axis (neighbours' overlap, noise, phase error)
        float slope = 0.0f;  // derivative matched filter on the symbol's axis: timing error
        bool damaged = false;
        bool complete = false;  // its whole pulse was seen by the tracking loops
    };

    void pushInternal(ComplexSample sample);
    void search();
    void startTracking(double offsetHz, double driftHzPerSecond, double phase, double firstCentreBits);
    void track(ComplexSample sample, bool damaged);
    void finishSymbol(ComplexSample matched, ComplexSample slope, bool damaged, bool complete);
    // A symbol between its two neighbours: its power measured, the loops steered, its soft bit given,
    // the lock confirmed or lost.
    void decideSymbol();
    void measurePowers(const Symbol& symbol, double quadrature);
    void steerLoops(const Symbol& symbol, double quadrature, double amplitude);
    void emitSoftBit(const Symbol& symbol);
    void followLockState(double ebN0);
    void confirmLock(double ebN0);
    void emitBit(SoftBit bit, double bitEnd);  // `bitEnd`: the input sample where the bit ends
    void takeBit(SoftBit bit);
    void setMixer(double frequencyHz);
    void recentre();
    void backToSearch();

    // Fixed at construction.
    double inputRate_;
    double nominalTone_;
    double nominalRate_;
    int decimation_;
    double internalRate_;
    double samplesPerBit_;
    double carrierPullInBandwidth_ = 0.0;  // loop noise bandwidth times bit time
    double carrierTrackingBandwidth_ = 0.0;
    int filterDelay_ = 0;  // of the decimator, in internal samples
    void* decimator_ = nullptr;  // liquid firdecim_crcf, null without decimation
    std::size_t searchLength_;  // internal samples in the search window
    std::size_t fftLength_;

    // Input side: mixer and decimator.
    std::uint64_t inputIndex_ = 0;
    std::uint64_t internalIndex_ = 0;
    double mixerHz_ = 0.0;
    double searchCentreHz_ = 0.0;  // the last tone tracked while locked, or the one given
    std::complex<double> mixer_{1.0, 0.0};
    std::complex<double> mixerStep_{1.0, 0.0};
    std::vector<ComplexSample> block_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> damage_;  // internal-sample ranges, in order

    State state_ = State::Searching;
    std::vector<ComplexSample> window_;  // the search window, internal samples
    std::vector<std::uint8_t> windowDamage_;

    // Tracking: carrier phase (radians) and frequency (radians per internal sample) of the internal
    // signal, symbol clock (position since the current symbol's centre, in bits, and bits per sample).
    double carrierPhase_ = 0.0;
    double carrierStep_ = 0.0;
    double carrierDrift_ = 0.0;  // change of carrierStep_ a symbol, for a drifting carrier
    double clock_ = 0.0;
    double clockStep_ = 0.0;
    double clockRateError_ = 0.0;  // relative error of the nominal bit rate the timing loop found
    std::int64_t symbolIndex_ = 0;  // of the symbol whose second half is being accumulated
    ComplexSample matchedCurrent_{}, matchedNext_{};
    ComplexSample slopeCurrent_{}, slopeNext_{};
    bool damagedCurrent_ = false, damagedNext_ = false;
    bool completeCurrent_ = false, completeNext_ = false;
    Symbol history_[3];  // symbols n-2, n-1, n
    int historyCount_ = 0;
    float previousLlr_ = 0.0f;
    bool havePreviousLlr_ = false;
    std::uint64_t symbolsTracked_ = 0;
    bool replaying_ = false;  // the search window going through the loops
    std::uint64_t trackedIndex_ = 0;  // internal samples through the loops, the one in hand included
    std::uint64_t holdUntil_ = 0;

    // Measured over recent symbols: signal plus noise on the symbol's axis, noise on the other.
    double inPhasePower_ = 0.0;
    double quadraturePower_ = 0.0;
    double slowInPhasePower_ = 0.0;  // the same over longer, for the scale of the soft decisions
    double slowQuadraturePower_ = 0.0;
    std::uint64_t powerSamples_ = 0;
    std::uint64_t slowSamples_ = 0;
    double axisShareSum_ = 0.0;  // since tracking started
    std::uint64_t axisShareCount_ = 0;

    std::vector<SoftBit> pending_;  // bits held while confirming
    double inputSamplesPerBit_ = 0.0;
    double previousBitEnd_ = 0.0;  // input sample where the last bit given or held ended
    double givenBitEnd_ = 0.0;  // the same for the last bit given
    bool havePreviousBitEnd_ = false, haveGivenBitEnd_ = false;
    double onesShare_ = 0.5;  // of the recent bits
    double changeShare_ = 0.5;  // of the recent bits that differ from the one before
    std::uint8_t lastBit_ = 0;
    std::uint64_t confirmingSymbols_ = 0;
    std::uint64_t confirmSymbols_ = 0;  // how long a confirmation takes at least
    std::uint64_t lockCount_ = 0;
    std::uint64_t lossCount_ = 0;
    std::vector<SoftBit>* out_ = nullptr;
};

}  // namespace sondeco
