// The whole RTCM side of the receiver in one object: bits in, frames assembled and checked, message
// pages built. One instance behind the main window, a fresh one in every test and in the headless tool.
#pragma once

#include "rtcm/bit_sink.h"
#include "rtcm/decoder_view.h"
#include "rtcm/message_pages.h"
#include "rtcm/rtcm_frame.h"
#include "rtcm/word_assembler.h"

#include <array>
#include <cstdint>

namespace sondeco {

inline constexpr std::array<const char*, StatusPanelCount> StatusPrefixes{
    "Ref ID : ", "Msg Type : ", "Z-Count : ", "Seq Num : ", "Frame Len : ", ""};

// Why words and frames were lost, counted for the headless decoder's summary.
struct DecoderStatistics {
    std::uint64_t bits = 0;
    std::uint64_t words = 0;             // words that passed parity
    std::uint64_t parityFailures = 0;
    std::uint64_t missingPreambles = 0;  // a frame's first word without the preamble
    std::uint64_t syncLosses = 0;
    std::uint64_t frames = 0;            // completed frames
    std::uint64_t framesNotDecoded = 0;  // completed, but the station reported "not working"
    std::array<std::uint64_t, 64> framesByType{};
};

class RtcmDecoder final : public BitSink {
public:
    // Starts searching, with every page at its title. Touches nothing in the view: the main window
    // sets its captions and selected page in its own order.
    explicit RtcmDecoder(DecoderView& view, LocalTimeSource clock = currentLocalTime);

    // Back to the start-up state, and the view with it: bare status prefixes, unmarked captions,
    // the selected page's title shown.
    void reset();

    void pushBit(std::uint8_t bit) override;

    const RtcmFrame& frame() const { return frame_; }
    const WordAssembler& wordAssembler() const { return assembler_; }
    MessagePages& pages() { return pages_; }
    const MessagePages& pages() const { return pages_; }
    int LastStationId() const { return lastStationId_; }
    const DecoderStatistics& statistics() const { return statistics_; }

private:
    void processWord();
    void loseSync();
    void acceptHeaderWord2(std::span<const std::uint8_t> word);
    void completeFrame();

    DecoderView& view_;
    WordAssembler assembler_;
    RtcmFrame frame_;
    MessagePages pages_;
    int lastStationId_ = -1;
    DecoderStatistics statistics_;
};

}  // namespace sondeco
