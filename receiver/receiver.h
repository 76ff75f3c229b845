// SPDX-License-Identifier: GPL-3.0-or-later
// The receive chain in one object, the same behind every front end (the main window, sondeco-decode,
// the benchmarks, the soak and the fuzz targets): audio buffers through the demodulator into the RTCM
// decoder, or an RTCM serial byte stream straight into the decoder. Front ends listen to the decoder
// (and own the message pages if they show them); the window's displays read the demodulator's
// per-buffer outputs through demodulator(). Plain C++: no Qt, no audio devices.
#pragma once

#include "coherent/enhanced_receiver.h"
#include "demod/demodulator.h"
#include "rtcm/decoding_channel.h"
#include "rtcm/rtcm_decoder.h"
#include "rtcm/serial_format.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sondeco {

// Which demodulator's bits are decoded: the window's frequency discriminator, tuned by the user, or
// the enhanced receiver, which finds tone and rate itself and detects coherently with soft bits.
enum class ReceiverKind { Classic, Enhanced };

struct ReceiverSettings {
    int decFreqPos = 80;  // classic: centre frequency in 10 Hz units, 50..100
    bool decBitRate = true;  // classic: true for 200 bit/s, false for 100 bit/s
    ReceiverKind kind = ReceiverKind::Classic;
    // Enhanced: hints, not requirements: the tone (Hz of the audio, 200..3500) and rate believed.
    std::optional<double> toneHint;
    std::optional<int> bitRateHint;
    // Enhanced: also run the classic demodulator, whose per-buffer outputs the window's displays draw.
    bool classicForDisplays = false;
    // Classic: also run the enhanced receiver's search beside it, its bits unused, so that a beacon
    // the classic chain is not tuned to can be pointed out (scout()).
    bool scoutInClassic = false;

    // The classic chain, tuned.
    static ReceiverSettings classic(int decFreqPos, bool decBitRate) {
        ReceiverSettings settings;
        settings.decFreqPos = decFreqPos;
        settings.decBitRate = decBitRate;
        return settings;
    }
};

class Receiver {
public:
    static constexpr int SamplesPerBuffer = Demodulator::InputSamplesPerBuffer;  // 100 ms at 48000 Hz

    explicit Receiver(const ReceiverSettings& settings = {});

    void addListener(DecoderListener& listener) { channel_.addListener(listener); }
    // Switches the demodulator whose bits are decoded, keeping the decoder and its listeners (the
    // window's "Receiver" setting). The enhanced receiver starts afresh each time it is chosen.
    void setKind(ReceiverKind kind);
    // The classic demodulator's tuning; the enhanced receiver needs none.
    void tuneCenterFrequency(int decFreqPos) { demodulator_.tuneCenterFrequency(decFreqPos); }
    void tuneBitRate(bool decBitRate) { demodulator_.tuneBitRate(decBitRate); }

    // One 100 ms buffer of the channel to decode (unscaled 16-bit values).
    void processBuffer(std::span<const double, SamplesPerBuffer> samples);

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
    const RtcmDecoder& decoder() const { return channel_.decoder(); }
    std::uint64_t audioFrames() const { return audioFrames_; }
    ReceiverKind kind() const { return settings_.kind; }
    // The enhanced receiver, or nullptr for the classic chain.
    const EnhancedReceiver* enhanced() const { return enhanced_.get(); }
    // In the classic chain with scoutInClassic, the enhanced receiver that searches beside it; else nullptr.
    const EnhancedReceiver* scout() const { return scout_.get(); }

private:
    void processEnhanced(std::span<const double> samples);

    ReceiverSettings settings_;
    std::unique_ptr<EnhancedReceiver> enhanced_;
    std::unique_ptr<EnhancedReceiver> scout_;
    std::vector<SoftBit> softBits_;
    Demodulator demodulator_;
    // Decodes the bits of whichever demodulator is chosen; its watch on passing words runs on the
    // enhanced receiver's samples only.
    DecodingChannel channel_;
    SerialCaptureReader serial_;
    std::array<double, SamplesPerBuffer> buffer_{};
    std::size_t filled_ = 0;
    std::uint64_t audioFrames_ = 0;
};

}  // namespace sondeco
