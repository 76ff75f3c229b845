// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco [--input FILE]: the desktop DGPS beacon decoder.
#include "app/command_line.h"
#include "app/entry_point.h"
#include "app/fonts.h"
#include "app/message_box.h"
#include "app/termination_signals.h"
#include "app/windows.h"
#include "audio/portaudio_backend.h"
#include "audio/sound_file_source.h"
#include "output/feed_options.h"
#include "output/output_feeds.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

namespace {

// A mistake in the options ends the program before a window opens: said on standard error, and in
// a box as well when there is no terminal to read it (the program started from a menu or a file
// manager). Returns `status`.
int refuseToStart(const std::string& problem, int status) {
    std::fprintf(stderr, "sondeco: %s\n", problem.c_str());
    if (isatty(STDERR_FILENO) == 0 && !sondeco::terminationRequested())
        QMessageBox::critical(nullptr, QStringLiteral("Sondeco"), QString::fromStdString(problem));
    return status;
}

// --listen and --serial: a user watching the pages can feed a GPS receiver or gpsd at the same time.
// Their mistakes end the program before a window opens, as the other options' do; the exit status
// is returned then.
std::optional<int> openFeeds(const sondeco::DesktopCommandLine& options, const std::string& device, sondeco::OutputFeeds& feeds) {
    const QCommandLineParser& parser = options.parser();
    const auto complain = refuseToStart;
    sondeco::FeedOptionValues values;
    for (const QString& text : parser.values(options.listen)) values.listen.push_back(text.toStdString());
    const auto given = [&parser](const QCommandLineOption& option) -> std::optional<std::string> {
        if (!parser.isSet(option)) return std::nullopt;
        return parser.value(option).toStdString();
    };
    values.serial = given(options.serial);
    values.baud = given(options.baud);
    values.maxClients = given(options.maxClients);
    sondeco::FeedSettings settings;
    if (const auto problem = sondeco::readFeedOptions(values, settings)) return complain(*problem, 2);
    std::string problem;
    if (!feeds.open(settings, sondeco::OutputFormat::Rtcm, device, problem)) return complain(problem, 1);
    return std::nullopt;
}

int runSondeco() {
    sondeco::DesktopCommandLine commandLine;
    if (const auto refused = commandLine.refusal(QApplication::arguments()))
        return refuseToStart(refused->toStdString() + " (sondeco --help lists the options)", 1);
    commandLine.process(QApplication::arguments());
    const QCommandLineParser& parser = commandLine.parser();
    const QCommandLineOption& input = commandLine.input;
    sondeco::OutputFeeds feeds;
    if (const auto status = openFeeds(commandLine, parser.isSet(input) ? parser.value(input).toStdString() : "sound card", feeds))
        return *status;

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
    environment.attachOutputs = [&feeds](sondeco::Receiver& receiver, sondeco::MessagePages& pages) {
        for (sondeco::DecoderListener* feed : feeds.decoderListeners()) receiver.addListener(*feed);
        for (sondeco::PageListener* feed : feeds.pageListeners()) pages.addListener(*feed);
    };

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
    feeds.finish(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // First of all, so that a signal during start-up (a message box waiting for a click) is not fatal.
    sondeco::catchTerminationSignals();
    // --help and --version before the QApplication, which cannot start without a display.
    sondeco::answerHelpOrVersionWithoutDisplay(argc, argv);
    return sondeco::runGuarded(argc, argv, runSondeco);
}
