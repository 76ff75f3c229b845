// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/decoded_output.h"

#include "output/status_panels.h"
#include "present/json_format.h"
#include "present/page_text.h"
#include "present/presentation.h"
#include "present/text_format.h"

#include <array>
#include <utility>

namespace sondeco {

namespace {

constexpr std::array<std::pair<const char*, OutputFormat>, 4> FormatNames{
    {{"pages", OutputFormat::Pages}, {"frames", OutputFormat::Frames}, {"json", OutputFormat::Json}, {"rtcm", OutputFormat::Rtcm}}};

}  // namespace

const char* outputFormatName(OutputFormat format) {
    for (const auto& [name, named] : FormatNames)
        if (named == format) return name;
    return "pages";
}

std::optional<OutputFormat> outputFormatNamed(std::string_view name) {
    for (const auto& [known, format] : FormatNames)
        if (name == known) return format;
    return std::nullopt;
}

void appendRtcmFrameBytes(const RtcmFrame& frame, const DecodedMessage& message, RtcmEncoder& encoder, std::string& out) {
    // Parity and the D30* inversion are recomputed across the stream `encoder` stands for.
    RtcmHeader header;
    header.messageType = frame.messageType;
    header.stationId = frame.stationId;
    header.zCount = frame.zCount;
    header.sequenceNumber = frame.sequenceNumber;
    header.stationHealth = frame.stationHealth;
    std::vector<std::uint8_t> bits;
    bits.reserve(static_cast<std::size_t>(30 * (2 + message.dataWords.size())));
    encoder.appendFrameBits(header, message.dataWords, bits);
    // A frame is a whole number of 30-bit words, so it fills whole bytes: nothing is left over.
    SerialWriter serial;
    for (std::uint8_t bit : bits) serial.pushBit(bit);
    out += serial.takeBytes();
}

OutputFormatter::OutputFormatter(OutputFormat format, std::string device) : format_(format), device_(std::move(device)) {}

void OutputFormatter::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message, std::string& out) {
    if (format_ == OutputFormat::Frames) {
        const auto panels = statusPanelTexts(frame);
        for (std::size_t panel = 0; panel < panels.size(); ++panel) {
            if (panel > 0) out += " | ";
            out += panels[panel];
        }
        // Frames from a stream whose time is followed (the band monitor's) say when they came.
        if (message.reception.time) {
            if (const std::string time = isoUtcTime(*message.reception.time); !time.empty()) out += " | " + time;
        }
        out += '\n';
    } else if (format_ == OutputFormat::Json) {
        appendRtcm2Json(frame, message, device_, out);
        out += '\n';
    } else if (format_ == OutputFormat::Rtcm) {
        appendRtcmFrameBytes(frame, message, encoder_, out);
    }
}

void OutputFormatter::pagePublished(int page, const std::string& text, std::string& out) const {
    if (format_ != OutputFormat::Pages || page < 0 || page >= PageCount) return;
    out += "=== Msg #" + std::to_string(PageTypes[static_cast<std::size_t>(page)]) + "\n" + normaliseLineEnds(text) + "\n";
}

DecodedStreamWriter::DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device)
    : formatter_(format, std::move(device)), out_(out) {}

void DecodedStreamWriter::write() {
    if (!failed_ && !text_.empty() && (std::fwrite(text_.data(), 1, text_.size(), out_) != text_.size() || std::fflush(out_) != 0)) {
        failed_ = true;
        errorNumber_ = errno;
    }
    text_.clear();
}

void DecodedStreamWriter::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    formatter_.frameCompleted(frame, message, text_);
    write();
}

void DecodedStreamWriter::pagePublished(int page, const std::string& text) {
    formatter_.pagePublished(page, text, text_);
    write();
}

}  // namespace sondeco
