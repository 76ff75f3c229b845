#include "receiver/receiver.h"

#include <algorithm>

namespace sondeco {

Receiver::Receiver(const ReceiverSettings& settings) {
    demodulator_.tuneCenterFrequency(settings.decFreqPos);
    demodulator_.tuneBitRate(settings.decBitRate);
}

void Receiver::processBuffer(std::span<double, SamplesPerBuffer> samples) { demodulator_.demodulateBuffer(samples, decoder_); }

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
    serial_.feedBytes(bytes, [this](std::uint32_t sixBits) { decoder_.pushBits(sixBits, 6); });
}

}  // namespace sondeco
