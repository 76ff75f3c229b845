// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop program's command line: which requests are answered before the QApplication exists
// (the real program without a display is run by packaging/check-install), and the bare --input a
// desktop launcher leaves when it starts the program without a file.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace sondeco::testing {
namespace {

QStringList commandLine(std::initializer_list<const char*> arguments) {
    QStringList list{QStringLiteral("sondeco")};
    for (const char* argument : arguments) list.append(QString::fromUtf8(argument));
    return list;
}

TEST(DesktopCommandLine, OnlyHelpAndVersionAreAnsweredWithoutTheWindowSystem) {
    for (const auto& arguments : {commandLine({"--help"}), commandLine({"-h"}), commandLine({"--version"}), commandLine({"-v"}),
                                  commandLine({"--input", "beacon.wav", "--version"}), commandLine({"--listen", "2101", "--help"})}) {
        DesktopCommandLine parsed;
        EXPECT_TRUE(parsed.onlyAsksForHelpOrVersion(arguments)) << arguments.join(u' ').toStdString();
    }
    for (const auto& arguments : {
             commandLine({}),
             commandLine({"--input", "beacon.wav"}),
             // A recording that happens to be called --help is a file, not a request for help.
             commandLine({"--input", "--help"}),
             // Lists the window system's own options, which only the QApplication knows.
             commandLine({"--help-all"}),
             // Qt's own options are the QApplication's to take out before the parser sees the rest.
             commandLine({"-platform", "offscreen", "--version"}),
             // --version is --baud's value here, a wrong one the program reports.
             commandLine({"--baud", "--version"}),
             // Mistakes are reported by the program's own parse, as they always were.
             commandLine({"--no-such-option", "--help"}),
         }) {
        DesktopCommandLine parsed;
        EXPECT_FALSE(parsed.onlyAsksForHelpOrVersion(arguments)) << arguments.join(u' ').toStdString();
    }
}

TEST(DesktopCommandLine, BareInputAtTheEndMeansTheSoundCard) {
    // What a launcher makes of "Exec=sondeco --input %f" when started from the menu: no file.
    DesktopCommandLine fromMenu;
    fromMenu.process(commandLine({"--input"}));
    EXPECT_FALSE(fromMenu.parser().isSet(fromMenu.input));

    DesktopCommandLine withFile;
    withFile.process(commandLine({"--input", "/home/user/beacon recording.wav"}));
    EXPECT_EQ(withFile.parser().value(withFile.input), QStringLiteral("/home/user/beacon recording.wav"));
}

}  // namespace
}  // namespace sondeco::testing
