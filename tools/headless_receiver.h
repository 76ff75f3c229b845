// The receiver without windows: audio in, through the same demodulator and RTCM decoder as the desktop
// program, or an RTCM serial stream straight into the word synchroniser. The view decides what becomes
// of the decoded frames and pages.
#pragma once

#include "demod/demodulator.h"
#include "rtcm/rtcm_decoder.h"
#include "rtcm/serial_format.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace sondeco {

class HeadlessReceiver {
public:
    // `decFreqPos` is the centre frequency in 10 Hz units (50..100), `decBitRate` true for 200 bit/s.
    HeadlessReceiver(DecoderView& view, int decFreqPos, bool decBitRate, LocalTimeSource clock = currentLocalTime);

    // Audio at 48000 Hz, `channels` interleaved 16-bit samples a frame; the first channel is decoded.
    // Audio is processed in the program's 100 ms buffers as they fill.
    void pushAudio(const std::int16_t* interleaved, std::size_t frames, int channels);
    // Processes a last, partly filled buffer, completed with silence.
    void finishAudio();
    // An RTCM 6-of-8 serial byte stream, in any pieces.
    void pushSerialBytes(std::string_view bytes);

    const RtcmDecoder& decoder() const { return decoder_; }
    RtcmDecoder& decoder() { return decoder_; }
    const Demodulator& demodulator() const { return demodulator_; }
    std::uint64_t audioFrames() const { return audioFrames_; }

private:
    void processBuffer();

    Demodulator demodulator_;
    RtcmDecoder decoder_;
    SerialCaptureReader serial_;
    std::array<double, Demodulator::InputSamplesPerBuffer> buffer_{};
    std::size_t filled_ = 0;
    std::uint64_t audioFrames_ = 0;
};

}  // namespace sondeco
