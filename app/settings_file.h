// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: the user's choices kept between runs in an INI file beside the executable (or,
// where that folder is not the user's to write, in their own configuration folder: settings_location.h).
// Plain C++ on top of IniFile; the main window hands in its fields and its current state.
#pragma once

#include "app/settings_fields.h"

#include <string>

namespace sondeco {

// The main window as it is when it closes.
struct WindowState {
    int top = 0;
    int left = 0;
    int width = 0;
    int height = 0;
    bool maximised = false;
    int tabIndex = 0;  // the page selected now
};

// `executablePath` with the extension of its file name replaced by ".ini", or ".ini" appended when
// the file name has none ("/opt/sondeco/sondeco" gives "/opt/sondeco/sondeco.ini").
std::string settingsFileName(const std::string& executablePath);

// Reads the stored fields from `path`, each with its default when the file, its section or the key is
// missing or the value is unusable, then brings DecFreqPos into 50..100 and an out-of-range TabIndex
// back to the first page. Never fails. WaveInIndex is not stored and is left alone.
void loadSettings(SettingsFields& fields, const std::string& path);

// Writes every stored field into `path` in one safe replacement of the whole file, keeping all other
// sections, keys and lines of the file as they are. The placement comes from `now`, unless the window
// is maximised: then the fields' placement (the normal placement read at start-up) is kept, so the
// next start restores it maximised. On failure `error` is one sentence naming the file, for the user
// ("Can not write the settings file /opt/sondeco/sondeco.ini: Permission denied"), and the file is as
// it was. A file too large to have been read whole is not written either (see IniFile::MaxFileBytes).
bool saveSettings(const SettingsFields& fields, const WindowState& now, const std::string& path, std::string& error);

}  // namespace sondeco
