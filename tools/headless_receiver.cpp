#include "tools/headless_receiver.h"

#include <algorithm>

namespace sondeco {

HeadlessReceiver::HeadlessReceiver(DecoderView& view, int decFreqPos, bool decBitRate, LocalTimeSource clock)
    : decoder_(view, std::move(clock)) {
    demodulator_.tuneCenterFrequency(decFreqPos);
    demodulator_.tuneBitRate(decBitRate);
    decoder_.reset();
}

void HeadlessReceiver::pushAudio(const std::int16_t* interleaved, std::size_t frames, int channels) {
    if (interleaved == nullptr || channels < 1) return;
    for (std::size_t n = 0; n < frames; ++n) {
        buffer_[filled_++] = interleaved[n * static_cast<std::size_t>(channels)];
        if (filled_ == buffer_.size()) processBuffer();
    }
    audioFrames_ += frames;
}

void HeadlessReceiver::finishAudio() {
    if (filled_ == 0) return;
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), buffer_.end(), 0.0);
    processBuffer();
}

void HeadlessReceiver::processBuffer() {
    demodulator_.demodulateBuffer(buffer_, decoder_);
    filled_ = 0;
}

void HeadlessReceiver::pushSerialBytes(std::string_view bytes) {
    serial_.feed(bytes, [this](std::uint8_t bit) { decoder_.pushBit(bit); });
}

}  // namespace sondeco
