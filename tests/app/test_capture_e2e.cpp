// The whole capture path for real: a PulseAudio server of the test's own (scripts/with-test-pulseaudio),
// a tone played into its null sink with paplay, PortAudio recording the sink's monitor as the default
// input, and the main window's processCaptureBuffer converting what arrives.
#include "app_fixture.h"

#include "portaudio_backend.h"
#include "wav_file.h"

#include <QProcess>

#include <cmath>
#include <cstdlib>
#include <numbers>

namespace sondeco::testing {
namespace {

constexpr double ToneHz = 1000.0;
constexpr double ToneAmplitude = 8000.0;

class RealCapture : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run this test through scripts/with-test-pulseaudio";
    }

    // 4 s of a tone on the left channel, silence on the right.
    std::string writeTone() {
        const std::string file = (directory / "tone.wav").string();
        WavWriter writer;
        std::string error;
        EXPECT_TRUE(writer.open(file, 2, 48000, error)) << error;
        std::vector<std::int16_t> frames(2 * 4 * 48000);
        for (std::size_t n = 0; n < frames.size() / 2; ++n)
            frames[2 * n] = static_cast<std::int16_t>(ToneAmplitude * std::sin(2 * std::numbers::pi * ToneHz * static_cast<double>(n) / 48000));
        EXPECT_TRUE(writer.writeFrames(frames.data(), frames.size() / 2));
        EXPECT_TRUE(writer.close(error)) << error;
        return file;
    }
};

TEST_F(RealCapture, ToneThroughPulseAudioReachesInputSamples) {
    PortAudioBackend portAudio;
    ASSERT_TRUE(portAudio.initialised());
    AppEnvironment env = environment();
    env.audio = &portAudio;
    start(std::move(env));
    ASSERT_TRUE(form1->captureOpen()) << (messages.empty() ? "" : messages[0].text.toStdString());

    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=beacon"), QString::fromStdString(writeTone())});
    ASSERT_TRUE(player.waitForStarted());

    // Wait for a buffer that is all tone (the first ones hold the silence before paplay started).
    double rms = 0;
    int crossings = 0;
    double rightPeak = 0;
    const bool gotTone = waitFor(
        [&] {
            if (form1->processedBuffers() == 0) return false;
            const auto& left = form1->InputSamples()[0];
            double sum = 0;
            int rising = 0;
            for (std::size_t n = 0; n < left.size(); ++n) {
                sum += left[n] * left[n];
                if (n > 0 && left[n - 1] < 0 && left[n] >= 0) ++rising;
            }
            rms = std::sqrt(sum / static_cast<double>(left.size()));
            crossings = rising;
            rightPeak = 0;
            for (double v : form1->InputSamples()[1]) rightPeak = std::max(rightPeak, std::fabs(v));
            return rms > 0.9 * ToneAmplitude / std::sqrt(2.0);
        },
        8000);
    player.kill();
    player.waitForFinished();
    ASSERT_TRUE(gotTone) << "no buffer carried the tone; last RMS " << rms << " after " << form1->processedBuffers() << " buffers";
    EXPECT_NEAR(rms, ToneAmplitude / std::sqrt(2.0), 0.05 * ToneAmplitude);
    EXPECT_NEAR(crossings, 100, 2);  // 1000 Hz over 100 ms
    EXPECT_LT(rightPeak, 50.0);      // the right channel stays the right channel
}

}  // namespace
}  // namespace sondeco::testing
