// SPDX-License-Identifier: GPL-3.0-or-later
// The settings the main window holds for every other window: read from the settings file at start-up,
// changed by the dialogs, written back when the main window closes.
#pragma once

#include <string>

namespace sondeco {

inline constexpr const char* DefaultInputDeviceName = "Default input device";

struct SettingsFields {
    int WaveInIndex = 0;  // position in the device list: 0 = the system's default input
    std::string WaveInName = DefaultInputDeviceName;
    bool DecBitRate = true;  // true = 200 bit/s, false = 100 bit/s
    int DecFreqPos = 80;  // centre frequency in 10 Hz units, 50..100
    int TabIndex = 4;  // page selected at start-up ("Msg #9")
    int MainTop = 0;
    int MainLeft = 0;
    int MainWidth = 660;
    int MainHeight = 400;
    bool MainMaxmum = false;
    // [Wave] Receiver: "Classic" (the default, also for a file without the key) or "Enhanced", the
    // receiver that finds the beacon itself and decodes coherently.
    bool EnhancedReceiver = false;
};

}  // namespace sondeco
