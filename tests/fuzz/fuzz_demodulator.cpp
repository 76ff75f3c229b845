// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any audio through the demodulator, buffer by buffer, retuned between buffers as the
// user may at any moment (centre frequency 500..1000 Hz, either bit rate). The input's bytes are the
// samples, repeated to fill the 4800-sample buffers, so a short input is a periodic signal. Three ways
// in: 16-bit samples as the sound card gives them; raw doubles, so that huge values, infinities and
// NaN reach the filters too; and 16-bit frames of any channel count through Receiver::pushAudio
// in pieces, as sondeco-decode feeds it.
//
// Beyond never crashing, for 16-bit audio:
// - every output for the displays is finite, and the frequency trace stays within what the phase
//   detector can measure (a wrapped phase step never exceeds half a turn);
// - the bits handed over are 0 or 1 and match the bit marks one for one;
// - a copy of the demodulator taken between buffers gives bit-for-bit the same output as the
//   original (its whole state is in the object: the eye pattern and the tests depend on that).

#include "demod/demodulator.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

using namespace sondeco;

using Buffer = std::array<double, Demodulator::InputSamplesPerBuffer>;

class BitCounter final : public BitSink {
public:
    std::vector<std::uint8_t> bits;
    void pushBit(std::uint8_t bit) override {
        FUZZ_CHECK(bit == 0 || bit == 1);
        bits.push_back(bit);
    }
};

// A window that shows the type 9 page, so that page texts are built and shown as the program does.
class ShowingView final : public PageView {
public:
    int selectedPage() const override { return 4; }
    void showPageText(const std::string&) override {}
    void setTabCaptions(const std::array<std::string, PageCount>&) override {}
};

