// SPDX-License-Identifier: GPL-3.0-or-later
// The audio paths for real: a PulseAudio server of the test's own (scripts/with-test-pulseaudio), tones
// played into its null sinks with paplay, PortAudio capturing their monitors, and the monitor output
// recorded with parec. Capture, a device switch in the device dialog, and "Monitor" are checked on
// what actually arrives.
#include "tests/app/app_fixture.h"

#include "app/Unit8.h"
#include "audio/portaudio_backend.h"
#include "audio/sound_file_writer.h"
#include "tests/output/feed_support.h"

#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QPushButton>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The last second of a raw 16-bit stereo recording at 48000 Hz that may still be growing, measured
// channel by channel; nothing while the recording is shorter than that.
struct StereoMeasured {
    Measured left, right;
};
std::optional<StereoMeasured> lastSecondOf(const QString& path) {
    constexpr qint64 SecondBytes = 48000 * 4;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const qint64 whole = file.size() / 4 * 4;  // parec may be half-way through a frame
    if (whole < SecondBytes || !file.seek(whole - SecondBytes)) return std::nullopt;
    const QByteArray bytes = file.read(SecondBytes);
    if (bytes.size() != SecondBytes) return std::nullopt;
    const auto* samples = reinterpret_cast<const std::int16_t*>(bytes.constData());
    return StereoMeasured{measure(samples, 48000, 2, 0), measure(samples, 48000, 2, 1)};
}

// True once process `pid` has a handler for signal `signalNumber` (its SigCgt mask in /proc).
bool catchesSignal(qint64 pid, int signalNumber) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signalNumber - 1)) & 1u;
    }
    return false;
}

// True once process `pid` has `path` open: the program opens the file it decodes when capture starts.
bool holdsOpen(qint64 pid, const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path wanted = std::filesystem::weakly_canonical(path, error);
    std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::error_code gone;  // a descriptor may close while we look
        if (std::filesystem::read_symlink(entry->path(), gone) == wanted) return true;
    }
    return false;
}

// True while the main thread of process `pid` sleeps in poll(), as an event loop waiting for events
// does (a message box's, for one). Where the kernel does not say, this is never true.
bool waitingForEvents(qint64 pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("poll") != std::string::npos;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
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
        SoundFileWriter writer;
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
    recorder.start(QStringLiteral("parec"),
                   {QStringLiteral("--device=beacon.monitor"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                    QStringLiteral("--channels=2"), QStringLiteral("--raw"), recording});
    ASSERT_TRUE(recorder.waitForStarted());
    // Keep capturing and monitoring until a whole second of the recording is monitored audio: the
    // same tone on both channels.
    const auto monitored = [](const StereoMeasured& lastSecond) {
        return std::fabs(lastSecond.left.hz - 1500.0) < 20.0 && std::fabs(lastSecond.right.hz - 1500.0) < 20.0 &&
               lastSecond.left.rms > 0.5 * Amplitude / std::sqrt(2.0) &&
               std::fabs(lastSecond.right.rms - lastSecond.left.rms) < 0.05 * lastSecond.left.rms;
    };
    const bool heard = waitFor(
        [&] {
            const auto lastSecond = lastSecondOf(recording);
            return lastSecond && monitored(*lastSecond);
        },
        20000);
    recorder.terminate();
    recorder.waitForFinished();

    const auto last = lastSecondOf(recording);
    ASSERT_TRUE(last) << "parec recorded less than a second";
    EXPECT_TRUE(heard) << "the monitor output never carried the captured tone";
    EXPECT_NEAR(last->left.hz, 1500.0, 20.0);
    EXPECT_NEAR(last->right.hz, 1500.0, 20.0);
    EXPECT_GT(last->left.rms, 0.5 * Amplitude / std::sqrt(2.0));
    EXPECT_NEAR(last->right.rms, last->left.rms, 0.05 * last->left.rms);
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
    modules.start(QStringLiteral("sh"),
                  {QStringLiteral("-c"), QStringLiteral("pactl list short modules | grep 'sink_name=second' | cut -f1")});
    modules.waitForFinished();
    const QString module = QString::fromUtf8(modules.readAllStandardOutput()).trimmed();
    ASSERT_FALSE(module.isEmpty());
    pactl({QStringLiteral("unload-module"), module});
    // PulseAudio moves the orphaned recording to another source, and buffers go on arriving, or it
    // ends it, and the program sees the stream fall silent; either way the program runs on.
    const std::uint64_t before = form1->processedBuffers();
    EXPECT_TRUE(waitFor([&] { return form1->processedBuffers() >= before + 10 || !form1->captureRunning(); }, 15000))
        << "capture neither went on nor was seen to stop";
    EXPECT_TRUE(form1->captureOpen());

    // Plugged in again, and chosen again in the device dialog (another device, then this one): capture
    // works as before.
    pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=second"),
           QStringLiteral("rate=48000")});
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

