// SPDX-License-Identifier: GPL-3.0-or-later
// Where the secondary windows appear: centred on the window they belong to, and, for the settings
// and eye-pattern windows, pulled back inside the desktop.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace sondeco {

// Top-left of a window of `size` centred on `parent` (each half an integer division).
QPoint centredOn(const QRect& parent, const QSize& size);

// `topLeft` moved so that the window lies inside `desktop`: top, then bottom, then left, then right.
QPoint keptOnDesktop(QPoint topLeft, const QSize& size, const QRect& desktop);

// The whole virtual desktop, over all monitors.
QRect virtualDesktop();

// Centres `window` on `parent` and, if `keepOnDesktop`, keeps it on the desktop.
void placeOver(QWidget* window, const QWidget* parent, bool keepOnDesktop);

// Shows a hidden window; one that is already open, minimised or behind others, comes to the front and
// gets the focus instead, since showing it again would change nothing the user can see.
void showOrBringForward(QWidget* window);

}  // namespace sondeco
