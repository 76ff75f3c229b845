#include "tools/decoded_output.h"

#include "rtcm/message_pages.h"
#include "rtcm/page_text.h"
#include "rtcm/text_format.h"

#include <cstdio>
#include <vector>

namespace sondeco {
namespace {

constexpr std::array<int, 8> BitRates{25, 50, 100, 110, 150, 200, 250, 300};

const char* boolean(bool value) { return value ? "true" : "false"; }

std::string jsonString(std::string_view bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Single-byte (Latin-1) characters become the Unicode characters of the same number.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text + "\"";
}

// The field reader over the frame's data words, as the page builders use it.
struct Fields {
    const RtcmFrame& frame;
    int bits(int start, int width) const { return getBits(frame.dataBits, start, width); }
    int signedBits(int start, int width) const { return getSignedBits(frame.dataBits, start, width); }
    bool bit(int position) const { return bits(position, 1) != 0; }
};

void appendCorrections(std::string& json, const Fields& f, bool glonass) {
    json += ",\"satellites\":[";
    const int entries = DataBitsPerWord * f.frame.frameLength / 40;
    for (int m = 0; m < entries; ++m) {
        const int b = 40 * m;
        const bool coarse = f.bit(b);
        const int id = f.bits(b + 3, 5);
        json += m > 0 ? ",{" : "{";
        json += "\"ident\":" + std::to_string(id == 0 ? 32 : id) + ",\"udre\":" + std::to_string(f.bits(b + 1, 2));
        if (glonass) {
            json += ",\"change\":" + std::string(boolean(f.bit(b + 32))) + ",\"tod\":" + std::to_string(f.bits(b + 33, 7));
        } else {
            json += ",\"iod\":" + std::to_string(f.bits(b + 32, 8));
        }
        // The not-available patterns mean "no value", not -655.36 m.
        json += ",\"prc\":" + (f.bits(b + 8, 16) == 0x8000 ? std::string("null") : fixed(f.signedBits(b + 8, 16) * (coarse ? 0.32 : 0.02), 3));
        json += ",\"rrc\":" + (f.bits(b + 24, 8) == 0x80 ? std::string("null") : fixed(f.signedBits(b + 24, 8) * (coarse ? 0.032 : 0.002), 3));
        json += "}";
    }
    json += "]";
}

void appendHealth(std::string& json, const Fields& f) {
    json += ",\"satellites\":[";
    for (int i = 0; i < f.frame.frameLength; ++i) {
        const int w = DataBitsPerWord * i;
        const int id = f.bits(w + 1, 5);
        const int carrierToNoise = f.bits(w + 10, 5);
        json += i > 0 ? ",{" : "{";
        json += "\"ident\":" + std::to_string(id == 0 ? 32 : id) + ",\"iodl\":" + boolean(f.bit(w + 6)) +
                ",\"health\":" + std::to_string(f.bits(w + 7, 3)) +
                ",\"snr\":" + std::to_string(carrierToNoise == 0 ? -1 : carrierToNoise + 24) +
                ",\"health_en\":" + boolean(f.bit(w + 15)) + ",\"new_data\":" + boolean(f.bit(w + 16)) +
                ",\"los_warning\":" + boolean(f.bit(w + 17)) + ",\"tou\":" + std::to_string(f.bits(w + 18, 4) * 5) + "}";
    }
    json += "]";
}

void appendAlmanac(std::string& json, const Fields& f) {
    json += ",\"satellites\":[";
    for (int j = 0; j < f.frame.frameLength / 3; ++j) {
        const int base = 72 * j;
        json += j > 0 ? ",{" : "{";
        json += "\"lat\":" + fixed(f.signedBits(base, 16) * 90.0 / 32767, 4) + ",\"lon\":" + fixed(f.signedBits(base + 16, 16) * 180.0 / 32767, 4) +
                ",\"range\":" + std::to_string(f.bits(base + 32, 10)) + ",\"frequency\":" + fixed(f.bits(base + 42, 12) * 0.1 + 190, 1) +
                ",\"health\":" + std::to_string(f.bits(base + 54, 2)) + ",\"station_id\":" + std::to_string(f.bits(base + 56, 10)) +
                ",\"bitrate\":" + std::to_string(BitRates[static_cast<std::size_t>(f.bits(base + 66, 3))]) + "}";
    }
    json += "]";
}

}  // namespace

std::string rtcm2Json(const RtcmFrame& frame, std::string_view device) {
    const Fields f{frame};
    std::string json = "{\"class\":\"RTCM2\",\"device\":" + jsonString(device) + ",\"type\":" + std::to_string(frame.messageType) +
                       ",\"station_id\":" + std::to_string(frame.stationId) + ",\"zcount\":" + fixed(frame.zCount * 0.6, 1) +
                       ",\"seqnum\":" + std::to_string(frame.sequenceNumber) + ",\"length\":" + std::to_string(frame.frameLength) +
                       ",\"station_health\":" + std::to_string(frame.stationHealth);
    switch (frame.messageType) {
    case 1:
    case 9:
        appendCorrections(json, f, false);
        break;
    case 31:
    case 34:
        appendCorrections(json, f, true);
        break;
    case 3:
    case 32:
        // A frame too short to hold the position carries none.
        if (frame.frameLength >= 4)
            json += ",\"x\":" + fixed(f.signedBits(0, 32) * 0.01, 2) + ",\"y\":" + fixed(f.signedBits(32, 32) * 0.01, 2) +
                    ",\"z\":" + fixed(f.signedBits(64, 32) * 0.01, 2);
        break;
    case 5:
    case 33:
        appendHealth(json, f);
        break;
    case 7:
    case 35:
        appendAlmanac(json, f);
        break;
    case 16: {
        std::string message;
        for (int k = 0; k < 3 * frame.frameLength; ++k) {
            const int code = f.bits(8 * k, 8);
            if (code == 0) break;
            message += static_cast<char>(code);
        }
        json += ",\"message\":" + jsonString(message);
        break;
    }
    case 6:  // the null frame: nothing but its header
        break;
    default: {
        json += ",\"data\":[";
        for (int w = 0; w < frame.frameLength; ++w) {
            char word[16];
            std::snprintf(word, sizeof word, "%s\"0x%06x\"", w > 0 ? "," : "", static_cast<unsigned>(f.bits(24 * w, 24)));
            json += word;
        }
        json += "]";
    }
    }
    return json + "}";
}

DecodedStreamWriter::DecodedStreamWriter(OutputFormat format, std::FILE* out, std::string device)
    : format_(format), out_(out), device_(std::move(device)) {}

void DecodedStreamWriter::write(std::string_view text) {
    if (failed_) return;
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size()) failed_ = true;
}

