// SPDX-License-Identifier: GPL-3.0-or-later
// Our icon (packaging/sondeco.svg, built into the program) for the windows' title bars and task
// bars, drawn at the sizes window managers ask for.
#pragma once

#include <QIcon>

namespace sondeco {

QIcon sondecoIcon();

}  // namespace sondeco
