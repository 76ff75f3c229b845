// SPDX-License-Identifier: GPL-3.0-or-later
// IQ written the way the SDR programs write it reads back through our own readers: raw streams in
// every format, and two-channel WAV files in 16-bit, 32-bit and float.
#include "audio/iq_input.h"
#include "audio/raw_stream.h"
#include "audio/sound_file_writer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <limits>
#include <vector>

namespace sondeco {
namespace {

TEST(IqEncoding, EveryRawAndWavFormatReadsBackWithinHalfAStepAndIntegersSaturateBeyondFullScale) {
    // A slow spiral of every magnitude up to full scale, then values past it on all sides.
    std::vector<std::complex<float>> samples;
    for (int n = 0; n < 4000; ++n) samples.push_back(std::polar(static_cast<float>(n) / 4000.0f, 0.037f * static_cast<float>(n)));
    for (float value : {1.0f, -1.0f, 1.5f, -1.5f, 40.0f}) samples.emplace_back(value, -value);
    std::vector<float> interleaved;
    for (const auto& sample : samples) interleaved.insert(interleaved.end(), {sample.real(), sample.imag()});

    struct Case {
        std::optional<IqFormat> raw;  // or a WAV file of this sample format
        WavSampleFormat wav;
        float step, highest;  // between codes; the largest value an integer format holds (0: floats)
    };
    for (const Case& c : {Case{IqFormat::Cu8, {}, 1.0f / 127.5f, 1.0f}, Case{IqFormat::Cs8, {}, 1.0f / 128.0f, 127.0f / 128.0f},
                          Case{IqFormat::Cs16, {}, 1.0f / 32768.0f, 32767.0f / 32768.0f}, Case{IqFormat::Cf32, {}, 0.0f, 0.0f},
                          Case{{}, WavSampleFormat::Pcm16, 1.0f / 32768.0f, 32767.0f / 32768.0f},
                          Case{{}, WavSampleFormat::Pcm32, 1e-7f, 1.0f}, Case{{}, WavSampleFormat::Float, 0.0f, 0.0f}}) {
        std::vector<std::complex<float>> back(samples.size());
        if (c.raw) {
            std::vector<unsigned char> bytes(samples.size() * static_cast<std::size_t>(bytesPerIqSample(*c.raw)));
            encodeIqSamples(*c.raw, samples.data(), samples.size(), bytes.data());
            decodeIqSamples(*c.raw, bytes.data(), samples.size(), back.data());
        } else {
            const auto path = testing::scratchPath("iq.wav");
            SoundFileWriter writer;
            std::string error;
            ASSERT_TRUE(writer.open(path.string(), 2, 2400000, error, c.wav)) << error;
            ASSERT_TRUE(writer.writeFrames(interleaved.data(), 1000));
            ASSERT_TRUE(writer.writeFrames(interleaved.data() + 2000, samples.size() - 1000));
            ASSERT_TRUE(writer.close(error)) << error;
            IqInput input;
            ASSERT_TRUE(input.openFile(path.string(), error)) << error;
            EXPECT_EQ(input.sampleRate(), 2400000);
            ASSERT_EQ(input.read(back), samples.size());
            // The five values at or past full scale are clipped in an integer file; a float file has no end to its range.
            EXPECT_EQ(input.samplesRead(), samples.size());
            EXPECT_EQ(input.clippedSamples(), c.highest == 0.0f ? 0u : 5u);
        }
        const auto held = [&c](float value) { return c.highest == 0.0f ? value : std::clamp(value, -1.0f, c.highest); };
        for (std::size_t n = 0; n < samples.size(); ++n) {
            ASSERT_NEAR(back[n].real(), held(samples[n].real()), c.step / 2.0f + 1e-7f) << n;
            ASSERT_NEAR(back[n].imag(), held(samples[n].imag()), c.step / 2.0f + 1e-7f) << n;
        }
    }

    // rtl_sdr's codes 0 and 255 are its converter's ends: an overloaded receiver's clipping.
    const auto raw = testing::scratchPath("iq.cu8");
    const std::vector<unsigned char> codes{0, 128, 128, 255, 128, 128, 1, 254};
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(codes.data()), static_cast<std::streamsize>(codes.size()));
    IqInput rawInput;
    std::string error;
    ASSERT_TRUE(rawInput.openRaw(raw.string(), IqFormat::Cu8, 250000, error)) << error;
    std::vector<std::complex<float>> four(4);
    ASSERT_EQ(rawInput.read(four), 4u);
    EXPECT_EQ(rawInput.clippedSamples(), 2u);

    // The byte layouts the other programs expect: rtl_sdr's offset binary, little-endian words; not
    // a number, which no converter makes, as the code nearest zero.
    const std::complex<float> sample(1.0f, -0.5f), nan(std::numeric_limits<float>::quiet_NaN(), 0.0f);
    unsigned char bytes[8];
    encodeIqSamples(IqFormat::Cu8, &sample, 1, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 2), (std::vector<unsigned char>{255, 64}));
    encodeIqSamples(IqFormat::Cs16, &sample, 1, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 4), (std::vector<unsigned char>{0xFF, 0x7F, 0x00, 0xC0}));
    encodeIqSamples(IqFormat::Cf32, &sample, 1, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 8), (std::vector<unsigned char>{0, 0, 0x80, 0x3F, 0, 0, 0, 0xBF}));
    encodeIqSamples(IqFormat::Cs8, &nan, 1, bytes);
    EXPECT_EQ(bytes[0], 0);
    encodeIqSamples(IqFormat::Cu8, &nan, 1, bytes);
    EXPECT_EQ(bytes[0], 128);
}

}  // namespace
}  // namespace sondeco
