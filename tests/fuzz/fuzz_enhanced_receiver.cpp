// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the enhanced receiver on beacons made from the input. The input's first bytes are the
// frames the beacon sends (header fields and data words as they come, parity chained by the encoder;
// the simulated station's frames once they run out), and its last bytes say how the beacon sounds and
// what happens to it on the way: rate, tone, level, noise, a fast or slow bit clock, bits flipped in
// the transmitter (or so many that no word passes), stretches dropped, faded, blanked, struck by
// static or turned in phase, samples that are not numbers at all. Four depths, so that most runs are
// cheap and reach deep:
//
// - soft bits straight into the word layer, as the detector hands them over (word repair, the lock
//   kept over a lost word);
// - the coherent detector alone on complex baseband at the band monitor's channel rate or above
//   (search, confirmation, lock and loss, the tracking loops, damaged stretches, bits held back);
// - a baseband receiver as one band monitor channel runs it (acquisition, the detector started on the
//   kept baseband and restarted, the word layer's call to search again);
// - the whole Receiver at 48 kHz, as sondeco-decode and the window run it, on generated audio with
//   static and fading, or on the input's bytes as samples (16-bit, or doubles with NaN and infinities).
//
// Building the whole receiver's acquisition (26 channel searches, their filters designed on the spot)
// takes about 9 ms of the sanitised build before a sample goes in, a baseband receiver at a channel's
// 1 kHz about 1 ms and a detector a few microseconds; the last depth is chosen least often and kept to
// a second and a half of audio, so that the target runs a hundred inputs a second or so rather than a
// handful (README.md has the figures).
//
// Beyond never crashing (ASan, UBSan):
// - every header and frame reported is within its fields' ranges; its tone, rate and Eb/N0 are
//   numbers; the decoder's statistics agree with what it reported (frame_checks.h);
// - every soft bit is 0 or 1 with a reliability that is a number and not negative;
// - no receiver gives more bits than the time heard allows at its rate (no stretch decided twice);
// - the detector's state agrees with its counts (locked exactly when it has locked once more than it
//   lost lock), its bit clock stays within its pull range, its tone is a number, and its Eb/N0 is
//   none while it searches and never NaN or +infinity while locked;
// - a baseband receiver and the whole receiver report tone and rate exactly while they hold a beacon
//   and Eb/N0 exactly while locked, none of them NaN, and statistics that only grow.

#include "coherent/baseband_receiver.h"
#include "coherent/msk_detector.h"
#include "receiver/receiver.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/complex_msk_modulator.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"
#include "tests/fuzz/frame_checks.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <type_traits>
#include <vector>

