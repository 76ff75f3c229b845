// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <QCoreApplication>

namespace sondeco {
namespace {

const QString BareInput = QStringLiteral("--input");

}  // namespace

DesktopCommandLine::DesktopCommandLine()
    : input(QStringLiteral("input"),
            QStringLiteral("Decode a recording instead of the sound card, in real time and looping: "
                           "any sound file libsndfile reads (WAV, FLAC, Ogg, AIFF, ...), "
                           "sampled at 8000 to 384000 Hz."),
            QStringLiteral("FILE")),
      listen(QStringLiteral("listen"),
             QStringLiteral("Also serve the frames over TCP to every client that connects: FORMAT is rtcm (default), json, "
                            "frames or pages; HOST is 127.0.0.1 unless given ([::1] for IPv6); @ID only that station's frames. "
                            "May be given several times."),
             QStringLiteral("[HOST:]PORT[/FORMAT][@ID]")),
      serial(QStringLiteral("serial"), QStringLiteral("Also write the frames as RTCM bytes to a serial port, raw 8N1."),
             QStringLiteral("DEVICE")),
      baud(QStringLiteral("baud"), QStringLiteral("The serial port's speed, 1200 to 921600 (default 9600)."), QStringLiteral("N"),
           QStringLiteral("9600")),
      maxClients(QStringLiteral("max-clients"),
                 QStringLiteral("Clients each --listen port serves at once, 1 to 900 (default 64); one more is let in and closed at once."),
                 QStringLiteral("N"), QStringLiteral("64")) {
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
