// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bytes as the RTCM 6-of-8 stream that `sondeco-decode --rtcm` reads, decoded once
// with all four output formats written side by side. Besides never crashing, two properties must hold:
// - the stream decodes to the same frames whether it arrives whole or in pieces (a pipe delivers
//   whatever it has; a '#' comment line may be cut anywhere);
// - the RTCM output, decoded again, gives back exactly the frames it was made from: parity and the
//   data inversion are recomputed across our own stream, and a GPS receiver must be able to lock on it.
//
// The last few bytes of an input choose the options (FuzzedDataProvider takes numbers from the end),
// so a plain capture file is a useful seed as it is.

#include "output/decoded_output.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sondeco;

// What a completed frame carries, data words past its length left out (they are stale by design).
struct FrameSummary {
    int type, station, zCount, sequence, length, health;
    std::array<int, MaxDataWords> words{};
    bool operator==(const FrameSummary&) const = default;
};

FrameSummary summarise(const RtcmFrame& frame, const DecodedMessage& message) {
    FrameSummary summary{
        frame.messageType, frame.stationId, frame.zCount, frame.sequenceNumber, frame.frameLength, frame.stationHealth, {}};
    for (std::size_t w = 0; w < message.dataWords.size() && w < summary.words.size(); ++w)
        summary.words[w] = static_cast<int>(message.dataWords[w]);
    return summary;
}

// Checks and keeps what the decoder and the pages report.
class FrameChecker final : public DecoderListener, public PageListener {
public:
    std::vector<FrameSummary> frames;
    int headers = 0;
    int pages = 0;

    void headerAccepted(const RtcmFrame&) override { ++headers; }
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        FUZZ_CHECK(frame.messageType >= 0 && frame.messageType <= 63);
        FUZZ_CHECK(frame.stationId >= 0 && frame.stationId <= 1023);
        FUZZ_CHECK(frame.frameLength >= 0 && frame.frameLength <= MaxDataWords);
        FUZZ_CHECK(message.dataWords.size() == static_cast<std::size_t>(frame.frameLength));
        frames.push_back(summarise(frame, message));
    }
    void pagePublished(int page, const std::string&) override {
        FUZZ_CHECK(page >= 0 && page < PageCount);
        ++pages;
    }
};

std::vector<FrameSummary> decodeSerial(std::string_view stream) {
    FrameChecker checker;
    Receiver receiver;
    receiver.addListener(checker);
    receiver.pushRtcmBytes(stream);
    return std::move(checker.frames);
}

// The same stream one bit at a time, as the demodulator hands bits over: the word layer takes a
// byte's six bits at once for speed, and must find exactly the same frames either way.
std::vector<FrameSummary> decodeBitByBit(std::string_view stream) {
    FrameChecker checker;
    RtcmDecoder decoder;
    decoder.addListener(checker);
    SerialCaptureReader().feed(stream, [&decoder](std::uint8_t bit) { decoder.pushBit(bit); });
    return std::move(checker.frames);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto failingFormat = input.ConsumeIntegralInRange<int>(0, 4);  // 4: every output works
    auto pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    const std::string stream = input.ConsumeRemainingBytesAsString();

    // The RTCM output goes to memory, to be decoded again below; the others are thrown away.
    char* rtcmBytes = nullptr;
    std::size_t rtcmSize = 0;
    std::FILE* rtcmOutput = open_memstream(&rtcmBytes, &rtcmSize);
    FUZZ_CHECK(rtcmOutput != nullptr);

    constexpr std::array<OutputFormat, 4> Formats{OutputFormat::Pages, OutputFormat::Frames, OutputFormat::Json, OutputFormat::Rtcm};
    std::vector<DecodedStreamWriter> writers;
    writers.reserve(Formats.size());
    for (std::size_t f = 0; f < Formats.size(); ++f) {
        std::FILE* out = Formats[f] == OutputFormat::Rtcm ? rtcmOutput : fuzzing::discardingOutput();
        if (static_cast<int>(f) == failingFormat) out = fuzzing::failingOutput();
        writers.emplace_back(Formats[f], out, "fuzz \"input\"\n");
    }

    // As four runs of sondeco-decode would see the stream, side by side.
    FrameChecker view;
    {
        Receiver receiver;
        MessagePages pages(fixedClock);
        receiver.addListener(pages);
        receiver.addListener(view);
        pages.addListener(view);
        for (auto& writer : writers) {
            receiver.addListener(writer);
            pages.addListener(writer);
        }
        receiver.pushRtcmBytes(stream);
        receiver.finishAudio();  // no audio was pushed: must do nothing
    }
    // A writer whose output failed says so once it has tried to write, and only then: the pages
    // format writes per page, the frames format per header, the others per frame.
    for (std::size_t f = 0; f < writers.size(); ++f) {
        const bool wrote = Formats[f] == OutputFormat::Pages    ? view.pages > 0
                           : Formats[f] == OutputFormat::Frames ? view.headers > 0
                                                                : !view.frames.empty();
        FUZZ_CHECK(writers[f].failed() == (wrote && static_cast<int>(f) == failingFormat));
    }

    // The same bytes in pieces of every size, boundaries taken from the input.
    {
        FrameChecker pieces;
        Receiver receiver;
        receiver.addListener(pieces);
        std::string_view rest = stream;
        while (!rest.empty()) {
            pieceSeed = pieceSeed * 1103515245u + 12345u;
            const std::size_t length = std::min<std::size_t>(rest.size(), (pieceSeed >> 16) % 97);
            receiver.pushRtcmBytes(rest.substr(0, length));
            rest.remove_prefix(length);
        }
        FUZZ_CHECK(pieces.frames == view.frames);
    }
    FUZZ_CHECK(decodeBitByBit(stream) == view.frames);

    std::fclose(rtcmOutput);
    const std::string rtcm(rtcmBytes, rtcmSize);
    std::free(rtcmBytes);
    if (failingFormat != 3) {
        // Five 6-bit bytes a 30-bit word, two header words a frame.
        std::size_t words = 0;
        for (const auto& frame : view.frames) words += 2 + static_cast<std::size_t>(frame.length);
        FUZZ_CHECK(rtcm.size() == 5 * words);
        FUZZ_CHECK(decodeSerial(rtcm) == view.frames);
    }
    return 0;
}