namespace {

using namespace sondeco;
using fuzzing::FrameChecks;

constexpr std::array<double, 4> BeaconRates{25.0, 50.0, 100.0, 200.0};
// The detector's bit clock is held within this of the nominal rate.
constexpr double ClockPullRange = 0.002;
// How far a symbol clock may run ahead over a short run: each symbol's timing correction is bounded
// (a tenth of a bit), so bits come at most this much faster than the rate for a while.
constexpr double BitsPerSecondSlack = 1.1;

// The input's bytes one at a time, zeros once they run out.
class ByteTape {
public:
    explicit ByteTape(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint8_t next() { return position_ < bytes_.size() ? bytes_[position_++] : 0; }
    std::size_t left() const { return bytes_.size() - position_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// The bits a beacon sends: frames from the bytes (six bytes of header fields, then three bytes a data
// word), parity chained across frames as a transmitter chains them; once the bytes run out, the
// simulated station's frames on the same chain. `flips` are positions of bits inverted on the way:
// a pair of neighbouring bits, as one wrong symbol of a coherent receiver makes, or with the top bit
// set a single one. With `garble` above 1, every garble-th bit is inverted as well: a beacon heard
// well that sends no RTCM at all, as far as parity can tell.
std::vector<std::uint8_t> transmittedBits(std::span<const std::uint8_t> frameBytes, std::size_t wanted, double bitRate,
                                          const std::vector<std::uint16_t>& flips, int garble) {
    std::vector<std::uint8_t> bits;
    RtcmEncoder encoder;
    ByteTape tape(frameBytes);
    std::vector<std::uint32_t> words;
    while (bits.size() < wanted && tape.left() >= 6) {
        RtcmHeader header;
        const std::uint8_t a = tape.next(), b = tape.next(), c = tape.next(), d = tape.next(), e = tape.next(), f = tape.next();
        header.messageType = a & 63;
        header.stationId = (b << 8 | c) & 1023;
        header.stationHealth = b >> 5;
        header.zCount = (d << 8 | e) & 8191;
        header.sequenceNumber = f >> 5;
        words.assign(f & 31u, 0);
        for (std::uint32_t& word : words) word = static_cast<std::uint32_t>(tape.next() << 16 | tape.next() << 8 | tape.next());
        encoder.appendFrameBits(header, words, bits);
    }
    if (bits.size() < wanted) {
        BeaconSettings station;
        station.bitRate = bitRate;
        SimulatedBeacon beacon(station);
        while (bits.size() < wanted) {
            const BeaconFrame frame = beacon.nextFrame();
            encoder.appendFrameBits(frame.header, frame.dataWords, bits);
        }
    }
    bits.resize(wanted);
    for (const std::uint16_t flip : flips) {
        if (bits.empty()) break;
        const std::size_t at = (flip & 0x7fffu) % bits.size();
        bits[at] ^= 1u;
        if ((flip & 0x8000u) == 0 && at + 1 < bits.size()) bits[at + 1] ^= 1u;
    }
    if (garble > 1)
        for (std::size_t n = 0; n < bits.size(); n += static_cast<std::size_t>(garble)) bits[n] ^= 1u;
    return bits;
}

// What happens to a stretch of the signal on the way.
enum class Mishap { Dropout, Fade, Blanked, Impulse, PhaseTurn, NotANumber };

struct Event {
    Mishap kind;
    double start;  // fraction of the stream
    double length;  // fraction of the stream
};

struct Perturbation {
    std::vector<std::uint16_t> flips;
    int garble = 0;
    std::vector<Event> events;
};

Perturbation consumePerturbation(FuzzedDataProvider& input) {
    Perturbation perturbation;
    const int flips = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < flips; ++i) perturbation.flips.push_back(input.ConsumeIntegral<std::uint16_t>());
    perturbation.garble = input.ConsumeIntegralInRange<int>(0, 31);
    const int events = input.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < events; ++i) {
        Event event;
        event.kind = static_cast<Mishap>(input.ConsumeIntegralInRange<int>(0, 5));
        event.start = input.ConsumeIntegralInRange<int>(0, 255) / 256.0;
        event.length = input.ConsumeIntegralInRange<int>(0, 255) / 2048.0;
        perturbation.events.push_back(event);
    }
    return perturbation;
}

// The stretch of `count` samples an event covers.
std::pair<std::size_t, std::size_t> stretchOf(const Event& event, std::size_t count) {
    const auto first = std::min(count, static_cast<std::size_t>(event.start * static_cast<double>(count)));
    const auto length = std::max<std::size_t>(1, static_cast<std::size_t>(event.length * static_cast<double>(count)));
    return {first, std::min(count, first + length)};
}

// Applies the events to a complex stream; returns the stretches blanked (zeroed by an impulse blanker),
// which the receiver is told about.
template <typename Sample>
std::vector<std::pair<std::size_t, std::size_t>> applyEvents(const std::vector<Event>& events, std::vector<Sample>& samples) {
    std::vector<std::pair<std::size_t, std::size_t>> blanked;
    for (const Event& event : events) {
        const auto [first, end] = stretchOf(event, samples.size());
        for (std::size_t n = first; n < end; ++n) {
            Sample& sample = samples[n];
            switch (event.kind) {
                case Mishap::Dropout:
                case Mishap::Blanked:
                    sample = Sample{};
                    break;
                case Mishap::Fade:
                    sample *= 0.05f;
                    break;
                case Mishap::Impulse:
                    sample = Sample{} + (n % 2 == 0 ? 3e4f : -3e4f);
                    break;
                case Mishap::PhaseTurn:
                    if constexpr (std::is_same_v<Sample, ComplexSample>) {
                        sample *= ComplexSample(0.0f, 1.0f);
                    } else {
                        sample = -sample;
                    }
                    break;
                case Mishap::NotANumber:
                    sample = Sample{} + (n % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity());
                    break;
            }
        }
        if (event.kind == Mishap::Blanked && end > first) blanked.emplace_back(first, end);
    }
    return blanked;
}

void checkSoftBits(std::span<const SoftBit> bits) {
    for (const SoftBit& bit : bits) {
        FUZZ_CHECK(bit.bit == 0 || bit.bit == 1);
        FUZZ_CHECK(std::isfinite(bit.reliability) && bit.reliability >= 0.0f);
    }
}

// Pieces of a stream, of sizes chosen by a seed: 1 to `largest` samples.
class Pieces {
public:
    Pieces(std::uint32_t seed, std::size_t largest) : seed_(seed), largest_(std::max<std::size_t>(1, largest)) {}
    std::size_t next(std::size_t left) {
        seed_ = seed_ * 1103515245u + 12345u;
        return std::min(left, 1 + (seed_ >> 8) % largest_);
    }

private:
    std::uint32_t seed_;
    std::size_t largest_;
};

// How a complex MSK beacon sounds: its level (1e-6 to 1e20, past where its square overflows a float),
// phase, clock error, a silence before it, and complex white noise at some Eb/N0 (none below -20 dB).
struct ComplexSound {
    double amplitude;
    double startPhase;
    double clockErrorPpm;
    int leadingBits;
    int ebN0Db;
    std::uint32_t noiseSeed;
};

ComplexSound consumeComplexSound(FuzzedDataProvider& input) {
    ComplexSound sound;
    sound.amplitude = std::pow(10.0, input.ConsumeIntegralInRange<int>(-12, 40) / 2.0);
    sound.startPhase = input.ConsumeIntegralInRange<int>(0, 63) * (2.0 * 3.141592653589793 / 64.0);
    sound.clockErrorPpm = input.ConsumeIntegralInRange<int>(-500, 500);
    sound.leadingBits = input.ConsumeIntegralInRange<int>(0, 40);
    sound.ebN0Db = input.ConsumeIntegralInRange<int>(-21, 40);
    sound.noiseSeed = input.ConsumeIntegral<std::uint32_t>();
    return sound;
}

struct ComplexBeacon {
    std::vector<ComplexSample> samples;
    std::vector<std::pair<std::size_t, std::size_t>> blanked;
};

// `count` samples of the beacon at `sampleRate`, `toneHz` off the stream's centre, with its mishaps.
ComplexBeacon complexBeacon(const ComplexSound& sound, double sampleRate, double bitRate, double toneHz, std::size_t count,
                            const Perturbation& perturbation, std::span<const std::uint8_t> frameBytes) {
    ComplexMskSettings settings;
    settings.sampleRate = sampleRate;
    settings.bitRate = bitRate;
    settings.frequency = toneHz;
    settings.amplitude = sound.amplitude;
    settings.startPhase = sound.startPhase;
    settings.clockErrorPpm = sound.clockErrorPpm;
    settings.leadingSeconds = sound.leadingBits / bitRate;
    const auto bitsWanted = static_cast<std::size_t>(static_cast<double>(count) / sampleRate * bitRate) + 2;
    ComplexMskModulator modulator(settings);
    modulator.pushBits(transmittedBits(frameBytes, bitsWanted, bitRate, perturbation.flips, perturbation.garble));
    ComplexBeacon beacon;
    beacon.samples.assign(count, ComplexSample{});
    modulator.addTo(beacon.samples);
    if (sound.ebN0Db >= -20) {
        // Eb/N0 against N0 = noise power over the sample rate (both components together).
        const double power = sound.amplitude * sound.amplitude * sampleRate / (bitRate * std::pow(10.0, sound.ebN0Db / 10.0));
        std::mt19937 random(sound.noiseSeed);
        std::normal_distribution<float> noise(0.0f, static_cast<float>(std::sqrt(power / 2.0)));
        for (ComplexSample& sample : beacon.samples) sample += ComplexSample(noise(random), noise(random));
    }
    beacon.blanked = applyEvents(perturbation.events, beacon.samples);
    return beacon;
}

// ---- Soft bits straight into the word layer ----

void softBitsIntoDecoder(FuzzedDataProvider& input) {
    const Perturbation perturbation = consumePerturbation(input);
    const auto count = static_cast<std::size_t>(input.ConsumeIntegralInRange<int>(30, 1500));
    const float sure = static_cast<float>(input.ConsumeIntegralInRange<int>(0, 50));
    const float unsure = static_cast<float>(input.ConsumeIntegralInRange<int>(0, 50)) / 10.0f;
    const std::uint32_t seed = input.ConsumeIntegral<std::uint32_t>();
    const std::vector<std::uint8_t> frameBytes = input.ConsumeRemainingBytes<std::uint8_t>();
    std::vector<std::uint8_t> bits = transmittedBits(frameBytes, count, 100.0, perturbation.flips, perturbation.garble);
    std::vector<SoftBit> soft(bits.size());
    for (std::size_t n = 0; n < bits.size(); ++n) soft[n] = SoftBit{bits[n], sure};
    // The flipped bits are the unsure ones, as noise makes them; the events erase or weaken stretches.
    for (const std::uint16_t flip : perturbation.flips) {
        const std::size_t at = (flip & 0x7fffu) % soft.size();
        soft[at].reliability = unsure;
        if ((flip & 0x8000u) == 0 && at + 1 < soft.size()) soft[at + 1].reliability = unsure;
    }
    for (const Event& event : perturbation.events) {
        const auto [first, end] = stretchOf(event, soft.size());
        for (std::size_t n = first; n < end; ++n) {
            if (event.kind == Mishap::Dropout || event.kind == Mishap::Blanked) soft[n].reliability = 0.0f;
            if (event.kind == Mishap::Fade) soft[n].reliability = unsure;
            if (event.kind == Mishap::PhaseTurn) soft[n].bit ^= 1u;
        }
    }
    FrameChecks checks;
    RtcmDecoder decoder;
    decoder.addListener(checks);
    Pieces pieces(seed, 64);
    for (std::size_t done = 0; done < soft.size();) {
        const std::size_t take = pieces.next(soft.size() - done);
        decoder.pushSoftBits(std::span<const SoftBit>(soft).subspan(done, take));
        done += take;
    }
    FUZZ_CHECK(decoder.statistics().bits == soft.size());
    checks.checkStatistics(decoder.statistics());
}

// ---- The coherent detector alone ----

void checkDetector(const CoherentMskDetector& detector) {
    FUZZ_CHECK(detector.lockCount() == detector.lossCount() + (detector.locked() ? 1u : 0u));
    FUZZ_CHECK(std::fabs(detector.bitRate() / detector.nominalBitRate() - 1.0) <= ClockPullRange * (1.0 + 1e-9));
    FUZZ_CHECK(std::isfinite(detector.toneHz()));
    const double ebN0 = detector.ebN0Db();
    if (detector.state() == CoherentMskDetector::State::Searching) FUZZ_CHECK(std::isnan(ebN0));
    if (detector.locked()) FUZZ_CHECK(!std::isnan(ebN0) && ebN0 < std::numeric_limits<double>::infinity());
}

void detectorAlone(FuzzedDataProvider& input) {
    constexpr std::array<double, 3> SampleRates{1000.0, 2000.0, 8000.0};
    const double bitRate = BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    const double sampleRate = SampleRates[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
    // The carrier anywhere the stream holds both tones, and the detector told it within its reach or
    // beyond.
    const double edge = sampleRate / 2.0 - bitRate / 4.0 - 1.0;
    const double toneHz = std::clamp<double>(input.ConsumeIntegralInRange<int>(-400, 400), -edge, edge);
    const double toldHz = std::clamp<double>(toneHz + input.ConsumeIntegralInRange<int>(-45, 45), -edge, edge);
    const int hold = input.ConsumeIntegralInRange<int>(0, 3);  // 3: every bit held back
    const std::uint32_t pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    const Perturbation perturbation = consumePerturbation(input);
    // Up to 300 bits, and never more than 24000 samples.
    const std::size_t bitsHeard = static_cast<std::size_t>(input.ConsumeIntegralInRange<int>(20, 300));
    const std::size_t count = std::min<std::size_t>(24000, static_cast<std::size_t>(static_cast<double>(bitsHeard) / bitRate * sampleRate));
    const ComplexSound sound = consumeComplexSound(input);
    const std::vector<std::uint8_t> frameBytes = input.ConsumeRemainingBytes<std::uint8_t>();
    const ComplexBeacon beacon = complexBeacon(sound, sampleRate, bitRate, toneHz, count, perturbation, frameBytes);

    CoherentMskDetector detector(sampleRate, toldHz, bitRate);
    if (hold == 3) detector.holdBitsBefore(std::numeric_limits<std::uint64_t>::max());
    if (hold == 2) detector.holdBitsBefore(count / 2);
    for (const auto& [first, end] : beacon.blanked) detector.markDamaged(first, end);
    FrameChecks checks;
    RtcmDecoder decoder;
    decoder.addListener(checks);
    std::vector<SoftBit> bits;
    std::size_t total = 0;
    Pieces pieces(pieceSeed, 700);
    for (std::size_t done = 0; done < count;) {
        const std::size_t take = pieces.next(count - done);
        // Marks for stretches already behind the detector are ignored: one made late must change nothing.
        if (hold == 1) detector.markDamaged(done / 2, done / 2 + take);
        bits.clear();
        detector.process(std::span<const ComplexSample>(beacon.samples).subspan(done, take), bits);
        done += take;
        checkSoftBits(bits);
        checkDetector(detector);
        decoder.pushSoftBits(bits);
        total += bits.size();
    }
    FUZZ_CHECK(detector.samplesProcessed() == count);
    if (hold == 3) FUZZ_CHECK(total == 0);
    FUZZ_CHECK(static_cast<double>(total) <= static_cast<double>(count) / sampleRate * bitRate * BitsPerSecondSlack + 4.0);
    checks.checkStatistics(decoder.statistics());
}

// ---- A band monitor's channel: a baseband receiver at 1 kHz ----

void checkBaseband(const BasebandReceiver& receiver, const BasebandReceiverStatistics& before) {
    FUZZ_CHECK(receiver.toneHz().has_value() == receiver.acquired());
    FUZZ_CHECK(receiver.bitRate().has_value() == receiver.acquired());
    FUZZ_CHECK(receiver.ebN0Db().has_value() == receiver.locked());
    if (receiver.locked()) FUZZ_CHECK(receiver.acquired());
    if (const auto tone = receiver.toneHz()) FUZZ_CHECK(std::isfinite(*tone) && std::fabs(*tone) < receiver.sampleRate() / 2.0);
    if (const auto rate = receiver.bitRate()) {
        bool beaconRate = false;
        for (const double nominal : BeaconRates)
            beaconRate = beaconRate || std::fabs(*rate / nominal - 1.0) <= ClockPullRange * (1.0 + 1e-9);
        FUZZ_CHECK(beaconRate);
    }
    if (const auto ebN0 = receiver.ebN0Db()) FUZZ_CHECK(!std::isnan(*ebN0) && *ebN0 < std::numeric_limits<double>::infinity());
    const BasebandReceiverStatistics& now = receiver.statistics();
    FUZZ_CHECK(now.acquisitions >= before.acquisitions && now.beaconsLost >= before.beaconsLost);
    FUZZ_CHECK(now.detectorGaveUp >= before.detectorGaveUp && now.wordLayerRestarts >= before.wordLayerRestarts);
    // Every restart ends a detector that an acquisition (or a hint) started.
    FUZZ_CHECK(now.detectorGaveUp + now.wordLayerRestarts <= now.acquisitions);
}

void bandChannel(FuzzedDataProvider& input) {
    constexpr double ChannelRate = 1000.0;  // a band monitor's channels, 500 Hz apart, oversampled twice
    const double bitRate = BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    const double searchHz = input.ConsumeBool() ? 150.0 : 130.0;  // raster known, or not
    const double toneHz = input.ConsumeIntegralInRange<int>(-200, 200);
    AcquisitionSettings settings;
    settings.sampleRate = ChannelRate;
    settings.searchLowHz = -searchHz;
    settings.searchHighHz = searchHz;
    const int hints = input.ConsumeIntegralInRange<int>(0, 3);
    // The hints the whole receiver passes on, always within the band searched.
    if (hints & 1) settings.toneHint = std::clamp(toneHz + input.ConsumeIntegralInRange<int>(-40, 40), -searchHz, searchHz);
    if (hints & 2) settings.bitRateHint = BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    const bool blocksOfTheMonitor = input.ConsumeBool();
    const std::uint32_t pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    const Perturbation perturbation = consumePerturbation(input);
    // Up to 12 s: past the 10 s without a valid word after which a beacon heard well is searched again.
    const std::size_t count = static_cast<std::size_t>(input.ConsumeIntegralInRange<int>(1, 120)) * 100;
    const ComplexSound sound = consumeComplexSound(input);
    const std::vector<std::uint8_t> frameBytes = input.ConsumeRemainingBytes<std::uint8_t>();
    const ComplexBeacon beacon = complexBeacon(sound, ChannelRate, bitRate, toneHz, count, perturbation, frameBytes);

    BasebandReceiver receiver(settings);
    FrameChecks checks;
    RtcmDecoder decoder;
    decoder.addListener(checks);
    std::vector<SoftBit> bits;
    std::size_t total = 0;
    std::uint64_t wordsSeen = 0, lastWordAt = 0;
    auto blanked = beacon.blanked.begin();
    Pieces pieces(pieceSeed, 400);
    for (std::size_t done = 0; done < count;) {
        const std::size_t take = blocksOfTheMonitor ? std::min<std::size_t>(100, count - done) : pieces.next(count - done);
        for (; blanked != beacon.blanked.end() && blanked->first < done + take; ++blanked)
            receiver.markDamaged(blanked->first, blanked->second);
        const BasebandReceiverStatistics before = receiver.statistics();
        bits.clear();
        receiver.process(std::span<const ComplexSample>(beacon.samples).subspan(done, take), bits);
        done += take;
        checkSoftBits(bits);
        checkBaseband(receiver, before);
        total += bits.size();
        // As the band monitor does: what the word layer thinks of the bits goes back to the receiver.
        if (!bits.empty()) decoder.pushSoftBits(bits);
        if (decoder.statistics().words != wordsSeen) {
            wordsSeen = decoder.statistics().words;
            lastWordAt = receiver.samplesTaken();
        }
        receiver.noValidWordsFor(static_cast<double>(receiver.samplesTaken() - lastWordAt) / ChannelRate);
        checkBaseband(receiver, before);
    }
    FUZZ_CHECK(receiver.samplesTaken() == count);
    FUZZ_CHECK(static_cast<double>(total) <= static_cast<double>(count) / ChannelRate * 200.0 * BitsPerSecondSlack + 4.0);
    checks.checkStatistics(decoder.statistics());
}

// ---- The whole receiver at 48 kHz ----

void checkReceiver(const Receiver& receiver, ReceiverKind kind, EnhancedReceiverStatistics& last) {
    FUZZ_CHECK(receiver.kind() == kind);
    const EnhancedReceiver* enhanced = receiver.enhanced();
    FUZZ_CHECK((enhanced != nullptr) == (kind == ReceiverKind::Enhanced));
    if (enhanced == nullptr) return;
    FUZZ_CHECK(enhanced->toneHz().has_value() == enhanced->acquired());
    FUZZ_CHECK(enhanced->bitRate().has_value() == enhanced->acquired());
    FUZZ_CHECK(enhanced->ebN0Db().has_value() == enhanced->locked());
    if (const auto tone = enhanced->toneHz()) FUZZ_CHECK(std::isfinite(*tone));
    if (const auto rate = enhanced->bitRate()) FUZZ_CHECK(std::isfinite(*rate) && *rate > 0.0 && *rate <= 200.0 * (1.0 + ClockPullRange));
    if (const auto ebN0 = enhanced->ebN0Db()) FUZZ_CHECK(!std::isnan(*ebN0) && *ebN0 < std::numeric_limits<double>::infinity());
    const EnhancedReceiverStatistics& now = enhanced->statistics();
    FUZZ_CHECK(now.acquisitions >= last.acquisitions && now.beaconsLost >= last.beaconsLost);
    FUZZ_CHECK(now.detectorGaveUp >= last.detectorGaveUp && now.wordLayerRestarts >= last.wordLayerRestarts);
    FUZZ_CHECK(now.blankedSamples >= last.blankedSamples && now.impulses >= last.impulses);
    FUZZ_CHECK(now.blankedSamples <= receiver.audioFrames());
    last = now;
}

void wholeReceiver(FuzzedDataProvider& input) {
    constexpr double AudioRate = 48000.0;
    const int source = input.ConsumeIntegralInRange<int>(0, 3);  // 0, 1: generated; 2: the bytes as 16-bit; 3: as doubles
    const double bitRate = BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    const double toneHz = input.ConsumeIntegralInRange<int>(200, 3500);
    ReceiverSettings settings;
    settings.kind = ReceiverKind::Enhanced;
    const int hints = input.ConsumeIntegralInRange<int>(0, 3);
    // The hints sondeco-decode takes (-f 200..3500, -r).
    if (hints & 1) settings.toneHint = std::clamp(toneHz + input.ConsumeIntegralInRange<int>(-40, 40), 200.0, 3500.0);
    if (hints & 2) settings.bitRateHint = static_cast<int>(BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)]);
    settings.classicForDisplays = input.ConsumeBool();
    const int switches = input.ConsumeIntegralInRange<int>(0, 2);  // to the classic chain midway, and back
    const int channels = input.ConsumeIntegralInRange<int>(1, 2);
    const std::uint32_t pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    const Perturbation perturbation = consumePerturbation(input);
    const auto count = static_cast<std::size_t>(input.ConsumeIntegralInRange<int>(1, 36)) * 2000;  // up to 1.5 s

