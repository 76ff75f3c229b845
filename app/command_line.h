// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop program's command line, set up in one place for the two times it is read: first before
// any application object exists, to answer --help and --version without a window system (help2man
// in a package build, a terminal without a display), then by the program itself once its
// QApplication is there.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <optional>

namespace sondeco {

class DesktopCommandLine {
public:
    // Also names the application and its version, which --version and the error messages show.
    DesktopCommandLine();

    // Reads `arguments` (the program's name first) as QCommandLineParser::process does: a mistake,
    // --help or --version prints its answer and ends the program.
    void process(const QStringList& arguments);

    // Whether `arguments` ask for --help or --version and nothing the parser would refuse, so that
    // the answer needs no window system. --help-all is not among them: it lists the window system's
    // own options, which only the QApplication knows. Options of Qt's own (-platform, -style) make
    // the parse fail here, and are left to the QApplication too.
    bool onlyAsksForHelpOrVersion(const QStringList& arguments);

    // What is wrong with `arguments` ("Unknown option 'x'."), or nothing; --help and --version are
    // not wrong.
    std::optional<QString> refusal(const QStringList& arguments);

    const QCommandLineParser& parser() const { return parser_; }

    const QCommandLineOption input;
    const QCommandLineOption listen;
    const QCommandLineOption serial;
    const QCommandLineOption baud;
    const QCommandLineOption maxClients;

private:
    QCommandLineParser parser_;
};

// The program's arguments as the parser should see them. A desktop launcher started without a file
// removes the %f of the entry's "--input %f" and leaves a bare --input at the end, which would be a
// missing value: it is dropped, so the program starts on the sound card as it does without --input.
QStringList desktopArguments(QStringList arguments);

// Answers --help or --version (see onlyAsksForHelpOrVersion) with a QCoreApplication, which needs no
// display, and exits; returns when the arguments ask for anything else. Called before the
// QApplication is created, whose platform plugin aborts the program when there is no display.
void answerHelpOrVersionWithoutDisplay(int& argc, char** argv);

}  // namespace sondeco
