// The receive chain in one object, the same behind every front end (the main window, sondeco-decode,
// the benchmarks, the soak and the fuzz targets): audio buffers through the demodulator into the RTCM
// decoder, or an RTCM serial byte stream straight into the decoder. Front ends listen to the decoder
// (and own the message pages if they show them); the window's displays read the demodulator's
// per-buffer outputs through demodulator(). Plain C++: no Qt, no audio devices.
#pragma once

#include "demod/demodulator.h"
#include "rtcm/rtcm_decoder.h"
#include "rtcm/serial_format.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace sondeco {

struct ReceiverSettings {
    int decFreqPos = 80;  // centre frequency in 10 Hz units, 50..100
    bool decBitRate = true;  // true for 200 bit/s, false for 100 bit/s
};

class Receiver {
public:
    static constexpr int SamplesPerBuffer = Demodulator::InputSamplesPerBuffer;  // 100 ms at 48000 Hz

    explicit Receiver(const ReceiverSettings& settings = {});

    void addListener(DecoderListener& listener) { decoder_.addListener(listener); }
    void tuneCenterFrequency(int decFreqPos) { demodulator_.tuneCenterFrequency(decFreqPos); }
    void tuneBitRate(bool decBitRate) { demodulator_.tuneBitRate(decBitRate); }

    // One 100 ms buffer of the channel to decode (unscaled 16-bit values). The samples are the
    // demodulator's working space: their contents are unspecified afterwards.
    void processBuffer(std::span<double, SamplesPerBuffer> samples);

    // Interleaved 16-bit audio of any length, `channels` samples a frame; the first channel is
    // decoded, in 100 ms buffers as they fill.
    void pushAudio(const std::int16_t* interleaved, std::size_t frames, int channels);
    // The channel to decode alone, at 48000 Hz in 16-bit units (full scale +-32768), of any length:
    // recordings of other formats and rates as AudioInput delivers them.
    void pushSamples(std::span<const double> samples);
    // Processes a last, partly filled buffer, completed with silence.
    void finishAudio();
    // An RTCM 6-of-8 serial byte stream, in any pieces.
    void pushRtcmBytes(std::string_view bytes);

    const Demodulator& demodulator() const { return demodulator_; }
    const RtcmDecoder& decoder() const { return decoder_; }
    std::uint64_t audioFrames() const { return audioFrames_; }

private:
    Demodulator demodulator_;
    RtcmDecoder decoder_;
    SerialCaptureReader serial_;
    std::array<double, SamplesPerBuffer> buffer_{};
    std::size_t filled_ = 0;
    std::uint64_t audioFrames_ = 0;
};

}  // namespace sondeco
