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

// A saved placement (frame position, client size) brought onto the screens this machine has: on the
// screen it overlaps most (or the nearest), no larger than that screen's available area and no
// smaller than `minimum`, and inside it. A settings file from another machine, or one written by
// hand, must not open the window off every screen or larger than the screen (a window of 30000 x
// 30000 pixels takes gigabytes). Values of any size are taken; nothing overflows.
QRect placedOnScreens(long long left, long long top, long long width, long long height, const QSize& minimum);

// Centres `window` on `parent` and, if `keepOnDesktop`, keeps it on the desktop.
void placeOver(QWidget* window, const QWidget* parent, bool keepOnDesktop);

// Shows a hidden window; one that is already open, minimised or behind others, comes to the front and
// gets the focus instead, since showing it again would change nothing the user can see.
void showOrBringForward(QWidget* window);

}  // namespace sondeco
