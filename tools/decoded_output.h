// What sondeco-decode writes while it decodes: the pages as the text box would show them, the frame
// headers as the status bar shows them, gpsd-style RTCM2 JSON, or the frames re-encoded as an RTCM
// serial stream for a GPS receiver.
#pragma once

#include "rtcm/decoder_view.h"
#include "rtcm/rtcm_encoder.h"
#include "rtcm/serial_format.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace sondeco {

enum class OutputFormat { Pages, Frames, Json, Rtcm };

// One decoded frame as a line of gpsd's RTCM2 JSON (no line end). `device` names the input.
std::string rtcm2Json(const RtcmFrame& frame, std::string_view device);

class DecodedStreamWriter final : public DecoderView {
public:
    DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device);

    // The output was closed (a pipe whose reader went away) or failed: stop decoding.
    bool failed() const { return failed_; }

    void setStatusText(int panel, const std::string& text) override;
    int selectedPage() const override { return -1; }  // no page is on show
    void showPageText(const std::string&) override {}
    void setTabCaptions(const std::array<std::string, PageCount>&) override {}
    void headerAccepted(const RtcmFrame& frame) override;
    void frameCompleted(const RtcmFrame& frame) override;
    void pagePublished(int page, const std::string& text) override;

private:
    void write(std::string_view text);

    OutputFormat format_;
    std::FILE* out_;
    std::string device_;
    std::array<std::string, StatusPanelCount> status_{};
    RtcmEncoder encoder_;
    SerialWriter serial_;
    bool failed_ = false;
};

}  // namespace sondeco
