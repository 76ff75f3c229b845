// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/settings_location.h"

#include "app/settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace sondeco {
namespace {

bool canCreateFilesIn(const std::string& folder) {
    struct stat status {};
    return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string chooseSettingsFile(const std::string& executablePath, const std::string& perUserFolder) {
    const std::filesystem::path beside = settingsFileName(executablePath);
    // A file there is the user's, even one we cannot write: it is never left behind for a new one. A
    // failing save then names it, and the user can see why.
    struct stat status {};
    if (::lstat(beside.c_str(), &status) == 0) return beside.string();
    const std::filesystem::path folder = beside.has_parent_path() ? beside.parent_path() : std::filesystem::path(".");
    if (perUserFolder.empty() || canCreateFilesIn(folder.string())) return beside.string();
    return (std::filesystem::path(perUserFolder) / beside.filename()).string();
}

std::string settingsFileOfThisProgram() {
    const std::string perUserFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString();
    const std::string executable = QCoreApplication::applicationFilePath().toStdString();
    const std::string chosen = chooseSettingsFile(executable, perUserFolder);
    // Made only when it is the one chosen; if that fails, the save at the end names the file and why.
    if (chosen != settingsFileName(executable)) QDir().mkpath(QString::fromStdString(perUserFolder));
    return chosen;
}

}  // namespace sondeco
