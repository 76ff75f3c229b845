// SPDX-License-Identifier: GPL-3.0-or-later
// What the headless decoder writes while it decodes: the pages as the text box would show them, the
// frame headers as the status bar shows them, gpsd-style RTCM2 JSON, or the frames re-encoded as an
// RTCM serial stream for a GPS receiver.
#pragma once

#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_encoder.h"
#include "rtcm/serial_format.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

enum class OutputFormat { Pages, Frames, Json, Rtcm };

// The names the command lines use: "pages", "frames", "json", "rtcm".
const char* outputFormatName(OutputFormat format);
std::optional<OutputFormat> outputFormatNamed(std::string_view name);

// The frame as RTCM 6-of-8 bytes, appended to `out`. Its parity continues the chain `encoder` holds:
// each stream (a file, a network client, a serial port) keeps its own encoder, so that every stream
// starts the way a fresh one does, whenever it joins.
void appendRtcmFrameBytes(const RtcmFrame& frame, const DecodedMessage& message, RtcmEncoder& encoder, std::string& out);

// The format's text for the events a DecoderListener hears; empty where the format shows nothing.
// One formatter per output stream: the RTCM format chains parity across the frames it writes.
class OutputFormatter {
public:
    OutputFormatter(OutputFormat format, std::string device);

    OutputFormat format() const { return format_; }
    // Each appends to `out` what the format says about the event.
    void headerAccepted(const RtcmFrame& frame, std::string& out) const;
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message, std::string& out);
    void pagePublished(int page, const std::string& text, std::string& out) const;

private:
    OutputFormat format_;
    std::string device_;
    RtcmEncoder encoder_;
};

// Writes one format to a stdio stream. For the pages format, add it as a listener of the message pages
// as well as of the decoder.
class DecodedStreamWriter final : public DecoderListener {
public:
    DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device);

    // The output was closed (a pipe whose reader went away) or failed: stop decoding.
    bool failed() const { return failed_; }

    void headerAccepted(const RtcmFrame& frame) override;
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    void pagePublished(int page, const std::string& text) override;

private:
    void flushText();

    OutputFormatter formatter_;
    std::FILE* out_;
    std::string text_;
    bool failed_ = false;
};

}  // namespace sondeco