void DecodedStreamWriter::setStatusText(int panel, const std::string& text) {
    if (panel >= 0 && panel < StatusPanelCount) status_[static_cast<std::size_t>(panel)] = text;
}

void DecodedStreamWriter::headerAccepted(const RtcmFrame&) {
    if (format_ != OutputFormat::Frames) return;
    std::string line;
    for (std::size_t panel = 0; panel < status_.size(); ++panel) line += (panel > 0 ? " | " : "") + status_[panel];
    write(line + "\n");
}

void DecodedStreamWriter::frameCompleted(const RtcmFrame& frame) {
    if (format_ == OutputFormat::Json) {
        write(rtcm2Json(frame, device_) + "\n");
    } else if (format_ == OutputFormat::Rtcm) {
        // Parity and the D30* inversion are recomputed across our own output stream.
        RtcmHeader header;
        header.messageType = frame.messageType;
        header.stationId = frame.stationId;
        header.zCount = frame.zCount;
        header.sequenceNumber = frame.sequenceNumber;
        header.stationHealth = frame.stationHealth;
        std::vector<std::uint32_t> words(static_cast<std::size_t>(frame.frameLength));
        for (std::size_t w = 0; w < words.size(); ++w)
            words[w] = static_cast<std::uint32_t>(getBits(frame.dataBits, static_cast<int>(24 * w), 24));
        std::vector<std::uint8_t> bits;
        encoder_.appendFrameBits(header, words, bits);
        for (std::uint8_t bit : bits) serial_.pushBit(bit);
        write(serial_.takeBytes());
    }
}

void DecodedStreamWriter::pagePublished(int page, const std::string& text) {
    if (format_ != OutputFormat::Pages || page < 0 || page >= PageCount) return;
    write("=== Msg #" + std::to_string(PageTypes[static_cast<std::size_t>(page)]) + "\n" + normaliseLineEnds(text) + "\n");
}

}  // namespace sondeco
