// sondeco [--input FILE.wav]: the desktop DGPS beacon decoder.
#include "app/fonts.h"
#include "app/message_box.h"
#include "audio/portaudio_backend.h"
#include "app/termination_signals.h"
#include "audio/wav_file_source.h"
#include "app/windows.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QProcess>

#include <exception>

int main(int argc, char* argv[]) {
    try {
        QApplication application(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Sondeco"));
        QApplication::setApplicationVersion(QStringLiteral("1.0.0"));

        QCommandLineParser parser;
        parser.setApplicationDescription(QStringLiteral("DGPS beacon decoder: RTCM SC-104 messages from a receiver's audio."));
        parser.addHelpOption();
        parser.addVersionOption();
        const QCommandLineOption input(QStringLiteral("input"),
                                       QStringLiteral("Decode a WAV file (16-bit PCM, 48000 Hz) instead of the sound card, "
                                                      "in real time and looping."),
                                       QStringLiteral("FILE.wav"));
        parser.addOption(input);
        parser.process(application);

        sondeco::registerTahoma();
        sondeco::PortAudioBackend portAudio;
        std::unique_ptr<sondeco::WavFileInputBackend> fileInput;
        sondeco::AppEnvironment environment;
        environment.audio = &portAudio;
        if (parser.isSet(input)) {
            environment.inputFileName = parser.value(input).toStdString();
            fileInput = std::make_unique<sondeco::WavFileInputBackend>(environment.inputFileName, portAudio);
            environment.audio = fileInput.get();
        }
        QWidget* messageOwner = nullptr;
        environment.messageBox = [&messageOwner](sondeco::MessageKind kind, const QString& text) {
            sondeco::showSystemMessageBox(messageOwner, kind, text);
        };
        environment.startProgram = [](const QString& program, const QStringList& arguments) {
            QProcess::startDetached(program, arguments);
        };

        std::unique_ptr<sondeco::TForm1> form1 = sondeco::createWindows(std::move(environment));
        messageOwner = form1.get();
        sondeco::closeOnTerminationSignals(form1.get());
        form1->show();
        QApplication::exec();
        form1.reset();  // closes capture, then the play device, then frees the bitmaps
        return 0;
    } catch (const std::exception& error) {
        // Nothing of ours throws; this is for the library's own failures (out of memory).
        QMessageBox::critical(nullptr, QStringLiteral("Sondeco"), QString::fromLocal8Bit(error.what()));
        return 0;
    }
}
