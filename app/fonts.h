// SPDX-License-Identifier: GPL-3.0-or-later
// The windows are laid out for Tahoma at fixed pixel heights. Where Tahoma is not installed system-wide
// but a Tahoma file is on the machine (Debian's fonts-wine), it is registered for the program.
#pragma once

#include <QFont>

namespace sondeco {

void registerTahoma();
QFont tahomaFont(int pixelHeight);

}  // namespace sondeco
