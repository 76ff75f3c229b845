// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/receiver.h"

#include <algorithm>
#include <cmath>

namespace sondeco {

namespace {

// The rate of the audio the receiver takes.
constexpr double AudioInput48kHz = 48000.0;

// The classic demodulator's decisions, when it runs only for the displays.
struct DiscardedBits final : BitSink {
    void pushBit(std::uint8_t) override {}
};

}  // namespace

Receiver::Receiver(const ReceiverSettings& settings) : settings_(settings) {
    demodulator_.tuneCenterFrequency(settings.decFreqPos);
    demodulator_.tuneBitRate(settings.decBitRate);
    settings_.kind = ReceiverKind::Classic;
    setKind(settings.kind);
    if (settings_.kind == ReceiverKind::Classic && settings_.scoutInClassic)
        scout_ = std::make_unique<EnhancedReceiver>(EnhancedReceiverSettings{});
}

void Receiver::setKind(ReceiverKind kind) {
    if (kind == settings_.kind) return;
    settings_.kind = kind;
    if (kind == ReceiverKind::Classic) {
        enhanced_.reset();
        if (settings_.scoutInClassic) scout_ = std::make_unique<EnhancedReceiver>(EnhancedReceiverSettings{});
        channel_.decoder().setReception(std::nullopt, std::nullopt);
        return;
    }
    scout_.reset();
    EnhancedReceiverSettings enhanced;
    enhanced.toneHintHz = settings_.toneHint;
    if (settings_.bitRateHint) enhanced.bitRateHint = static_cast<double>(*settings_.bitRateHint);
    enhanced_ = std::make_unique<EnhancedReceiver>(enhanced);
    channel_.restartWatch();
}

void Receiver::processBuffer(std::span<const double, SamplesPerBuffer> samples) {
    if (!enhanced_) {
        demodulator_.demodulateBuffer(samples, channel_.decoder());
        if (scout_) {
            softBits_.clear();
            scout_->processAudio(samples, softBits_);
        }
        return;
    }
    processEnhanced(samples);
    if (settings_.classicForDisplays) {
        DiscardedBits discarded;
        demodulator_.demodulateBuffer(samples, discarded);
    }
}

void Receiver::processEnhanced(std::span<const double> samples) {
    softBits_.clear();
    enhanced_->processAudio(samples, softBits_);
    ReceptionTag tag;
    tag.frequencyHz = enhanced_->toneHz();
    tag.bitRate = enhanced_->bitRate();
    tag.ebN0Db = enhanced_->ebN0Db();
    channel_.pushSoftBits(softBits_, tag);
    enhanced_->noValidWordsFor(channel_.advance(samples.size(), AudioInput48kHz));
}

void Receiver::pushAudio(const std::int16_t* interleaved, std::size_t frames, int channels) {
    if (interleaved == nullptr || channels < 1) return;
    const auto stride = static_cast<std::size_t>(channels);
    for (std::size_t n = 0; n < frames; ++n) {
        buffer_[filled_++] = interleaved[n * stride];
        if (filled_ == buffer_.size()) {
            processBuffer(buffer_);
            filled_ = 0;
        }
    }
    audioFrames_ += frames;
}

void Receiver::pushSamples(std::span<const double> samples) {
    for (const double sample : samples) {
        buffer_[filled_++] = sample;
        if (filled_ == buffer_.size()) {
            processBuffer(buffer_);
            filled_ = 0;
        }
    }
    audioFrames_ += samples.size();
}

void Receiver::finishAudio() {
    if (filled_ == 0) return;
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), buffer_.end(), 0.0);
    processBuffer(buffer_);
    filled_ = 0;
}

void Receiver::pushRtcmBytes(std::string_view bytes) {
    serial_.feedBytes(bytes, [this](std::uint32_t sixBits) { channel_.decoder().pushBits(sixBits, 6); });
}

}  // namespace sondeco
