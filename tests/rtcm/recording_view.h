// A DecoderView that remembers everything the decoder showed, for tests without windows.
#pragma once

#include "rtcm/rtcm_decoder.h"
#include "tests/support/fixed_clock.h"
#include "rtcm/message_builders.h"
#include "rtcm/rtcm_encoder.h"

#include <array>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace sondeco::testing {

struct DecodedHeader {
    int type, station, zCount, sequence, length, health;
    bool operator==(const DecodedHeader&) const = default;
};

class RecordingView final : public DecoderView {
public:
    std::array<std::string, StatusPanelCount> status{};
    std::array<std::string, PageCount> captions{};
    std::string shown;  // what the text box shows
    int selected = 4;
    int captionRebuilds = 0;
    std::vector<int> publishedPages;
    std::vector<DecodedHeader> completedFrames;
    std::vector<std::string> framePages;  // per completed frame: the page it published, or ""
    std::vector<RtcmFrame> frames;        // per completed frame: the frame record as it was

    void setStatusText(int panel, const std::string& text) override { status[static_cast<std::size_t>(panel)] = text; }
    int selectedPage() const override { return selected; }
    void showPageText(const std::string& text) override { shown = text; }
    void setTabCaptions(const std::array<std::string, PageCount>& newCaptions) override {
        captions = newCaptions;
        ++captionRebuilds;
    }
    void pagePublished(int page, const std::string& text) override {
        publishedPages.push_back(page);
        lastPublished_ = text;
    }
    void frameCompleted(const RtcmFrame& frame) override {
        completedFrames.push_back({frame.messageType, frame.stationId, frame.zCount, frame.sequenceNumber,
                                   frame.frameLength, frame.stationHealth});
        framePages.push_back(std::exchange(lastPublished_, std::string()));
        frames.push_back(frame);
    }

private:
    std::string lastPublished_;
};

// A decoder with its view, and the encoder of the station that talks to it.
struct DecoderBench {
    RecordingView view;
    RtcmDecoder decoder{view, fixedClock};
    RtcmEncoder encoder;

    DecoderBench() { decoder.reset(); }

    void pushBits(const std::vector<std::uint8_t>& bits) {
        for (std::uint8_t bit : bits) decoder.pushBit(bit);
    }

    // Sends one frame through the decoder, bit by bit.
    void send(const RtcmHeader& header, const std::vector<std::uint32_t>& dataWords) {
        std::vector<std::uint8_t> bits;
        encoder.appendFrameBits(header, dataWords, bits);
        pushBits(bits);
    }

    static RtcmHeader header(int type, int station = 268, int health = 0, int zCount = 1234, int sequence = 3) {
        RtcmHeader h;
        h.messageType = type;
        h.stationId = station;
        h.stationHealth = health;
        h.zCount = zCount;
        h.sequenceNumber = sequence;
        return h;
    }

    const std::string& page(int k) const { return decoder.pages().PageTexts[static_cast<std::size_t>(k)]; }
};

}  // namespace sondeco::testing
