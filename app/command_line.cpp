// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include "output/feed_options.h"

#include <QCoreApplication>

namespace sondeco {
namespace {

const QString BareInput = QStringLiteral("--input");

// A feed option in the words every program uses (output/feed_options.h); no default of Qt's own, so
// that isSet() tells what was given.
QCommandLineOption feedOption(const FeedOptionText& option) {
    return {QString::fromLatin1(option.name), QString::fromStdString(helpSentence(option)), QString::fromLatin1(option.valueName)};
}

}  // namespace

DesktopCommandLine::DesktopCommandLine()
    : input(QStringLiteral("input"),
            QStringLiteral("Decode a recording instead of the sound card, in real time and looping: "
                           "any sound file libsndfile reads (WAV, FLAC, Ogg, AIFF, ...), "
                           "sampled at 8000 to 384000 Hz."),
            QStringLiteral("FILE")),
      listen(feedOption(ListenOption)),
      serial(feedOption(SerialOption)),
      baud(feedOption(BaudOption)),
      maxClients(feedOption(MaxClientsOption)) {
    QCoreApplication::setApplicationName(QStringLiteral("Sondeco"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SONDECO_VERSION));
    parser_.setApplicationDescription(QStringLiteral("DGPS beacon decoder: RTCM SC-104 messages from a receiver's audio."));
    parser_.addHelpOption();
    parser_.addVersionOption();
    parser_.addOptions({input, listen, serial, baud, maxClients});
}

void DesktopCommandLine::process(const QStringList& arguments) { parser_.process(desktopArguments(arguments)); }

bool DesktopCommandLine::onlyAsksForHelpOrVersion(const QStringList& arguments) {
    if (!parser_.parse(desktopArguments(arguments))) return false;
    return parser_.isSet(QStringLiteral("help")) || parser_.isSet(QStringLiteral("version"));
}

std::optional<QString> DesktopCommandLine::refusal(const QStringList& arguments) {
    if (parser_.parse(desktopArguments(arguments))) return std::nullopt;
    return parser_.errorText();
}

QStringList desktopArguments(QStringList arguments) {
    if (arguments.size() > 1 && arguments.back() == BareInput) arguments.removeLast();
    return arguments;
}

void answerHelpOrVersionWithoutDisplay(int& argc, char** argv) {
    // The arguments as QCoreApplication::arguments() would give them: the locale's encoding.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
    DesktopCommandLine commandLine;
    if (!commandLine.onlyAsksForHelpOrVersion(arguments)) return;
    // The help text's usage line takes the program's name from the application object's arguments.
    QCoreApplication application(argc, argv);
    commandLine.process(QCoreApplication::arguments());
}

}  // namespace sondeco