    MskSettings transmitter;
    transmitter.bitRate = bitRate;
    transmitter.centreFrequency = toneHz;
    const int ebN0Db = input.ConsumeIntegralInRange<int>(-21, 40);
    if (ebN0Db >= -20) transmitter.ebN0Db = ebN0Db;
    transmitter.amplitude = input.ConsumeIntegralInRange<int>(0, 40) * 1000.0;  // 0: the modulator's own level
    transmitter.clockErrorPpm = input.ConsumeIntegralInRange<int>(-500, 500);
    transmitter.leadingSeconds = input.ConsumeIntegralInRange<int>(0, 40) / bitRate;
    transmitter.noiseSeed = input.ConsumeIntegral<std::uint32_t>();
    transmitter.driftHzPerSecond = input.ConsumeIntegralInRange<int>(-20, 20) / 10.0;
    transmitter.staticBurstsPerSecond = input.ConsumeIntegralInRange<int>(0, 40);
    transmitter.staticPeakDb = input.ConsumeIntegralInRange<int>(0, 60);
    transmitter.fadingDepthDb = input.ConsumeIntegralInRange<int>(0, 30);
    transmitter.fadingPeriodSeconds = input.ConsumeIntegralInRange<int>(1, 30) / 10.0;
    const std::vector<std::uint8_t> frameBytes = input.ConsumeRemainingBytes<std::uint8_t>();

