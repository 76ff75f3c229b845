// SPDX-License-Identifier: GPL-3.0-or-later
// Where the settings file lives: beside the program and named after it, as it always has; but a program
// installed where its user cannot write (/usr/bin) keeps the settings in the user's own configuration
// folder instead, so that closing it does not fail every time.
#pragma once

#include <string>

namespace sondeco {

// The file beside `executablePath` (see settingsFileName) when a file of that name is there, whatever
// it is, or when the folder lets us create one; otherwise the file of the same name in
// `perUserFolder`. An empty `perUserFolder` keeps the file beside the program.
std::string chooseSettingsFile(const std::string& executablePath, const std::string& perUserFolder);

// chooseSettingsFile for this program and this user (QStandardPaths::AppConfigLocation, such as
// ~/.config/Sondeco). The per-user folder is created when it is chosen, so that saving can create the file.
std::string settingsFileOfThisProgram();

}  // namespace sondeco
