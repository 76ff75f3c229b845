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
#include <limits>
#include <vector>

namespace sondeco {
namespace {

using testing::scratchPath;

// A slow spiral of every magnitude up to full scale, then values past it on all sides.
std::vector<std::complex<float>> testSamples() {
    std::vector<std::complex<float>> samples;
    for (int n = 0; n < 4000; ++n) samples.push_back(std::polar(static_cast<float>(n) / 4000.0f, 0.037f * static_cast<float>(n)));
    for (float value : {1.0f, -1.0f, 1.5f, -1.5f, 40.0f, -1e30f}) samples.emplace_back(value, -value);
    return samples;
}

// What a format holds of a value: floats all of it, integers up to their ends.
float held(float value, bool isFloat, float highest) { return isFloat ? value : std::clamp(value, -1.0f, highest); }

TEST(IqEncoding, EveryRawFormatReadsBackWithinHalfAStepAndSaturatesBeyondFullScale) {
    struct Case {
        IqFormat format;
        float step;  // between codes, at full scale 1
        float highest;  // the largest value an integer format holds
        float middle;  // what not-a-number becomes
    };
    const auto samples = testSamples();
    for (const Case& c :
         {Case{IqFormat::Cu8, 1.0f / 127.5f, 1.0f, 0.5f / 127.5f}, Case{IqFormat::Cs8, 1.0f / 128.0f, 127.0f / 128.0f, 0.0f},
          Case{IqFormat::Cs16, 1.0f / 32768.0f, 32767.0f / 32768.0f, 0.0f}, Case{IqFormat::Cf32, 0.0f, 0.0f, 0.0f}}) {
        std::vector<unsigned char> bytes(samples.size() * static_cast<std::size_t>(bytesPerIqSample(c.format)));
        encodeIqSamples(c.format, samples.data(), samples.size(), bytes.data());
        std::vector<std::complex<float>> back(samples.size());
        decodeIqSamples(c.format, bytes.data(), samples.size(), back.data());
        for (std::size_t n = 0; n < samples.size(); ++n) {
            const float tolerance = c.step / 2.0f + 1e-7f;
            const bool isFloat = c.format == IqFormat::Cf32;
            ASSERT_NEAR(back[n].real(), held(samples[n].real(), isFloat, c.highest), tolerance) << static_cast<int>(c.format) << " " << n;
            ASSERT_NEAR(back[n].imag(), held(samples[n].imag(), isFloat, c.highest), tolerance) << static_cast<int>(c.format) << " " << n;
        }
        // Not a number is no number a converter makes: it becomes the code nearest zero.
        if (c.format != IqFormat::Cf32) {
            const std::complex<float> nan(std::numeric_limits<float>::quiet_NaN(), 0.0f);
            encodeIqSamples(c.format, &nan, 1, bytes.data());
            decodeIqSamples(c.format, bytes.data(), 1, back.data());
            EXPECT_NEAR(back[0].real(), c.middle, 1e-7f) << static_cast<int>(c.format);
        }
    }
    // The byte layouts the other programs expect: rtl_sdr's offset binary, little-endian words.
    const std::complex<float> sample(1.0f, -0.5f);
    unsigned char bytes[8];
    encodeIqSamples(IqFormat::Cu8, &sample, 1, bytes);
    EXPECT_EQ(bytes[0], 255);
    EXPECT_EQ(bytes[1], 64);  // 127.5 - 63.75, rounded
    encodeIqSamples(IqFormat::Cs16, &sample, 1, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 4), (std::vector<unsigned char>{0xFF, 0x7F, 0x00, 0xC0}));
    encodeIqSamples(IqFormat::Cf32, &sample, 1, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 8), (std::vector<unsigned char>{0, 0, 0x80, 0x3F, 0, 0, 0, 0xBF}));
}

TEST(IqEncoding, TwoChannelWavFilesOfEachSampleFormatReadBackAsIq) {
    const auto samples = testSamples();
    std::vector<float> interleaved;
    for (const auto& sample : samples) {
        interleaved.push_back(sample.real());
        interleaved.push_back(sample.imag());
    }
    struct Case {
        WavSampleFormat format;
        float step;
        float highest;
    };
    for (const Case& c : {Case{WavSampleFormat::Pcm16, 1.0f / 32768.0f, 32767.0f / 32768.0f}, Case{WavSampleFormat::Pcm32, 1e-7f, 1.0f},
                          Case{WavSampleFormat::Float, 0.0f, 0.0f}}) {
        const auto path = scratchPath("iq.wav");
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path.string(), 2, 2400000, error, c.format)) << error;
        ASSERT_TRUE(writer.writeFrames(interleaved.data(), 1000));
        ASSERT_TRUE(writer.writeFrames(interleaved.data() + 2000, samples.size() - 1000));
        ASSERT_TRUE(writer.close(error)) << error;

        IqInput input;
        ASSERT_TRUE(input.openFile(path.string(), error)) << error;
        EXPECT_EQ(input.sampleRate(), 2400000);
        std::vector<std::complex<float>> back(samples.size() + 10);
        ASSERT_EQ(input.read(back), samples.size());
        for (std::size_t n = 0; n < samples.size(); ++n) {
            // Huge floats are left as they are by the file; the reader keeps them finite.
            const bool isFloat = c.format == WavSampleFormat::Float;
            if (isFloat && std::abs(samples[n].real()) > 1.5f) continue;
            const float tolerance = c.step / 2.0f + 1e-7f;
            ASSERT_NEAR(back[n].real(), held(samples[n].real(), isFloat, c.highest), tolerance) << static_cast<int>(c.format) << " " << n;
            ASSERT_NEAR(back[n].imag(), held(samples[n].imag(), isFloat, c.highest), tolerance) << static_cast<int>(c.format) << " " << n;
        }
    }
}

}  // namespace
}  // namespace sondeco