    std::vector<double> audio(count, 0.0);
    if (source <= 1) {
        const auto bitsWanted = static_cast<std::size_t>(static_cast<double>(count) / AudioRate * bitRate) + 2;
        MskModulator modulator(transmitter);
        modulator.pushBits(transmittedBits(frameBytes, bitsWanted, bitRate, perturbation.flips, perturbation.garble));
        modulator.render(audio);
        for (double& sample : audio) sample = toPcm16(sample);
    } else if (source == 2) {
        // The bytes as 16-bit samples, over and over: a periodic sound.
        if (frameBytes.size() >= 2) {
            for (std::size_t n = 0; n < count; ++n) {
                const std::size_t at = 2 * n % (frameBytes.size() & ~std::size_t{1});
                audio[n] = static_cast<std::int16_t>(frameBytes[at] | frameBytes[at + 1] << 8);
            }
        }
    } else if (frameBytes.size() >= sizeof(double)) {
        // The bytes as doubles, as a float recording may hold anything: NaN, infinities, 1e300.
        const std::size_t values = frameBytes.size() / sizeof(double);
        for (std::size_t n = 0; n < count; ++n) std::memcpy(&audio[n], frameBytes.data() + n % values * sizeof(double), sizeof(double));
    }
    applyEvents(perturbation.events, audio);