// The real program, started as a user starts it: SIGTERM, and SIGHUP (its terminal closed, a logout),
// close its main window as the close box does, so the settings file beside the executable is written,
// and it exits with status 0.
TEST_F(AudioEndToEnd, TheProgramClosesOnSigtermOrSighupAndSavesItsSettings) {
    const auto program = directory / "sondeco";
    std::filesystem::copy_file(SONDECO_PROGRAM, program);
    const std::string recording = (directory / "tone.wav").string();
    {
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(recording, 1, 48000, error));
        std::vector<std::int16_t> tone(48000);
        for (std::size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<std::int16_t>(4000 * std::sin(static_cast<double>(n) * 0.1));
        ASSERT_TRUE(writer.writeFrames(tone.data(), tone.size()));
        ASSERT_TRUE(writer.close(error));
    }
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGHUP");
        std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nDecFreqPos=66\r\n";
        QProcess sondeco;
        sondeco.setProcessChannelMode(QProcess::ForwardedChannels);
        sondeco.start(QString::fromStdString(program.string()), {QStringLiteral("--input"), QString::fromStdString(recording)});
        ASSERT_TRUE(sondeco.waitForStarted());
        // Running: the file is open for decoding and the signal has its handler.
        const auto running = [&] { return holdsOpen(sondeco.processId(), recording) && catchesSignal(sondeco.processId(), signal); };
        waitFor([&] { return sondeco.state() != QProcess::Running || running(); }, 30000);
        ASSERT_EQ(sondeco.state(), QProcess::Running);
        ASSERT_TRUE(running()) << "the program never opened " << recording << " or never caught the signal";
        ::kill(static_cast<pid_t>(sondeco.processId()), signal);
        ASSERT_TRUE(sondeco.waitForFinished(10000));
        EXPECT_EQ(sondeco.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(sondeco.exitCode(), 0);
        std::ifstream saved(directory / "sondeco.ini");
        const std::string text{std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>()};
        EXPECT_NE(text.find("MainWidth="), std::string::npos) << text;
        EXPECT_NE(text.find("DecFreqPos=66"), std::string::npos) << text;
        EXPECT_NE(text.find("WaveInName=Default input device"), std::string::npos) << text;  // not the file
    }
}

// The program's --listen takes clients whenever they come, with nothing decoded (a recording without
// a beacon): of 200 clients at once, --max-clients are taken and the others closed at once, none left
// hanging in connect().
TEST_F(AudioEndToEnd, TheProgramsServerTakesOrTurnsAwayTwoHundredClientsWithNothingDecoded) {
    const auto program = directory / "sondeco";
    std::filesystem::copy_file(SONDECO_PROGRAM, program);
    const std::string silence = (directory / "silence.wav").string();
    {
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(silence, 1, 48000, error));
        const std::vector<std::int16_t> quiet(48000);
        ASSERT_TRUE(writer.writeFrames(quiet.data(), quiet.size()));
        ASSERT_TRUE(writer.close(error));
    }
    const int port = freePort();
    QProcess sondeco;
    sondeco.setProcessChannelMode(QProcess::ForwardedChannels);
    sondeco.start(QString::fromStdString(program.string()),
                  {QStringLiteral("--input"), QString::fromStdString(silence), QStringLiteral("--listen"), QString::number(port),
                   QStringLiteral("--max-clients"), QStringLiteral("120")});
    ASSERT_TRUE(sondeco.waitForStarted());
    waitFor([&] { return sondeco.state() != QProcess::Running || socketsOnPort(port, "0A") > 0; }, 30000);
    ASSERT_GT(socketsOnPort(port, "0A"), 0);
    std::vector<FileDescriptor> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(connectTo(port));
    ASSERT_TRUE(std::all_of(clients.begin(), clients.end(), [](const FileDescriptor& client) { return client.valid(); }));
    std::vector<bool> closed(clients.size());
    const auto closedCount = [&] {
        std::string ignored;
        for (std::size_t i = 0; i < clients.size(); ++i) closed[i] = closed[i] || !readAvailable(clients[i].get(), ignored);
        return std::count(closed.begin(), closed.end(), true);
    };
    EXPECT_TRUE(waitFor([&] { return closedCount() == 80; }, 5000)) << closedCount() << " closed";
    EXPECT_EQ(socketsOnPort(port, "01"), 120);
    sondeco.terminate();
    ASSERT_TRUE(sondeco.waitForFinished(10000));
    EXPECT_EQ(sondeco.exitCode(), 0);
}

