#include "output/decoded_output.h"

#include "output/status_panels.h"
#include "rtcm/json_format.h"
#include "rtcm/message_registry.h"
#include "rtcm/page_text.h"

namespace sondeco {

OutputFormatter::OutputFormatter(OutputFormat format, std::string device) : format_(format), device_(std::move(device)) {}

void OutputFormatter::headerAccepted(const RtcmFrame& frame, std::string& out) const {
    if (format_ != OutputFormat::Frames) return;
    const auto panels = statusPanelTexts(frame);
    for (std::size_t panel = 0; panel < panels.size(); ++panel) {
        if (panel > 0) out += " | ";
        out += panels[panel];
    }
    out += '\n';
}

void OutputFormatter::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message, std::string& out) {
    if (format_ == OutputFormat::Json) {
        appendRtcm2Json(frame, message, device_, out);
        out += '\n';
    } else if (format_ == OutputFormat::Rtcm) {
        // Parity and the D30* inversion are recomputed across our own output stream.
        RtcmHeader header;
        header.messageType = frame.messageType;
        header.stationId = frame.stationId;
        header.zCount = frame.zCount;
        header.sequenceNumber = frame.sequenceNumber;
        header.stationHealth = frame.stationHealth;
        bits_.clear();
        encoder_.appendFrameBits(header, message.dataWords, bits_);
        for (std::uint8_t bit : bits_) serial_.pushBit(bit);
        out += serial_.takeBytes();
    }
}

void OutputFormatter::pagePublished(int page, const std::string& text, std::string& out) const {
    if (format_ != OutputFormat::Pages || page < 0 || page >= PageCount) return;
    out += "=== Msg #" + std::to_string(PageTypes[static_cast<std::size_t>(page)]) + "\n" + normaliseLineEnds(text) + "\n";
}

DecodedStreamWriter::DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device)
    : formatter_(format, std::move(device)), out_(out) {}

void DecodedStreamWriter::flushText() {
    if (!failed_ && !text_.empty() && std::fwrite(text_.data(), 1, text_.size(), out_) != text_.size()) failed_ = true;
    text_.clear();
}

void DecodedStreamWriter::headerAccepted(const RtcmFrame& frame) {
    formatter_.headerAccepted(frame, text_);
    flushText();
}

void DecodedStreamWriter::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    formatter_.frameCompleted(frame, message, text_);
    flushText();
}

void DecodedStreamWriter::pagePublished(int page, const std::string& text) {
    formatter_.pagePublished(page, text, text_);
    flushText();
}

}  // namespace sondeco
