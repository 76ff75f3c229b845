// SPDX-License-Identifier: GPL-3.0-or-later
// What the headless decoder writes while it decodes: the pages as the text box would show them, the
// frame headers as the status bar shows them, gpsd-style RTCM2 JSON, or the frames re-encoded as an
// RTCM serial stream for a GPS receiver.
#pragma once

#include "present/page_listener.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_encoder.h"
#include "rtcm/serial_format.h"

#include <cerrno>
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
    // Each appends to `out` what the format says about the event. Frame lines, JSON and RTCM are
    // written for whole frames only: a header whose frame is then lost says nothing a reader can use,
    // and a reader counting lines must count frames.
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message, std::string& out);
    void pagePublished(int page, const std::string& text, std::string& out) const;

private:
    OutputFormat format_;
    std::string device_;
    RtcmEncoder encoder_;
};

// Writes one format to a stdio stream. For the pages format, add it as a listener of the message pages
// as well as of the decoder.
//
// Every frame (every page) leaves the stream the moment it is decoded: a GPS receiver on a serial
// line or a program reading a pipe wants its corrections now, not when a buffer of 4096 bytes has
// filled, and a run that is stopped must leave whole lines behind.
class DecodedStreamWriter final : public DecoderListener, public PageListener {
public:
    DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device);

    // The output was closed (a pipe whose reader went away) or failed: stop decoding.
    bool failed() const { return failed_; }
    // The failure was the reader going away (EPIPE), which ends a run quietly; any other one (a full
    // disk, a device gone) is an error to report.
    bool readerWentAway() const { return failed_ && errorNumber_ == EPIPE; }
    // The system's error number of the failure, 0 if there was none.
    int errorNumber() const { return errorNumber_; }

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    void pagePublished(int page, const std::string& text) override;

private:
    void write();

    OutputFormatter formatter_;
    std::FILE* out_;
    std::string text_;
    bool failed_ = false;
    int errorNumber_ = 0;
};

}  // namespace sondeco
