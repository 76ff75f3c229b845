// sondeco [--input FILE]: the desktop DGPS beacon decoder.
#include "app/entry_point.h"
#include "app/fonts.h"
#include "app/message_box.h"
#include "app/termination_signals.h"
#include "app/windows.h"
#include "audio/portaudio_backend.h"
#include "audio/sound_file_source.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QProcess>

#include <cstdio>

namespace {

int runSondeco() {
    QApplication::setApplicationName(QStringLiteral("Sondeco"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("DGPS beacon decoder: RTCM SC-104 messages from a receiver's audio."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption input(QStringLiteral("input"),
                                   QStringLiteral("Decode a recording instead of the sound card, in real time and looping: "
                                                  "any sound file libsndfile reads (WAV, FLAC, Ogg, AIFF, ...), "
                                                  "sampled at 8000 to 384000 Hz."),
                                   QStringLiteral("FILE"));
    parser.addOption(input);
    parser.process(QApplication::arguments());

    sondeco::registerTahoma();
    sondeco::PortAudioBackend portAudio;
    std::unique_ptr<sondeco::SoundFileInputBackend> fileInput;
    sondeco::AppEnvironment environment;
    environment.audio = &portAudio;
    if (parser.isSet(input)) {
        environment.inputFileName = parser.value(input).toStdString();
        fileInput = std::make_unique<sondeco::SoundFileInputBackend>(environment.inputFileName, portAudio);
        environment.audio = fileInput.get();
    }
    QWidget* messageOwner = nullptr;
    environment.messageBox = [&messageOwner](sondeco::MessageKind kind, const QString& text) {
        // Once a termination signal has come, a box would wait for a click that never comes.
        if (sondeco::terminationRequested()) {
            std::fprintf(stderr, "Sondeco: %s\n", text.toLocal8Bit().constData());
            return;
        }
        sondeco::showSystemMessageBox(messageOwner, kind, text);
    };
    environment.startProgram = [](const QString& program, const QStringList& arguments) { QProcess::startDetached(program, arguments); };

    std::unique_ptr<sondeco::TForm1> form1 = sondeco::createWindows(std::move(environment));
    messageOwner = form1.get();
    sondeco::closeOnTerminationSignals(form1.get());
    if (sondeco::terminationRequested()) {
        // The signal came while the windows were being built: close as the close box would, settings
        // saved, without showing the window first.
        form1->close();
        return 0;
    }
    form1->show();
    QApplication::exec();
    form1.reset();  // closes capture, then the play device, then frees the bitmaps
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // First of all, so that a signal during start-up (a message box waiting for a click) is not fatal.
    sondeco::catchTerminationSignals();
    return sondeco::runGuarded(argc, argv, runSondeco);
}
