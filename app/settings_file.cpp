// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/settings_file.h"

#include "app/ini_file.h"

#include <cctype>
#include <filesystem>

namespace sondeco {
namespace {

constexpr const char* FormSection = "Form";
constexpr const char* WaveSection = "Wave";

constexpr int LowestFreqPos = 50;
constexpr int HighestFreqPos = 100;
constexpr int LastTabIndex = 10;

std::string cannotWrite(const std::string& path, const std::string& reason) {
    return "Can not write the settings file " + path + ": " + reason;
}

// Any other value, a misspelling included, means the receiver a file without the key gets.
bool isEnhanced(const std::string& value) {
    std::string lower;
    for (const char c : value) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "enhanced";
}

}  // namespace

std::string settingsFileName(const std::string& executablePath) {
    return std::filesystem::path(executablePath).replace_extension(".ini").string();
}

void loadSettings(SettingsFields& fields, const std::string& path) {
    IniFile file;
    std::string unreadable;  // reading never fails: an unreadable file gives the defaults
    file.load(path, unreadable);

    const SettingsFields defaults;
    fields.MainTop = file.readInteger(FormSection, "MainTop", defaults.MainTop);
    fields.MainLeft = file.readInteger(FormSection, "MainLeft", defaults.MainLeft);
    fields.MainWidth = file.readInteger(FormSection, "MainWidth", defaults.MainWidth);
    fields.MainHeight = file.readInteger(FormSection, "MainHeight", defaults.MainHeight);
    fields.MainMaxmum = file.readBool(FormSection, "MainMaxmum", defaults.MainMaxmum);
    fields.TabIndex = file.readInteger(FormSection, "TabIndex", defaults.TabIndex);
    fields.WaveInName = file.readString(WaveSection, "WaveInName", defaults.WaveInName);
    fields.DecBitRate = file.readBool(WaveSection, "DecBitRate", defaults.DecBitRate);
    fields.DecFreqPos = file.readInteger(WaveSection, "DecFreqPos", defaults.DecFreqPos);
    fields.EnhancedReceiver = isEnhanced(file.readString(WaveSection, "Receiver", "Classic"));

    if (fields.DecFreqPos < LowestFreqPos) fields.DecFreqPos = LowestFreqPos;
    if (fields.DecFreqPos > HighestFreqPos) fields.DecFreqPos = HighestFreqPos;
    // A page number we do not have starts on the first page, even just above the last one.
    if (fields.TabIndex < 0 || fields.TabIndex > LastTabIndex) fields.TabIndex = 0;
}

bool saveSettings(const SettingsFields& fields, const WindowState& now, const std::string& path, std::string& error) {
    IniFile file;
    std::string reason;
    // A file that is there but cannot be read would lose everything we did not write: leave it alone.
    if (!file.load(path, reason)) {
        error = cannotWrite(path, reason);
        return false;
    }
    // Nor a file too large to read whole: writing back the part we read would cut off the rest.
    if (!file.complete()) {
        error = cannotWrite(path, IniFile::incompleteReason());
        return false;
    }
    const std::string before = file.text();

    // Nothing follows the normal placement while the window is maximised, so the fields still hold
    // the one from start-up; the window's own geometry now is the maximised one.
    if (now.maximised) {
        file.writeInteger(FormSection, "MainTop", fields.MainTop);
        file.writeInteger(FormSection, "MainLeft", fields.MainLeft);
        file.writeInteger(FormSection, "MainWidth", fields.MainWidth);
        file.writeInteger(FormSection, "MainHeight", fields.MainHeight);
    } else {
        file.writeInteger(FormSection, "MainTop", now.top);
        file.writeInteger(FormSection, "MainLeft", now.left);
        file.writeInteger(FormSection, "MainWidth", now.width);
        file.writeInteger(FormSection, "MainHeight", now.height);
    }
    file.writeBool(FormSection, "MainMaxmum", now.maximised);
    file.writeInteger(FormSection, "TabIndex", now.tabIndex);
    file.writeString(WaveSection, "WaveInName", fields.WaveInName);
    file.writeBool(WaveSection, "DecBitRate", fields.DecBitRate);
    file.writeInteger(WaveSection, "DecFreqPos", fields.DecFreqPos);
    // A file that never had the key gets it only once the enhanced receiver is chosen: until then it
    // holds exactly the keys it always held.
    if (fields.EnhancedReceiver || !file.readString(WaveSection, "Receiver", "").empty())
        file.writeString(WaveSection, "Receiver", fields.EnhancedReceiver ? "Enhanced" : "Classic");

    // Nothing changed: nothing to write, and nothing to complain of where the file is read-only.
    if (file.text() == before && std::filesystem::exists(path)) return true;
    // One replacement of the whole file rather than a write per key: a failure leaves the old file
    // whole instead of half updated.
    if (!writeFileAtomically(path, file.text(), reason)) {
        error = cannotWrite(path, reason);
        return false;
    }
    return true;
}

}  // namespace sondeco