    FrameChecks checks;
    Receiver receiver(settings);
    receiver.addListener(checks);
    ReceiverKind kind = ReceiverKind::Enhanced;
    EnhancedReceiverStatistics last;
    std::vector<std::int16_t> interleaved;
    Pieces pieces(pieceSeed, 6000);
    for (std::size_t done = 0; done < count;) {
        const std::size_t take = pieces.next(count - done);
        if (switches >= 1 && done < count / 2 && done + take >= count / 2) {
            kind = ReceiverKind::Classic;
            receiver.setKind(kind);
        }
        if (switches == 2 && done < 3 * count / 4 && done + take >= 3 * count / 4) {
            kind = ReceiverKind::Enhanced;
            receiver.setKind(kind);
            last = {};
        }
        const std::span<const double> piece = std::span<const double>(audio).subspan(done, take);
        if (source == 3) {
            receiver.pushSamples(piece);
        } else {
            // As the sound card hands it over, the beacon on the first channel.
            interleaved.assign(take * static_cast<std::size_t>(channels), 0);
            for (std::size_t n = 0; n < take; ++n) interleaved[n * static_cast<std::size_t>(channels)] = toPcm16(piece[n]);
            receiver.pushAudio(interleaved.data(), take, channels);
        }
        done += take;
        FUZZ_CHECK(receiver.audioFrames() == done);
        checkReceiver(receiver, kind, last);
    }
    receiver.finishAudio();
    checkReceiver(receiver, kind, last);
    const DecoderStatistics& statistics = receiver.decoder().statistics();
    // A tenth of a second of silence completes the last buffer.
    FUZZ_CHECK(static_cast<double>(statistics.bits) <= (static_cast<double>(count) / AudioRate + 0.1) * 200.0 * BitsPerSecondSlack + 8.0);
    checks.checkStatistics(statistics);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // Each depth takes its options from the end of the input, then the rest as the frames to send.
    const int depth = input.ConsumeIntegralInRange<int>(0, 15);
    if (depth <= 3) {
        softBitsIntoDecoder(input);
    } else if (depth <= 10) {
        detectorAlone(input);
    } else if (depth <= 14) {
        bandChannel(input);
    } else {
        wholeReceiver(input);  // a hundred times the cost of the others: chosen least often
    }
    return 0;
}
