// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: the five windows, created once in their fixed order and living until the program ends.
#pragma once

#include "app/Unit1.h"

#include <memory>

namespace sondeco {

// Form1 first (it reads the settings and builds the decoder), then Form2, Form8 (which opens
// capture), Form9 and Form3. The secondary windows are owned by Form1.
std::unique_ptr<TForm1> createWindows(AppEnvironment environment);

}  // namespace sondeco
