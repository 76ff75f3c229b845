// SPDX-License-Identifier: GPL-3.0-or-later
#include "measure/reception_trial.h"

#include "measure/fixed_clock.h"
#include "receiver/receiver.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/beacon_audio.h"
#include "signalgen/msk_modulator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>

namespace sondeco {
namespace {

struct BitRecorder final : BitSink {
    std::vector<std::uint8_t> bits;
    void pushBit(std::uint8_t bit) override { bits.push_back(bit); }
};

}  // namespace

bool sameFrame(const RtcmFrame& decoded, const BeaconFrame& sent) {
    if (decoded.messageType != sent.header.messageType || decoded.stationId != sent.header.stationId ||
        decoded.zCount != sent.header.zCount || decoded.sequenceNumber != sent.header.sequenceNumber ||
        decoded.stationHealth != sent.header.stationHealth || decoded.frameLength != static_cast<int>(sent.dataWords.size()))
        return false;
    return std::equal(sent.dataWords.begin(), sent.dataWords.end(), decoded.dataWords.begin());
}

ReceptionScore scoreReception(const std::vector<RtcmFrame>& decoded, const std::vector<BeaconFrame>& sent, std::size_t firstCounted,
                              std::size_t endCounted) {
    // Each sent frame can be matched once, so a duplicate counts as wrong. Frames matched outside the
    // counted ones (warm-up, tail) are ignored; a frame that matches nothing is wrong wherever it falls.
    ReceptionScore score;
    std::size_t next = 0;
    for (const RtcmFrame& frame : decoded) {
        std::size_t j = next;
        while (j < sent.size() && !sameFrame(frame, sent[j])) ++j;
        if (j == sent.size()) {
            ++score.wrong;
            ++score.decoded;
            continue;
        }
        for (std::size_t k = std::max(next, firstCounted); k < std::min(j, endCounted); ++k) score.missing.push_back(k);
        if (j >= firstCounted && j < endCounted) {
            ++score.right;
            ++score.decoded;
        }
        next = j + 1;
    }
    for (std::size_t k = std::max(next, firstCounted); k < endCounted; ++k) score.missing.push_back(k);
    return score;
}

int framesDemodulatedRight(const std::vector<BeaconFrame>& sent, std::size_t firstCounted, std::size_t endCounted,
                           const std::vector<std::uint8_t>& decided, long leadBits) {
    constexpr long Slack = 64;  // bits either side: far more than the clock slips between two frames
    RtcmEncoder encoder;
    std::vector<std::uint8_t> bits;
    long start = 0;  // of the frame in the transmitted stream
    long offset = leadBits;
    int found = 0;
    const long size = static_cast<long>(decided.size());
    for (std::size_t k = 0; k < endCounted && k < sent.size(); ++k) {
        bits.clear();
        encoder.appendFrameBits(sent[k].header, sent[k].dataWords, bits);
        const long from = std::clamp(start + offset - Slack, 0L, size);
        const long to = std::clamp(start + offset + Slack + static_cast<long>(bits.size()), from, size);
        const auto at = std::search(decided.begin() + from, decided.begin() + to, bits.begin(), bits.end());
        if (at != decided.begin() + to) {
            offset = (at - decided.begin()) - start;
            if (k >= firstCounted) ++found;
        }
        start += static_cast<long>(bits.size());
    }
    return found;
}

namespace {

// The frames [firstCounted, endCounted) an ideal coherent receiver with hard decisions decodes on
// average: each bit at the Eb/N0 of its own stretch of the fades (the mean gain over the bit).
double idealHardFrames(const MskSettings& transmitter, const std::vector<BeaconFrame>& sent, std::size_t firstCounted,
                       std::size_t endCounted) {
    std::optional<RayleighFading> fading = MskModulator::fadingOf(transmitter);
    const double samplesPerBit = static_cast<double>(transmitter.sampleRate) / transmitter.bitRate;
    const double ebN0 = std::pow(10.0, transmitter.ebN0Db.value_or(100.0) / 10.0);
    double expected = 0.0, sample = 0.0;
    std::uint64_t samplesTaken = 0;
    for (std::size_t k = 0; k < endCounted && k < sent.size(); ++k) {
        const std::size_t bits = static_cast<std::size_t>(WordBitCount) * (2 + sent[k].dataWords.size());
        double logRight = 0.0;
        for (std::size_t b = 0; b < bits; ++b) {
            double power = 0.0;
            int count = 0;
            for (sample += samplesPerBit; static_cast<double>(samplesTaken) < sample; ++samplesTaken, ++count)
                power += fading ? std::norm(fading->next()) : 1.0;
            const double bitError = std::erfc(std::sqrt(ebN0 * power / std::max(count, 1)));  // 2 Q(sqrt(2 Eb/N0))
            logRight += std::log1p(-std::min(bitError, 1.0 - 1e-12));
        }
        if (k >= firstCounted) expected += std::exp(logRight);
    }
    return expected;
}

}  // namespace

ReceptionResult runReceptionTrial(const ReceptionTrial& trial) {
    const auto firstCounted = static_cast<std::size_t>(trial.warmupFrames);
    const auto endCounted = firstCounted + static_cast<std::size_t>(trial.frames);

    BeaconSettings station;
    station.bitRate = trial.bitRate;
    station.startSecondsIntoHour = 0.0;  // fixed, so that every run sends the same frames
    if (trial.randomContents) {
        station.randomContentSeed = trial.seed;
        station.messageTypes.resize(64);
        std::iota(station.messageTypes.begin(), station.messageTypes.end(), 0);
    }
    MskSettings transmitter;
    transmitter.bitRate = trial.bitRate;
    transmitter.centreFrequency = trial.centreFrequency;
    transmitter.ebN0Db = trial.ebN0Db;
    transmitter.noiseSeed = trial.seed;
    transmitter.leadingSeconds = trial.leadingSeconds;
    transmitter.frequencyOffset = trial.frequencyOffset;
    transmitter.driftHzPerSecond = trial.driftHzPerSecond;
    transmitter.clockErrorPpm = trial.clockErrorPpm;
    transmitter.staticBurstsPerSecond = trial.staticBurstsPerSecond;
    transmitter.staticPeakDb = trial.staticPeakDb;
    transmitter.rayleighDopplerHz = trial.rayleighDopplerHz;
    transmitter.carriers = trial.carriers;
    BeaconAudio audio(station, transmitter, true);

    const bool enhanced = trial.kind == ReceiverKind::Enhanced;
    const int decFreqPos = static_cast<int>(std::lround(trial.centreFrequency / 10.0));
    ReceiverSettings settings;
    settings.decFreqPos = decFreqPos;
    settings.decBitRate = trial.bitRate == 200;
    settings.kind = trial.kind;
    if (trial.hints) {
        settings.toneHint = trial.centreFrequency;
        settings.bitRateHint = trial.bitRate;
    }
    Receiver receiver(settings);
    DecodedFrameRecorder decoded;
    receiver.addListener(decoded);
    // A second demodulator, given the same samples, hands over the same decisions for the bit-level
    // count: the receiver's own pass straight into its decoder.
    Demodulator demodulator;
    demodulator.tuneCenterFrequency(decFreqPos);
    demodulator.tuneBitRate(trial.bitRate == 200);
    BitRecorder decided;
    std::vector<std::int16_t> buffer(2 * static_cast<std::size_t>(Receiver::SamplesPerBuffer));
    std::array<double, Receiver::SamplesPerBuffer> samples{};
    ReceptionResult result;
    std::size_t framesSeen = 0;
    const auto receive = [&] {
        audio.render(buffer);
        receiver.pushAudio(buffer.data(), Receiver::SamplesPerBuffer, 2);
        if (!enhanced) {
            for (std::size_t n = 0; n < samples.size(); ++n) samples[n] = buffer[2 * n];
            demodulator.demodulateBuffer(samples, decided);
        }
        for (; framesSeen < decoded.frames.size() && result.firstRightFrameSeconds < 0.0; ++framesSeen) {
            for (const BeaconFrame& frame : audio.sentFrames()) {
                if (!sameFrame(decoded.frames[framesSeen], frame)) continue;
                result.firstRightFrameSeconds = static_cast<double>(receiver.audioFrames()) / 48000.0 - trial.leadingSeconds;
                break;
            }
        }
    };
    // Until two frames past the counted ones have been queued (so the last counted frame has gone out
    // whole), then a little more for the receiver's delay: half a second for the classic filters and
    // clock, two for the enhanced receiver's blanker, decimator and the detector's confirmation.
    while (audio.sentFrames().size() < endCounted + 2) receive();
    for (int i = 0; i < (enhanced ? 20 : 5); ++i) receive();

    const auto& sent = audio.sentFrames();
    result.score = scoreReception(decoded.frames, sent, firstCounted, endCounted);
    if (!enhanced)
        result.demodulated =
            framesDemodulatedRight(sent, firstCounted, endCounted, decided.bits, std::lround(trial.leadingSeconds * trial.bitRate));
    std::uint64_t bitsSent = 0;
    for (std::size_t k = firstCounted; k < endCounted; ++k)
        bitsSent += static_cast<std::uint64_t>(WordBitCount) * (2 + sent[k].dataWords.size());
    result.bitsPerFrame = static_cast<double>(bitsSent) / trial.frames;
    if (enhanced) result.idealHard = idealHardFrames(transmitter, sent, firstCounted, endCounted);
    result.audioSeconds = static_cast<double>(receiver.audioFrames()) / 48000.0;
    return result;
}

}  // namespace sondeco
