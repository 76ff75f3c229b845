// The audio paths for real: a PulseAudio server of the test's own (scripts/with-test-pulseaudio), tones
// played into its null sinks with paplay, PortAudio capturing their monitors, and the monitor output
// recorded with parec. Capture, a device switch in the device dialog, and "Monitor" are checked on
// what actually arrives.
#include "tests/app/app_fixture.h"

#include "app/Unit8.h"
#include "audio/portaudio_backend.h"
#include "audio/wav_file.h"

#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QPushButton>

#include <cmath>
#include <fstream>
#include <cstdlib>
#include <numbers>

namespace sondeco::testing {
namespace {

constexpr double Amplitude = 8000.0;

struct Measured {
    double rms = 0;
    double hz = 0;
};

// Level and frequency (from rising zero crossings) of a stretch of samples at 48000 Hz.
template <typename Samples>
Measured measure(const Samples& samples, std::size_t count, std::size_t stride = 1, std::size_t offset = 0) {
    double sum = 0;
    int rising = 0;
    double previous = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double v = samples[offset + n * stride];
        sum += v * v;
        if (n > 0 && previous < 0 && v >= 0) ++rising;
        previous = v;
    }
    return {std::sqrt(sum / static_cast<double>(count)), rising * 48000.0 / static_cast<double>(count)};
}

class AudioEndToEnd : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run this test through scripts/with-test-pulseaudio";
    }
    void TearDown() override {
        for (auto& player : players_) {
            player->kill();
            player->waitForFinished();
        }
        AppFixture::TearDown();
    }

    // Plays 20 s of a tone on the left channel (silence on the right) into a sink.
    void playTone(const char* sink, double hz) {
        const std::string file = (directory / (std::string(sink) + ".wav")).string();
        WavWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file, 2, 48000, error)) << error;
        std::vector<std::int16_t> frames(2 * 20 * 48000);
        for (std::size_t n = 0; n < frames.size() / 2; ++n)
            frames[2 * n] = static_cast<std::int16_t>(Amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / 48000));
        ASSERT_TRUE(writer.writeFrames(frames.data(), frames.size() / 2));
        ASSERT_TRUE(writer.close(error)) << error;
        auto player = std::make_unique<QProcess>();
        player->start(QStringLiteral("paplay"), {QStringLiteral("--device=%1").arg(sink), QString::fromStdString(file)});
        ASSERT_TRUE(player->waitForStarted());
        players_.push_back(std::move(player));
    }

    void startProgram() {
        portAudio_ = std::make_unique<PortAudioBackend>();
        ASSERT_TRUE(portAudio_->initialised());
        AppEnvironment env = environment();
        env.audio = portAudio_.get();
        start(std::move(env));
        ASSERT_TRUE(form1->captureOpen()) << (messages.empty() ? "" : messages[0].text.toStdString());
    }

    // Waits for a captured buffer whose left channel carries a full-level tone and returns it.
    Measured waitForTone(double hz) {
        Measured last;
        waitFor(
            [&] {
                if (form1->processedBuffers() == 0) return false;
                last = measure(form1->InputSamples()[0], FramesPerBuffer);
                return last.rms > 0.9 * Amplitude / std::sqrt(2.0) && std::fabs(last.hz - hz) < 30;
            },
            10000);
        return last;
    }

    std::unique_ptr<PortAudioBackend> portAudio_;
    std::vector<std::unique_ptr<QProcess>> players_;
};

TEST_F(AudioEndToEnd, CaptureSwitchOfDeviceAndMonitor) {
    playTone("beacon", 1000.0);
    playTone("second", 1500.0);
    startProgram();

    // The default input records what is played into "beacon".
    Measured tone = waitForTone(1000.0);
    EXPECT_NEAR(tone.rms, Amplitude / std::sqrt(2.0), 0.05 * Amplitude);
    EXPECT_NEAR(tone.hz, 1000.0, 20.0);
    double rightPeak = 0;
    for (double v : form1->InputSamples()[1]) rightPeak = std::max(rightPeak, std::fabs(v));
    EXPECT_LT(rightPeak, 50.0);  // the right channel stays the right channel

    // Choose the other source in the device dialog: capture restarts on it.
    TForm8* form8 = form1->Form8;
    const int second = form8->findDeviceIndex("sondeco_second");
    ASSERT_GT(second, 0) << "the test's ALSA device is not listed";
    form8->show();
    form8->ComboBox1->setCurrentIndex(second);
    form8->Button1->click();
    EXPECT_EQ(form1->WaveInName, "sondeco_second");
    ASSERT_TRUE(form1->captureOpen());
    tone = waitForTone(1500.0);
    EXPECT_NEAR(tone.hz, 1500.0, 20.0) << "capture did not move to the second source";

    // Monitor on: the captured left channel goes to the default output ("beacon") on both channels.
    players_.front()->kill();  // nothing else plays into "beacon" now
    players_.front()->waitForFinished();
    QProcess recorder;
    const QString recording = QString::fromStdString((directory / "monitor.raw").string());
    form1->SpeedButton3->click();
    recorder.start(QStringLiteral("parec"), {QStringLiteral("--device=beacon.monitor"), QStringLiteral("--format=s16le"),
                                             QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"), QStringLiteral("--raw"),
                                             recording});
    ASSERT_TRUE(recorder.waitForStarted());
    waitFor([] { return false; }, 3000);  // keep capturing and monitoring for 3 s
    recorder.terminate();
    recorder.waitForFinished();

    QFile file(recording);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const auto* samples = reinterpret_cast<const std::int16_t*>(bytes.constData());
    const std::size_t frames = static_cast<std::size_t>(bytes.size()) / 4;
    ASSERT_GT(frames, 48000u) << "parec recorded less than a second";
    // The last second of the recording: monitored audio, the same tone on both channels.
    const Measured left = measure(samples, 48000, 2, 2 * (frames - 48000));
    const Measured right = measure(samples, 48000, 2, 2 * (frames - 48000) + 1);
    EXPECT_NEAR(left.hz, 1500.0, 20.0);
    EXPECT_NEAR(right.hz, 1500.0, 20.0);
    EXPECT_GT(left.rms, 0.5 * Amplitude / std::sqrt(2.0));
    EXPECT_NEAR(right.rms, left.rms, 0.05 * left.rms);
}