// The input bytes as an endless tape of samples.
class SampleTape {
public:
    explicit SampleTape(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::int16_t nextInt16() {
        if (bytes_.size() < 2) return 0;
        const auto value = static_cast<std::int16_t>(bytes_[position_] | bytes_[(position_ + 1) % bytes_.size()] << 8);
        position_ = (position_ + 2) % bytes_.size();
        return value;
    }
    double nextDouble() {
        if (bytes_.size() < sizeof(double)) return 0.0;
        std::array<std::uint8_t, sizeof(double)> raw;
        for (auto& byte : raw) {
            byte = bytes_[position_];
            position_ = (position_ + 1) % bytes_.size();
        }
        double value;
        std::memcpy(&value, raw.data(), sizeof value);
        return value;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

void retune(Demodulator& demodulator, std::uint8_t choice) {
    if (choice & 1u) demodulator.tuneCenterFrequency(50 + (choice >> 2) % 51);
    if (choice & 2u) demodulator.tuneBitRate(!(demodulator.tuning().resonatorFrequency > 150.0));
}

bool sameBits(const auto& a, const auto& b) { return std::memcmp(a.data(), b.data(), sizeof a) == 0; }

void checkOutputs(const Demodulator& demodulator, const BitCounter& sink, std::size_t bitsBefore) {
    const auto& marks = demodulator.BitMarks();
    FUZZ_CHECK(sink.bits.size() - bitsBefore == static_cast<std::size_t>(std::accumulate(marks.begin(), marks.end(), 0)));
    // |raw step| <= pi + the reference step, through a filter whose gain is at most its taps' sum.
    const auto& taps = demodulator.tuning().dataFilter;
    const double gain = std::accumulate(taps.begin(), taps.end(), 0.0, [](double sum, double tap) { return sum + std::fabs(tap); });
    const double limit = gain * (Pi + ReferenceIncrement) / (TwoPi * SamplePeriod) * (1 + 1e-9);
    for (std::size_t i = 0; i < marks.size(); ++i) {
        FUZZ_CHECK(marks[i] == 0 || marks[i] == 1);
        FUZZ_CHECK(std::isfinite(demodulator.MixedSamples()[i]));
        FUZZ_CHECK(std::fabs(demodulator.FrequencyTrace()[i]) <= limit);
    }
}

void demodulateInt16(FuzzedDataProvider& input, int buffers, Demodulator& demodulator) {
    std::vector<std::uint8_t> retunes;
    for (int b = 0; b < buffers; ++b) retunes.push_back(input.ConsumeIntegral<std::uint8_t>());
    SampleTape tape(input.ConsumeRemainingBytes<std::uint8_t>());
    BitCounter sink;
    Buffer samples;
    for (int b = 0; b < buffers; ++b) {
        retune(demodulator, retunes[static_cast<std::size_t>(b)]);
        for (double& sample : samples) sample = tape.nextInt16();
        const std::size_t bitsBefore = sink.bits.size();
        if (b + 1 < buffers) {
            demodulator.demodulateBuffer(samples, sink);
            checkOutputs(demodulator, sink, bitsBefore);
            continue;
        }
        // The last buffer twice: through the demodulator and through a copy of it.
        Demodulator copy = demodulator;
        Buffer copySamples = samples;
        BitCounter copySink;
        demodulator.demodulateBuffer(samples, sink);
        copy.demodulateBuffer(copySamples, copySink);
        checkOutputs(demodulator, sink, bitsBefore);
        FUZZ_CHECK(std::equal(sink.bits.begin() + static_cast<std::ptrdiff_t>(bitsBefore), sink.bits.end(), copySink.bits.begin(),
                              copySink.bits.end()));
        FUZZ_CHECK(sameBits(copy.FrequencyTrace(), demodulator.FrequencyTrace()));
        FUZZ_CHECK(sameBits(copy.MixedSamples(), demodulator.MixedSamples()));
        FUZZ_CHECK(copy.BitMarks() == demodulator.BitMarks());
    }
}

void demodulateDoubles(FuzzedDataProvider& input, int buffers, Demodulator& demodulator) {
    std::vector<std::uint8_t> retunes;
    for (int b = 0; b < buffers; ++b) retunes.push_back(input.ConsumeIntegral<std::uint8_t>());
    SampleTape tape(input.ConsumeRemainingBytes<std::uint8_t>());
    BitCounter sink;
    Buffer samples;
    for (int b = 0; b < buffers; ++b) {
        retune(demodulator, retunes[static_cast<std::size_t>(b)]);
        for (double& sample : samples) sample = tape.nextDouble();
        const std::size_t bitsBefore = sink.bits.size();
        demodulator.demodulateBuffer(samples, sink);
        // Out-of-range samples may wreck the signal, but never the bookkeeping.
        const auto& marks = demodulator.BitMarks();
        FUZZ_CHECK(sink.bits.size() - bitsBefore == static_cast<std::size_t>(std::accumulate(marks.begin(), marks.end(), 0)));
    }
}

void receiveFrames(FuzzedDataProvider& input, int buffers, int decFreqPos, bool decBitRate) {
    const int channels = input.ConsumeIntegralInRange<int>(1, 8);
    auto pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    SampleTape tape(input.ConsumeRemainingBytes<std::uint8_t>());

    ShowingView view;
    MessagePages pages(fixedClock, &view);
    Receiver receiver(ReceiverSettings::classic(decFreqPos, decBitRate));
    receiver.addListener(pages);
    // Up to the last frame of the last buffer, and a part buffer more for finishAudio to complete.
    const std::size_t total = static_cast<std::size_t>(buffers) * Demodulator::InputSamplesPerBuffer - 1234;
    std::vector<std::int16_t> audio(total * static_cast<std::size_t>(channels));
    for (auto& sample : audio) sample = tape.nextInt16();

    receiver.pushAudio(nullptr, 10, channels);  // nothing to read: ignored
    receiver.pushAudio(audio.data(), 10, 0);  // no channels: ignored
    FUZZ_CHECK(receiver.audioFrames() == 0);
    std::size_t done = 0;
    while (done < total) {
        pieceSeed = pieceSeed * 1103515245u + 12345u;
        const std::size_t frames = std::min<std::size_t>(total - done, (pieceSeed >> 8) % 6000);
        receiver.pushAudio(audio.data() + done * static_cast<std::size_t>(channels), frames, channels);
        done += frames;
    }
    receiver.finishAudio();
    FUZZ_CHECK(receiver.audioFrames() == total);
    FUZZ_CHECK(receiver.decoder().statistics().bits <= static_cast<std::uint64_t>(buffers) * Demodulator::DecimatedPerBuffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int way = input.ConsumeIntegralInRange<int>(0, 3);  // int16 twice as often as the others
    const int buffers = input.ConsumeIntegralInRange<int>(1, 3);
    const int decFreqPos = input.ConsumeIntegralInRange<int>(50, 100);
    const bool decBitRate = input.ConsumeBool();

    if (way == 3) {
        receiveFrames(input, buffers, decFreqPos, decBitRate);
        return 0;
    }
    Demodulator demodulator;
    demodulator.tuneCenterFrequency(decFreqPos);
    demodulator.tuneBitRate(decBitRate);
    if (way == 2) {
        demodulateDoubles(input, buffers, demodulator);
    } else {
        demodulateInt16(input, buffers, demodulator);
    }
    return 0;
}
