// SPDX-License-Identifier: GPL-3.0-or-later
// A listener and page view that remember everything the decoder and the pages showed, for tests
// without windows.
#pragma once

#include "measure/fixed_clock.h"
#include "output/status_panels.h"
#include "present/message_pages.h"
#include "rtcm/message_builders.h"
#include "rtcm/rtcm_decoder.h"
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

class RecordingView final : public DecoderListener, public PageView, public PageListener {
public:
    std::array<std::string, StatusPanelCount> status = bareStatusPanelTexts();  // as the status bar shows it
    std::array<std::string, PageCount> captions{};
    std::string shown;  // what the text box shows
    int selected = 4;
    int captionRebuilds = 0;
    std::vector<int> publishedPages;
    std::vector<DecodedHeader> completedFrames;
    std::vector<std::string> framePages;  // per completed frame: the page it published, or ""
    std::vector<RtcmFrame> frames;  // per completed frame: the frame record as it was
    std::vector<std::vector<std::uint32_t>> frameWords;  // per completed frame: its data words

    void headerAccepted(const RtcmFrame& frame) override { status = statusPanelTexts(frame); }
    void syncLost() override { status = bareStatusPanelTexts(); }
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
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        frameWords.push_back(message.dataWords);
        completedFrames.push_back(
            {frame.messageType, frame.stationId, frame.zCount, frame.sequenceNumber, frame.frameLength, frame.stationHealth});
        framePages.push_back(std::exchange(lastPublished_, std::string()));
        frames.push_back(frame);
    }

private:
    std::string lastPublished_;
};

// A decoder with its pages and view, as the main window has them, and the encoder of the station
// that talks to it.
struct DecoderBench {
    RecordingView view;
    RtcmDecoder decoder;
    MessagePages pages{fixedClock, &view};
    RtcmEncoder encoder;

    DecoderBench() {
        // The pages first: a frame's page is published before the view hears the frame completed.
        decoder.addListener(pages);
        decoder.addListener(view);
        pages.addListener(view);
        pages.rebuildTabCaptions();
        pages.clearAllMessages();
    }

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

    const std::string& page(int k) const { return pages.PageTexts[static_cast<std::size_t>(k)]; }
};

}  // namespace sondeco::testing