// Runs a command of the test's sound server and returns its first output line.
std::string pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished();
    return QString::fromUtf8(process.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0).trimmed().toStdString();
}

TEST_F(AudioEndToEnd, ASourceThatVanishesAndReturnsCanBeChosenAgain) {
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nWaveInName=sondeco_second\r\n";
    playTone("second", 1500.0);
    startProgram();
    ASSERT_EQ(form1->WaveInIndex, form1->Form8->findDeviceIndex("sondeco_second"));
    ASSERT_NEAR(waitForTone(1500.0).hz, 1500.0, 20.0);

    // Unplugged: the sink and its monitor source go away under the running stream.
    QProcess modules;
    modules.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("pactl list short modules | grep 'sink_name=second' | cut -f1")});
    modules.waitForFinished();
    const QString module = QString::fromUtf8(modules.readAllStandardOutput()).trimmed();
    ASSERT_FALSE(module.isEmpty());
    pactl({QStringLiteral("unload-module"), module});
    // PulseAudio moves the orphaned recording to another source or ends it; either way the program
    // runs on and keeps handling whatever arrives.
    waitFor([] { return false; }, 2000);
    EXPECT_TRUE(form1->captureOpen());

    // Plugged in again, and chosen again in the device dialog (another device, then this one): capture
    // works as before.
    pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=second"), QStringLiteral("rate=48000")});
    playTone("second", 1200.0);
    for (const char* device : {"Default input device", "sondeco_second"}) {
        form1->Form8->show();
        form1->Form8->ComboBox1->setCurrentIndex(form1->Form8->findDeviceIndex(device));
        form1->Form8->Button1->click();
        ASSERT_TRUE(form1->captureOpen()) << device;
    }
    EXPECT_EQ(form1->WaveInName, "sondeco_second");
    EXPECT_NEAR(waitForTone(1200.0).hz, 1200.0, 20.0) << "capture did not come back";
}

// The real program, started as a user starts it: SIGTERM closes its main window as the close box does,
// so the settings file beside the executable is written, and it exits with status 0.
TEST_F(AudioEndToEnd, TheProgramClosesOnSigtermAndSavesItsSettings) {
    const auto program = directory / "sondeco";
    std::filesystem::copy_file(SONDECO_PROGRAM, program);
    const std::string recording = (directory / "tone.wav").string();
    {
        WavWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(recording, 1, 48000, error));
        std::vector<std::int16_t> tone(48000);
        for (std::size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<std::int16_t>(4000 * std::sin(n * 0.1));
        ASSERT_TRUE(writer.writeFrames(tone.data(), tone.size()));
        ASSERT_TRUE(writer.close(error));
    }
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nDecFreqPos=66\r\n";
    QProcess sondeco;
    sondeco.setProcessChannelMode(QProcess::ForwardedChannels);
    sondeco.start(QString::fromStdString(program.string()), {QStringLiteral("--input"), QString::fromStdString(recording)});
    ASSERT_TRUE(sondeco.waitForStarted());
    waitFor([] { return false; }, 2500);  // running: the file is being decoded
    ASSERT_EQ(sondeco.state(), QProcess::Running);
    sondeco.terminate();  // SIGTERM
    ASSERT_TRUE(sondeco.waitForFinished(10000));
    EXPECT_EQ(sondeco.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sondeco.exitCode(), 0);
    std::ifstream saved(directory / "sondeco.ini");
    const std::string text{std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("MainWidth="), std::string::npos) << text;
    EXPECT_NE(text.find("DecFreqPos=66"), std::string::npos) << text;
    EXPECT_NE(text.find("WaveInName=Default input device"), std::string::npos) << text;  // not the file
}

}  // namespace
}  // namespace sondeco::testing