// A termination signal while a start-up message box waits for a click: the box goes, the main window
// closes as its close box would (the settings are saved), and the program exits with status 0.
TEST_F(AudioEndToEnd, ASignalDuringAStartUpMessageBoxEndsTheProgramCleanly) {
    const auto program = directory / "sondeco";
    std::filesystem::copy_file(SONDECO_PROGRAM, program);
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nDecFreqPos=66\r\n";
    // The input "file" is a pipe, so that we know when the program opens it: while the windows are
    // built, just before it finds there is no WAV file in it and says so in a box.
    const auto input = directory / "input.wav";
    ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
    QProcess sondeco;
    sondeco.setProcessChannelMode(QProcess::ForwardedChannels);
    sondeco.start(QString::fromStdString(program.string()), {QStringLiteral("--input"), QString::fromStdString(input.string())});
    ASSERT_TRUE(sondeco.waitForStarted());
    int pipe = -1;
    waitFor([&] { return sondeco.state() != QProcess::Running || (pipe = ::open(input.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 30000);
    ASSERT_GE(pipe, 0) << "the program never opened its input";
    // By now the signal has to be caught: the windows are being built.
    EXPECT_TRUE(catchesSignal(sondeco.processId(), SIGTERM));
    ASSERT_EQ(::write(pipe, "shopping list", 13), 13);
    ::close(pipe);
    // The box's event loop; should the kernel not tell, the signal comes a moment early, and the
    // outcome must be the same.
    waitFor([&] { return waitingForEvents(sondeco.processId()); }, 5000);
    sondeco.terminate();
    ASSERT_TRUE(sondeco.waitForFinished(10000)) << "the message box is still waiting";
    EXPECT_EQ(sondeco.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sondeco.exitCode(), 0);
    const std::string text = fileText(directory / "sondeco.ini");
    EXPECT_NE(text.find("MainWidth="), std::string::npos) << text;
    EXPECT_NE(text.find("DecFreqPos=66"), std::string::npos) << text;
}

// Installed where its user cannot write (as in /usr/bin): the settings go to the user's own
// configuration folder, and nothing is written beside the program.
TEST_F(AudioEndToEnd, InstalledWhereItsUserCannotWriteItKeepsTheSettingsInTheUsersFolder) {
    const auto installed = directory / "installed";
    const auto config = directory / "config";
    std::filesystem::create_directories(installed);
    std::filesystem::create_directories(config);
    std::filesystem::copy_file(SONDECO_PROGRAM, installed / "sondeco");
    QProcess sondeco;
    sondeco.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(config.string()));
    sondeco.setProcessEnvironment(environment);
    if (::geteuid() == 0) {
        // Permissions do not stop root: the program runs as "nobody", whom they do stop. (It cannot
        // reach the test's sound server then; the play device's message box is no matter here.)
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        ASSERT_EQ(::chown(config.c_str(), uid, gid), 0);
        std::filesystem::permissions(directory, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
        sondeco.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        });
    }
    using std::filesystem::perms;
    std::filesystem::permissions(
        installed, perms::owner_read | perms::owner_exec | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec);
    struct Writable {  // so that the test's folder can be removed again, whatever happens
        std::filesystem::path folder;
        ~Writable() { std::filesystem::permissions(folder, perms::owner_all); }
    } writableAgain{installed};

    sondeco.start(QString::fromStdString((installed / "sondeco").string()),
                  {QStringLiteral("--input"), QString::fromStdString((directory / "missing.wav").string())});
    ASSERT_TRUE(sondeco.waitForStarted());
    waitFor([&] { return sondeco.state() != QProcess::Running || catchesSignal(sondeco.processId(), SIGTERM); }, 30000);
    ASSERT_EQ(sondeco.state(), QProcess::Running);
    sondeco.terminate();
    ASSERT_TRUE(sondeco.waitForFinished(10000));
    EXPECT_EQ(sondeco.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sondeco.exitCode(), 0);
    EXPECT_NE(fileText(config / "Sondeco" / "sondeco.ini").find("MainWidth="), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(installed / "sondeco.ini"));
}

}  // namespace
}  // namespace sondeco::testing
